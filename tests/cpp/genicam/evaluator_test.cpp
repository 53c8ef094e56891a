#include "genicam/evaluator.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace corvantic::genicam::formula {
namespace {

constexpr std::int64_t LOWEST = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t HIGHEST = std::numeric_limits<std::int64_t>::max();
constexpr double NOT_A_NUMBER = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double PI_CONSTANT = 3.141592653589793;

Value I(std::int64_t v) { return Value{std::in_place_index<0>, v}; }
Value F(double v) { return Value{std::in_place_index<1>, v}; }

std::string describe(const Value& v) {
  std::ostringstream out;
  out.precision(17);
  if (const auto* i = std::get_if<std::int64_t>(&v)) {
    out << "int " << *i;
  } else {
    out << "float " << *std::get_if<double>(&v);
  }
  return out.str();
}

// Same type; integers exactly; floats exactly (the sign of zero included)
// except for a relative error of 1e-15 on finite non-zero values, which
// leaves room for the last bit of the math library.
bool same_value(const Value& got, const Value& want) {
  if (got.index() != want.index()) return false;
  if (want.index() == 0) return std::get<0>(got) == std::get<0>(want);
  const double g = std::get<1>(got);
  const double w = std::get<1>(want);
  if (std::isnan(w)) return std::isnan(g);
  if (w == 0.0 || std::isinf(w)) return g == w && std::signbit(g) == std::signbit(w);
  return std::fabs(g - w) <= 1e-15 * std::fabs(w);
}

struct ValueCase {
  std::string_view formula;
  std::vector<Value> bindings;
  Value expected;
};

void expect_values(std::initializer_list<ValueCase> cases) {
  for (const ValueCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "formula: " << c.formula);
    const auto program = compile(c.formula);
    if (!program) {
      ADD_FAILURE() << "compile failed: " << program.error();
      continue;
    }
    const auto result = run(*program, c.bindings);
    if (!result) {
      ADD_FAILURE() << "run failed: " << result.error();
      continue;
    }
    EXPECT_TRUE(same_value(*result, c.expected))
        << "got " << describe(*result) << ", want " << describe(c.expected);
  }
}

struct MessageCase {
  std::string_view formula;
  std::string_view message;
  std::vector<Value> bindings = {};
};

void expect_compile_errors(std::initializer_list<MessageCase> cases) {
  for (const MessageCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "formula: " << c.formula);
    const auto program = compile(c.formula);
    if (program) {
      ADD_FAILURE() << "compiled, want: " << c.message;
      continue;
    }
    EXPECT_EQ(program.error(), c.message);
  }
}

// These texts compile; the fault shows when the program runs.
void expect_run_errors(std::initializer_list<MessageCase> cases) {
  for (const MessageCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "formula: " << c.formula);
    const auto program = compile(c.formula);
    if (!program) {
      ADD_FAILURE() << "compile failed: " << program.error();
      continue;
    }
    const auto result = run(*program, c.bindings);
    if (result) {
      ADD_FAILURE() << "ran to " << describe(*result) << ", want: " << c.message;
      continue;
    }
    EXPECT_EQ(result.error(), c.message);
  }
}

// --- Precedence and associativity -----------------------------------------

TEST(FormulaPrecedence, TighterOperatorsGroupFirst) {
  // Each case gives a different value if the two operators' ranks were swapped.
  expect_values({
      {"1 + 2 * 3", {}, I(7)},
      {"(1 + 2) * 3", {}, I(9)},
      {"2 + 3 % 2", {}, I(3)},
      {"2 * 3 ** 2", {}, F(18)},
      {"1 + 2 << 3", {}, I(24)},
      {"1 << 2 + 1", {}, I(8)},
      {"5 > 2 + 2", {}, I(1)},
      {"3 = 3 < 4", {}, I(0)},
      {"6 & 2 = 2", {}, I(0)},
      {"2 & 3 ^ 1", {}, I(3)},
      {"3 ^ 1 | 1", {}, I(3)},
      {"1 | 2 && 0", {}, I(0)},
      {"0 && 0 = 0", {}, I(0)},
      {"1 || 0 && 0", {}, I(1)},
      {"~5 + 1", {}, I(-5)},
      {"-2 ** 2", {}, F(4)},  // unary minus binds tighter than '**'
  });
}

