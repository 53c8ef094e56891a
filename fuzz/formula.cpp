// Formula compilation on arbitrary bytes, and runs of every program that
// compiles under several bindings: integers at the extremes, fractions,
// negative zero, NaN and the infinities.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "genicam/evaluator.hpp"
#include "util/text.hpp"

using namespace corvantic;
using namespace corvantic::util;
using namespace corvantic::genicam;
using namespace corvantic::genicam::formula;

namespace {

constexpr std::int64_t LOWEST = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t HIGHEST = std::numeric_limits<std::int64_t>::max();

Value I(std::int64_t v) { return Value{std::in_place_index<0>, v}; }
Value F(double v) { return Value{std::in_place_index<1>, v}; }

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NOT_A_NUMBER = std::numeric_limits<double>::quiet_NaN();

const Value PALETTE[] = {
    I(0), I(1), I(-1), I(LOWEST), I(HIGHEST), I(63), I(7), F(0.5),
    F(-2.5), F(-0.0), F(INF), F(NOT_A_NUMBER), F(-INF), F(1e300), F(9.3e18),
};
constexpr std::size_t PALETTE_SIZE = sizeof(PALETTE) / sizeof(PALETTE[0]);

bool valid_utf8(const std::string& text) {
  return decode_utf8_lossy({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}) == text;
}

bool is_compile_message(const std::string& m) {
  if (m.starts_with("unexpected character '")) return m.ends_with("'") && valid_utf8(m);
  return m == "unbalanced parenthesis" || m == "bad hex literal: number too large to fit in target type" ||
         m == "bad hex literal: cannot parse integer from empty string" ||
         m == "bad int literal: number too large to fit in target type" ||
         m == "bad float literal: invalid float literal";
}

bool is_unbound_message(const std::string& m, const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    if (m == "variable '" + name + "' unbound") return true;
  }
  return false;
}

bool is_run_message(const std::string& m) {
  return m == "division by zero" || m == "remainder by zero" || m == "NaN in comparison" ||
         m == "expression stack underflow" || m == "malformed expression";
}

bool identical(const std::expected<Value, std::string>& a, const std::expected<Value, std::string>& b) {
  if (a.has_value() != b.has_value()) return false;
  if (!a) return a.error() == b.error();
  if (a->index() != b->index()) return false;
  if (a->index() == 0) return std::get<0>(*a) == std::get<0>(*b);
  const double x = std::get<1>(*a);
  const double y = std::get<1>(*b);
  return std::memcmp(&x, &y, sizeof x) == 0 || (std::isnan(x) && std::isnan(y));
}

bool is_name_character(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.';
}

// Each name is an identifier of the text, appears once, and is none of the
// function names or constants.
void check_variables(std::string_view text, const std::vector<std::string>& names) {
  static const char* const RESERVED[] = {"SIN", "COS", "TAN",  "ASIN", "ACOS",  "ATAN",  "EXP",   "LN",  "LG",
                                         "SQRT", "ABS", "SGN", "NEG", "TRUNC", "ROUND", "FLOOR", "CEIL"};
  std::unordered_set<std::string> seen;
  for (const std::string& name : names) {
    if (name.empty() || (name[0] >= '0' && name[0] <= '9') || name[0] == '.') __builtin_trap();
    for (const char c : name) {
      if (!is_name_character(c)) __builtin_trap();
    }
    if (name == "PI" || name == "E") __builtin_trap();
    for (const char* reserved : RESERVED) {
      if (name.size() == std::strlen(reserved) &&
          std::equal(name.begin(), name.end(), reserved, [](char a, char b) { return (a & ~0x20) == b; })) {
        __builtin_trap();
      }
    }
    if (!seen.insert(name).second) __builtin_trap();
    if (text.find(name) == std::string_view::npos) __builtin_trap();
  }
}

void check_run(const CompiledFormula& program, std::span<const Value> values) {
  const auto result = run(program, values);
  if (!result) {
    const bool bound = values.size() >= program.variables().size();
    if (!is_run_message(result.error()) && (bound || !is_unbound_message(result.error(), program.variables()))) {
      __builtin_trap();
    }
  }
  // Runs are pure: the same inputs give the same outcome, also on a copy.
  if (!identical(result, run(program, values))) __builtin_trap();
  const CompiledFormula copy = program;
  if (!identical(result, run(copy, values))) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto program = compile(text);
  if (!program) {
    if (!is_compile_message(program.error())) __builtin_trap();
    return 0;
  }
  check_variables(text, program->variables());

  // With nothing bound, a run succeeds only if the program uses no variable.
  const auto unbound = run(*program, {});
  if (unbound && !program->variables().empty()) __builtin_trap();
  check_run(*program, {});

  const std::size_t count = program->variables().size();
  std::vector<Value> values(count);
  for (const std::size_t offset : {0, 3, 6, 9, 12}) {
    for (std::size_t i = 0; i < count; ++i) values[i] = PALETTE[(offset + i) % PALETTE_SIZE];
    check_run(*program, values);
  }
  // Every variable the same integer, then the same float; and one value short.
  for (Value& v : values) v = I(2);
  check_run(*program, values);
  for (Value& v : values) v = F(2.5);
  check_run(*program, values);
  if (count > 0) check_run(*program, std::span<const Value>(values).first(count - 1));
  return 0;
}