TEST(FormulaPrecedence, Associativity) {
  expect_values({
      {"10 - 4 - 3", {}, I(3)},
      {"2 - 3 + 4", {}, I(3)},
      {"100 / 10 / 5", {}, I(2)},
      {"7 % 4 % 2", {}, I(1)},
      {"64 >> 2 >> 1", {}, I(8)},
      {"2 ** 3 ** 2", {}, F(512)},
  });
}

TEST(FormulaPrecedence, UnaryOrBinarySignFromThePreviousToken) {
  expect_values({
      {"1 - -2", {}, I(3)},
      {"- - 2", {}, I(2)},
      {"2 - - - 2", {}, I(0)},
      {"2 * -3", {}, I(-6)},
      {"-1 + 3", {}, I(2)},
      {"-(2 + 3)", {}, I(-5)},
      {"2 ** -1", {}, F(0.5)},
      {"+5", {}, I(5)},
      {"3 + +2", {}, I(5)},
      {"~-1", {}, I(0)},
      // binary after a variable, a ')' and a constant
      {"x-1", {I(5)}, I(4)},
      {"(4)-1", {}, I(3)},
      {"PI-PI", {}, F(0)},
      {"-x", {F(0.0)}, F(-0.0)},
  });
}

TEST(FormulaPrecedence, FunctionTakesTheOperandRightAfterIt) {
  expect_values({
      {"SQRT(16)", {}, F(4)},
      {"SQRT 16", {}, F(4)},
      {"SQRT 16 + 1", {}, F(5)},
      {"SQRT 4 * 8", {}, F(16)},
      {"2 * SQRT 16", {}, F(8)},
      {"-SQRT 4", {}, F(-2)},
      {"SQRT(SQRT(16))", {}, F(2)},
      {"ABS(-3)", {}, I(3)},
  });
  // A function is moved out by any operator that follows it, a prefix one
  // included, so without parentheses it is left with no operand.
  expect_run_errors({
      {"SQRT SQRT 16", "expression stack underflow"},
      {"ABS -3", "expression stack underflow"},
  });
}

// --- Ternary ----------------------------------------------------------------

TEST(FormulaTernary, PicksABranchAndKeepsItsType) {
  expect_values({
      {"0 ? 1 : 2", {}, I(2)},
      {"1 ? 1 : 2", {}, I(1)},
      {"a ? b : c", {I(0), I(10), I(20)}, I(20)},
      {"1 ? 2 : 3.5", {}, I(2)},
      {"0 ? 2 : 3.5", {}, F(3.5)},
      {"x = 1 ? 10 : 20", {I(1)}, I(10)},
      {"x = 1 ? 10 : 20", {I(2)}, I(20)},
      {"0 ? 1 : 2 + 3", {}, I(5)},
  });
}

TEST(FormulaTernary, NestsToTheRight) {
  expect_values({
      {"1 ? 2 : 0 ? 4 : 5", {}, I(2)},
      {"0 ? 2 : 1 ? 4 : 5", {}, I(4)},
      {"0 ? 2 : 0 ? 4 : 5", {}, I(5)},
      {"1 ? (0 ? 3 : 4) : 5", {}, I(4)},
  });
}

TEST(FormulaTernary, ConditionTruth) {
  expect_values({
      {"0.0 ? 1 : 2", {}, I(2)},
      {"-0.0 ? 1 : 2", {}, I(2)},
      {"0.25 ? 1 : 2", {}, I(1)},
      {"-1 ? 1 : 2", {}, I(1)},
      {"x ? 1 : 2", {F(NOT_A_NUMBER)}, I(1)},
  });
}

TEST(FormulaTernary, MissingPartsFailWhenRun) {
  expect_run_errors({
      {"a ? b", "expression stack underflow", {I(1), I(2)}},
      {"? 1 : 2", "expression stack underflow"},
      {"1 : 2", "malformed expression"},
  });
}

// --- Arithmetic -------------------------------------------------------------

TEST(FormulaArithmetic, IntegersWrapOnOverflow) {
  expect_values({
      {"9223372036854775807 + 1", {}, I(LOWEST)},
      {"-9223372036854775807 - 2", {}, I(HIGHEST)},
      {"x - 1", {I(LOWEST)}, I(HIGHEST)},
      {"4611686018427387904 * 2", {}, I(LOWEST)},
      {"3037000500 * 3037000500", {}, I(-9223372036709301616)},
      {"-x", {I(LOWEST)}, I(LOWEST)},
      {"NEG x", {I(LOWEST)}, I(LOWEST)},
      {"ABS(x)", {I(LOWEST)}, I(LOWEST)},
  });
}

TEST(FormulaArithmetic, MixedOperandsGiveFloats) {
  expect_values({
      {"3 - 3", {}, I(0)},
      {"1 + 2.0", {}, F(3)},
      {"2 * 1.5", {}, F(3)},
      {"1 - 0.5", {}, F(0.5)},
      {"x + 1", {F(INF)}, F(INF)},
      {"9007199254740993 + 0.0", {}, F(9007199254740992.0)},
  });
}

TEST(FormulaArithmetic, Division) {
  expect_values({
      {"7 / 2", {}, I(3)},
      {"-7 / 2", {}, I(-3)},
      {"7 / -2", {}, I(-3)},
      {"x / -1", {I(5)}, I(-5)},
      {"x / -1", {I(LOWEST)}, I(LOWEST)},
      {"(-9223372036854775807 - 1) / -1", {}, I(LOWEST)},
      {"7 / 2.0", {}, F(3.5)},
      {"7.0 / 2", {}, F(3.5)},
      {"1.0 / 0", {}, F(INF)},
      {"-1 / 0.0", {}, F(-INF)},
      {"0 / 0.0", {}, F(NOT_A_NUMBER)},
  });
  expect_run_errors({
      {"1 / 0", "division by zero"},
      {"x / y", "division by zero", {I(5), I(0)}},
  });
}

TEST(FormulaArithmetic, RemainderIntizesAndKeepsTheDividendSign) {
  expect_values({
      {"7 % 3", {}, I(1)},
      {"-7 % 3", {}, I(-1)},
      {"7 % -3", {}, I(1)},
      {"7 % -1", {}, I(0)},
      {"x % -1", {I(LOWEST)}, I(0)},
      {"7.5 % 2", {}, I(0)},
      {"7.4 % 2", {}, I(1)},
      {"-7.5 % 5", {}, I(-3)},
      {"7 % 2.5", {}, I(1)},
      {"10 % 4.0", {}, I(2)},
  });
  expect_run_errors({
      {"5 % 0", "remainder by zero"},
      {"5 % 0.4", "remainder by zero"},
      {"5 % x", "remainder by zero", {F(NOT_A_NUMBER)}},
  });
}

TEST(FormulaArithmetic, PowerIsAlwaysFloat) {
  expect_values({
      {"2 ** 3", {}, F(8)},
      {"2 ** 0.5", {}, F(1.4142135623730951)},
      {"4 ** -1", {}, F(0.25)},
      {"0 ** -1", {}, F(INF)},
      {"(-8) ** (1 / 3)", {}, F(1)},  // 1 / 3 is integer 0
      {"x ** 2", {F(NOT_A_NUMBER)}, F(NOT_A_NUMBER)},
  });
}

// --- Bitwise ----------------------------------------------------------------

TEST(FormulaBitwise, OperandsAreIntized) {
  expect_values({
      {"6 & 3", {}, I(2)},
      {"6 | 3", {}, I(7)},
      {"6 ^ 3", {}, I(5)},
      {"2.5 & 7", {}, I(3)},
      {"-2.5 | 0", {}, I(-3)},
      {"1.4 ^ 0", {}, I(1)},
      {"x & -1", {F(1e300)}, I(HIGHEST)},
      {"x & -1", {F(-INF)}, I(LOWEST)},
      {"x | 0", {F(NOT_A_NUMBER)}, I(0)},
      {"~0", {}, I(-1)},
      {"~2.5", {}, I(-4)},
      {"~x", {F(NOT_A_NUMBER)}, I(-1)},
      {"~x", {F(INF)}, I(LOWEST)},
  });
}

TEST(FormulaBitwise, ShiftsUseTheLowSixBitsOfTheCount) {
  expect_values({
      {"1 << 3", {}, I(8)},
      {"1 << 63", {}, I(LOWEST)},
      {"3 << 62", {}, I(-4611686018427387904)},
      {"1 << 64", {}, I(1)},
      {"1 << 65", {}, I(2)},
      {"1 << -1", {}, I(LOWEST)},
      {"-8 >> 1", {}, I(-4)},
      {"-1 >> 63", {}, I(-1)},
      {"x >> 63", {I(LOWEST)}, I(-1)},
      {"x >> 64", {I(-8)}, I(-8)},
      {"256 >> 4.4", {}, I(16)},
      {"1.5 << 2", {}, I(8)},
  });
}

// --- Comparison and logic ---------------------------------------------------

TEST(FormulaComparison, IntegersAsIntegersOtherwiseAsFloats) {
  expect_values({
      {"1 < 2", {}, I(1)},
      {"2 <= 2", {}, I(1)},
      {"3 >= 4", {}, I(0)},
      {"2 > 1", {}, I(1)},
      {"1 = 1", {}, I(1)},
      {"1 <> 1", {}, I(0)},
      {"1 = 1.0", {}, I(1)},
      {"0.0 = -0.0", {}, I(1)},
      {"0.1 + 0.2 = 0.3", {}, I(0)},
      {"x < y", {I(LOWEST), I(HIGHEST)}, I(1)},
      {"9007199254740993 = 9007199254740992", {}, I(0)},
      {"9007199254740993 = 9007199254740992.0", {}, I(1)},
      {"x > 1e308", {F(INF)}, I(1)},
  });
}

TEST(FormulaComparison, NaNOnEitherSideFails) {
  expect_run_errors({
      {"x < y", "NaN in comparison", {F(NOT_A_NUMBER), I(1)}},
      {"1 = x", "NaN in comparison", {F(NOT_A_NUMBER)}},
      {"x <> x", "NaN in comparison", {F(NOT_A_NUMBER)}},
      {"x >= 1.5", "NaN in comparison", {F(NOT_A_NUMBER)}},
  });
}

TEST(FormulaLogic, TruthOfBothOperands) {
  expect_values({
      {"2 && 3", {}, I(1)},
      {"2 && 0", {}, I(0)},
      {"0 || 7", {}, I(1)},
      {"0 || 0.0", {}, I(0)},
      {"-0.0 || 0", {}, I(0)},
      {"0.5 && 1", {}, I(1)},
      {"x && 1", {F(NOT_A_NUMBER)}, I(1)},
  });
}

TEST(FormulaLogic, BothOperandsAreAlwaysEvaluated) {
  expect_run_errors({
      {"0 && 1 / 0", "division by zero"},
      {"1 || u", "variable 'u' unbound"},
  });
}

// --- Functions --------------------------------------------------------------

TEST(FormulaFunctions, FloatFunctions) {
  expect_values({
      {"SQRT(4)", {}, F(2)},
      {"sqrt(4)", {}, F(2)},
      {"SIN(0)", {}, F(0)},
      {"SIN(x)", {I(0)}, F(0)},
      {"COS 0", {}, F(1)},
      {"TAN(0)", {}, F(0)},
      {"ATAN(1) * 4", {}, F(PI_CONSTANT)},
      {"ASIN(1) * 2", {}, F(PI_CONSTANT)},
      {"ACOS(-1)", {}, F(PI_CONSTANT)},
      {"EXP(0)", {}, F(1)},
      {"exp(1)", {}, F(2.718281828459045)},
      {"LN(1)", {}, F(0)},
      {"LN(E)", {}, F(1)},
      {"LG(1000)", {}, F(3)},
      {"SQRT(-1)", {}, F(NOT_A_NUMBER)},
      {"LN(0)", {}, F(-INF)},
  });
}

TEST(FormulaFunctions, RoundingFunctionsGiveFloats) {
  expect_values({
      {"ROUND(2.5)", {}, F(3)},
      {"ROUND(-2.5)", {}, F(-3)},
      {"ROUND(0.49999999999999994)", {}, F(0)},
      {"TRUNC(-2.7)", {}, F(-2)},
      {"Trunc(2.9)", {}, F(2)},
      {"FLOOR(-2.5)", {}, F(-3)},
      {"CEIL(-2.5)", {}, F(-2)},
      {"CEIL 2.1", {}, F(3)},
      {"FLOOR(7)", {}, F(7)},
      {"ROUND(7)", {}, F(7)},
  });
}

TEST(FormulaFunctions, AbsSgnNegFollowTheOperandType) {
  expect_values({
      {"ABS(-5)", {}, I(5)},
      {"ABS(-2.5)", {}, F(2.5)},
      {"abs(x)", {F(-0.0)}, F(0.0)},
      {"SGN(-3)", {}, I(-1)},
      {"SGN(0)", {}, I(0)},
      {"SGN(2.5)", {}, I(1)},
      {"SGN(-0.5)", {}, I(-1)},
      {"SGN(x)", {F(-0.0)}, I(0)},
      {"SGN(x)", {F(NOT_A_NUMBER)}, I(0)},
      {"NEG(3)", {}, I(-3)},
      {"neg 2.5", {}, F(-2.5)},
  });
}

// --- Literals ---------------------------------------------------------------

TEST(FormulaLiterals, Integers) {
  expect_values({
      {"007", {}, I(7)},
      {"9223372036854775807", {}, I(HIGHEST)},
      {"0x10", {}, I(16)},
      {"0XfF", {}, I(255)},
      {"0xFFFFFFFF", {}, I(4294967295)},
      {"0x00000000000000000001", {}, I(1)},
      {"0x7FFFFFFFFFFFFFFF", {}, I(HIGHEST)},
      {"0x1F+1", {}, I(32)},
      {"0xE+1", {}, I(15)},  // a hex 'E' is a digit, not an exponent
      {" \t\n\r\f1 +\n2 ", {}, I(3)},
  });
}

TEST(FormulaLiterals, FloatsAndExponents) {
  expect_values({
      {"1e3", {}, F(1000)},
      {"1e+3", {}, F(1000)},
      {"1E3", {}, F(1000)},
      {"1.5E-2", {}, F(0.015)},
      {"1e3-1", {}, F(999)},
      {".5", {}, F(0.5)},
      {"5.", {}, F(5)},
      {"1.e2", {}, F(100)},
      {"4.9e-324", {}, F(4.9e-324)},
      {"1e400", {}, F(INF)},
      {"1e99999999999999999999", {}, F(INF)},
      {"1e-400", {}, F(0)},
      {"0e99999", {}, F(0)},
  });
}

TEST(FormulaLiterals, BadLiteralsFailToCompile) {
  expect_compile_errors({
      {"0xFFFFFFFFFFFFFFFF", "bad hex literal: number too large to fit in target type"},
      {"0x8000000000000000", "bad hex literal: number too large to fit in target type"},
      {"0xg", "bad hex literal: cannot parse integer from empty string"},
      {"0x +1", "bad hex literal: cannot parse integer from empty string"},
      {"9223372036854775808", "bad int literal: number too large to fit in target type"},
      {"-9223372036854775808", "bad int literal: number too large to fit in target type"},
      {"1.2.3", "bad float literal: invalid float literal"},
      {"1..2", "bad float literal: invalid float literal"},
      {"1.5.", "bad float literal: invalid float literal"},
      {"1e5e5", "bad float literal: invalid float literal"},
      {"1e+", "bad float literal: invalid float literal"},
      {"1e-x", "bad float literal: invalid float literal"},
  });
}

TEST(FormulaLiterals, NumberFollowedByALetterIsTwoOperands) {
  // An 'e' without a sign or digit after it ends the number; "0x" needs a
  // third character to be hexadecimal.
  expect_run_errors({
      {"1e", "malformed expression", {I(0)}},
      {"1ex", "malformed expression", {I(0)}},
      {"2E", "malformed expression"},
      {"(2E)", "malformed expression"},
      {"0x", "malformed expression", {I(0)}},
      {"12abc", "malformed expression", {I(0)}},
  });
}

// --- Names --------------------------------------------------------------------

TEST(FormulaVariables, TableHoldsDistinctNamesInOrderOfFirstUse) {
  const auto program = compile("b + a * b - A + VALUE.Min + TRIGGER_SOURCE.Entry.Off + a");
  ASSERT_TRUE(program) << program.error();
  EXPECT_EQ(program->variables(),
            (std::vector<std::string>{"b", "a", "A", "VALUE.Min", "TRIGGER_SOURCE.Entry.Off"}));
  expect_values({
      {"b + a * b - A", {I(1), I(2), I(3)}, I(0)},
      {"VALUE.Min + 1", {I(4)}, I(5)},
      {"x", {I(1), I(2)}, I(1)},  // extra values are ignored
  });
}

TEST(FormulaVariables, FunctionsAndConstantsAreNotVariables) {
  const auto functions = compile("sqrt(x) + Exp(0) + SQRT.y + SQRTx + _1");
  ASSERT_TRUE(functions) << functions.error();
  EXPECT_EQ(functions->variables(), (std::vector<std::string>{"x", "SQRT.y", "SQRTx", "_1"}));

  // Only upper-case PI and E are constants.
  const auto constants = compile("pi + PI + e + E + Pi");
  ASSERT_TRUE(constants) << constants.error();
  EXPECT_EQ(constants->variables(), (std::vector<std::string>{"pi", "e", "Pi"}));
  expect_values({
      {"PI", {}, F(PI_CONSTANT)},
      {"E", {}, F(2.718281828459045)},
      {"pi * 2", {I(3)}, I(6)},
  });
}

TEST(FormulaVariables, UnboundVariableFailsWhenReached) {
  expect_run_errors({
      {"x", "variable 'x' unbound"},
      {"a + b", "variable 'b' unbound", {I(1)}},
      {"VALUE.Min + 1", "variable 'VALUE.Min' unbound"},
  });
}

// --- Structure errors -------------------------------------------------------

TEST(FormulaSyntax, UnexpectedCharacters) {
  expect_compile_errors({
      {"$", "unexpected character '$'"},
      {"a != b", "unexpected character '!'"},
      {"1, 2", "unexpected character ','"},
      {"x[0]", "unexpected character '['"},
      {"1 . 2", "unexpected character '.'"},
      {"\"a\"", "unexpected character '\"'"},
      {"1 \v 2", "unexpected character '\v'"},
      {"2 \xC3\x97 3", "unexpected character '\xC3\x97'"},  // U+00D7 shown whole
      {"1 \xFF", "unexpected character '\xEF\xBF\xBD'"},    // invalid UTF-8 shown as U+FFFD
      {") $", "unexpected character '$'"},                  // the whole text is tokenized first
  });
}

TEST(FormulaSyntax, UnbalancedParentheses) {
  expect_compile_errors({
      {"(1 + 2", "unbalanced parenthesis"},
      {"((1)", "unbalanced parenthesis"},
      {"(", "unbalanced parenthesis"},
      {"1 + 2)", "unbalanced parenthesis"},
      {")(", "unbalanced parenthesis"},
  });
}

TEST(FormulaSyntax, OperandCountIsCheckedWhenRun) {
  expect_run_errors({
      {"", "malformed expression"},
      {" \t ", "malformed expression"},
      {"()", "malformed expression"},
      {"1 2", "malformed expression"},
      {"(1)(2)", "malformed expression"},
      {":", "malformed expression"},
      {"1 ~ 2", "malformed expression"},
      {"1 +", "expression stack underflow"},
      {"* 2", "expression stack underflow"},
      {"-", "expression stack underflow"},
      {"+", "expression stack underflow"},
      {"~", "expression stack underflow"},
      {"SQRT", "expression stack underflow"},
      {"SQRT()", "expression stack underflow"},
  });
}

// --- Programs -----------------------------------------------------------------

TEST(CompiledFormula, IsReusableAndCopyable) {
  std::optional<CompiledFormula> original;
  {
    const auto program = compile("x * 2 + y");
    ASSERT_TRUE(program) << program.error();
    original = *program;
  }
  const std::vector<Value> ints{I(1), I(2)};
  const std::vector<Value> floats{F(1.5), I(0)};
  const auto first = run(*original, ints);
  const auto second = run(*original, floats);
  ASSERT_TRUE(first && second);
  EXPECT_TRUE(same_value(*first, I(4))) << describe(*first);
  EXPECT_TRUE(same_value(*second, F(3))) << describe(*second);

  const CompiledFormula copy = *original;
  original.reset();
  const auto again = run(copy, ints);
  ASSERT_TRUE(again);
  EXPECT_TRUE(same_value(*again, I(4))) << describe(*again);
  EXPECT_EQ(copy.variables(), (std::vector<std::string>{"x", "y"}));
}

std::string repeat(std::string_view piece, std::size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

TEST(CompiledFormula, HundredThousandTokenFormulas) {
  // Long chains and deep nesting go through heap stacks, not recursion.
  const std::string sum = "1" + repeat("+1", 50000);
  const std::string parens = repeat("(", 100000) + "1" + repeat(")", 100000);
  const std::string negations = repeat("-", 100000) + "7";
  const std::string powers = "1" + repeat("**1", 50000);
  const std::string ternaries = repeat("0?0:", 25000) + "5";
  expect_values({
      {sum, {}, I(50001)},
      {parens, {}, I(1)},
      {negations, {}, I(7)},
      {powers, {}, F(1)},
      {ternaries, {}, I(5)},
  });
}

// --- Formulas as device descriptions write them -------------------------------

TEST(FormulaSamples, DeviceDescriptionFormulas) {
  expect_values({
      {"( ( (1 << SELECT) & STATUS ) = 0 ) ? 0 : 1", {I(3), I(8)}, I(1)},
      {"( MAX-OFFSETX % UNIT ) ? ( MAX-OFFSETX - ( ( MAX-OFFSETX ) % UNIT ) ) : ( MAX-OFFSETX )",
       {I(1000), I(10), I(4)},
       I(988)},
      {"( MAX = 65535 ? 15 : ( MAX = 255 ? 7 : ( MAX = 15 ? 3 : ( MAX = 3 ? 1 : 0 ) ) ) )", {I(255)}, I(7)},
      {"( DKELVIN / 10 ) - 273.15", {I(2981)}, F(298 - 273.15)},
      {"RAW/(2**FRACBITS)", {I(384), I(8)}, F(1.5)},
      {"(SELECTOR = 0)? (10**((TO/10)/20)) : (TO / 65536)", {I(0), I(200)}, F(10)},
      {"((TO | 0xFCFFFFFF)=0xFFFFFFFF)?2:0", {I(0x03000000)}, I(2)},
      {"(~(~TO|0xFEFFFFFF)) ? 2:0", {I(0x01000000)}, I(2)},
      {"(~(~TO|0xFEFFFFFF)) ? 2:0", {I(0x02000000)}, I(0)},
      {"1000000000 / ((TO = 0) ? 0.000000001 : TO)", {I(0)}, F(1e18)},
      {"(TRIGGER_SOURCE = TRIGGER_SOURCE.Entry.Off) ? 0 : 1", {I(3), I(3)}, I(0)},
  });
}

// --- Integer conversion of floats -----------------------------------------------

TEST(Intize, RoundsHalfAwayFromZeroAndSaturates) {
  struct Case {
    double in;
    std::int64_t out;
  };
  const Case cases[] = {
      {2.5, 3},
      {-2.5, -3},
      {0.5, 1},
      {-0.5, -1},
      {2.4999999999999996, 2},
      {0.49999999999999994, 0},
      {-0.0, 0},
      {NOT_A_NUMBER, 0},
      {INF, HIGHEST},
      {-INF, LOWEST},
      {9.3e18, HIGHEST},
      {9223372036854775808.0, HIGHEST},
      {9223372036854774784.0, 9223372036854774784},
      {-9223372036854775808.0, LOWEST},
      {-1e300, LOWEST},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(intize(c.in), c.out) << "intize(" << c.in << ")";
  }
}

}  // namespace
}  // namespace corvantic::genicam::formula
