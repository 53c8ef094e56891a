#include "genicam/evaluator.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <system_error>
#include <unordered_map>
#include <utility>

#include "util/text.hpp"

namespace corvantic::genicam::formula {
namespace {

using Instruction = CompiledFormula::Instruction;

constexpr std::int64_t INT64_LOWEST = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t INT64_HIGHEST = std::numeric_limits<std::int64_t>::max();

// Instruction codes. Constant and Variable push an operand; every other code
// pops its operands (right operand on top) and pushes one result, except
// Colon, which only separates the branches of '?' and does nothing.
enum class Op : std::uint8_t {
  Constant,
  Variable,
  // two operands
  Add,
  Sub,
  Mul,
  Div,
  Rem,
  Pow,
  BitAnd,
  BitOr,
  BitXor,
  Shl,
  Shr,
  Eq,
  Ne,
  Lt,
  Gt,
  Le,
  Ge,
  LogicalAnd,
  LogicalOr,
  // three operands (condition, then, else), and its separator
  Select,
  Colon,
  // one operand
  Neg,
  Plus,
  Complement,
  Sin,
  Cos,
  Tan,
  Asin,
  Acos,
  Atan,
  Exp,
  Ln,
  Lg,
  Sqrt,
  Abs,
  Sgn,
  Trunc,
  Round,
  Floor,
  Ceil,
};
constexpr std::uint8_t OP_COUNT = static_cast<std::uint8_t>(Op::Ceil) + 1;

constexpr std::size_t operand_count(Op op) {
  if (op == Op::Select) return 3;
  if (op == Op::Colon || op == Op::Constant || op == Op::Variable) return 0;
  return op < Op::Select ? 2 : 1;
}

constexpr Instruction instruction(Op op, std::size_t index = 0) {
  return Instruction{static_cast<std::uint8_t>(op), index};
}

// ---------------------------------------------------------------------------
// Tokenizer

struct Operator {
  Op op;
  int precedence;
  bool right_associative;
};

constexpr int FUNCTION_PRECEDENCE = 200;
constexpr Operator UNARY_MINUS{Op::Neg, 130, true};
constexpr Operator UNARY_PLUS{Op::Plus, 130, true};

struct Symbol {
  std::string_view text;
  Operator op;
};

// Two-character operators are tried before one-character ones, so "<=" is
// never '<' followed by '='. '+' and '-' here are the binary forms.
constexpr std::array<Symbol, 8> TWO_CHARACTER_OPERATORS{{
    {"||", {Op::LogicalOr, 10, false}},
    {"&&", {Op::LogicalAnd, 20, false}},
    {"<>", {Op::Ne, 70, false}},
    {"<=", {Op::Le, 80, false}},
    {">=", {Op::Ge, 80, false}},
    {"<<", {Op::Shl, 90, false}},
    {">>", {Op::Shr, 90, false}},
    {"**", {Op::Pow, 120, true}},
}};
constexpr std::array<Symbol, 14> ONE_CHARACTER_OPERATORS{{
    {"%", {Op::Rem, 110, false}},
    {"&", {Op::BitAnd, 60, false}},
    {"*", {Op::Mul, 110, false}},
    {"+", {Op::Add, 100, false}},
    {"-", {Op::Sub, 100, false}},
    {"/", {Op::Div, 110, false}},
    {":", {Op::Colon, 5, true}},
    {"<", {Op::Lt, 80, false}},
    {"=", {Op::Eq, 70, false}},
    {">", {Op::Gt, 80, false}},
    {"?", {Op::Select, 5, true}},
    {"^", {Op::BitXor, 50, false}},
    {"|", {Op::BitOr, 40, false}},
    {"~", {Op::Complement, 130, true}},
}};

struct Function {
  std::string_view name;  // upper case; matched without regard to case
  Op op;
};
constexpr std::array<Function, 17> FUNCTIONS{{
    {"SIN", Op::Sin},   {"COS", Op::Cos},     {"TAN", Op::Tan},     {"ASIN", Op::Asin},   {"ACOS", Op::Acos},
    {"ATAN", Op::Atan}, {"EXP", Op::Exp},     {"LN", Op::Ln},       {"LG", Op::Lg},       {"SQRT", Op::Sqrt},
    {"ABS", Op::Abs},   {"SGN", Op::Sgn},     {"NEG", Op::Neg},     {"TRUNC", Op::Trunc}, {"ROUND", Op::Round},
    {"FLOOR", Op::Floor}, {"CEIL", Op::Ceil},
}};

struct Token {
  enum class Kind : std::uint8_t { Operand, Operator, Open, Close };
  Kind kind;
  Instruction operand;  // Kind::Operand
  Operator op;          // Kind::Operator
};

constexpr bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }
constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }
constexpr bool is_hex_digit(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
constexpr bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
constexpr bool is_identifier_start(char c) { return is_letter(c) || c == '_'; }
constexpr bool is_identifier_part(char c) { return is_identifier_start(c) || is_digit(c) || c == '.'; }
constexpr char to_upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool equals_ignoring_case(std::string_view text, std::string_view upper) {
  if (text.size() != upper.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (to_upper(text[i]) != upper[i]) return false;
  }
  return true;
}

// The reason texts follow the usual wording of integer and float parsing.
std::expected<std::int64_t, std::string_view> parse_integer(std::string_view digits, int base) {
  if (digits.empty()) return std::unexpected("cannot parse integer from empty string");
  const char* end = digits.data() + digits.size();
  std::int64_t value = 0;
  const auto [ptr, ec] = std::from_chars(digits.data(), end, value, base);
  if (ec == std::errc::result_out_of_range) {
    return std::unexpected(digits.front() == '-' ? "number too small to fit in target type"
                                                 : "number too large to fit in target type");
  }
  if (ec != std::errc{} || ptr != end) return std::unexpected("invalid digit found in string");
  return value;
}

// Whether a decimal literal that from_chars found out of range is too large
// (it becomes infinity) rather than too small (it becomes zero): the position
// of its first significant digit relative to the point, plus its exponent.
bool literal_overflows(std::string_view literal) {
  const std::size_t marker = literal.find_first_of("eE");
  const std::string_view mantissa = literal.substr(0, marker);
  constexpr std::int64_t CAP = std::int64_t{1} << 50;  // far beyond any double's range, far from overflow
  std::int64_t exponent = 0;
  if (marker != std::string_view::npos) {
    std::string_view digits = literal.substr(marker + 1);
    const bool negative = !digits.empty() && digits.front() == '-';
    if (!digits.empty() && (digits.front() == '-' || digits.front() == '+')) digits.remove_prefix(1);
    for (const char c : digits) exponent = std::min(CAP, exponent * 10 + (c - '0'));
    if (negative) exponent = -exponent;
  }
  const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
  const std::size_t first = mantissa.find_first_not_of("0.");
  if (first == std::string_view::npos) return false;
  const auto distance = static_cast<std::int64_t>(std::min<std::size_t>(
      first < point ? point - first : first - point - 1, static_cast<std::size_t>(CAP)));
  const std::int64_t order = first < point ? distance : -distance;
  return order + exponent > 0;
}

std::expected<double, std::string_view> parse_float(std::string_view literal) {
  if (literal.empty()) return std::unexpected("cannot parse float from empty string");
  const char* end = literal.data() + literal.size();
  double value = 0.0;
  const auto [ptr, ec] = std::from_chars(literal.data(), end, value, std::chars_format::general);
  if (ec == std::errc::invalid_argument || ptr != end) return std::unexpected("invalid float literal");
  if (ec == std::errc::result_out_of_range) {
    return literal_overflows(literal) ? std::numeric_limits<double>::infinity() : 0.0;
  }
  return value;
}

// The message names the offending character: a byte below 0x80 as itself,
// anything else as the UTF-8 character starting there (U+FFFD when the bytes
// are not valid UTF-8), so the message is always valid text.
std::string unexpected_character(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  std::string shown;
  if (lead < 0x80) {
    shown.assign(1, static_cast<char>(lead));
  } else {
    const std::size_t claimed = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    const std::string_view bytes = text.substr(at, claimed);
    const std::string decoded =
        util::decode_utf8_lossy({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
    const auto first = static_cast<unsigned char>(decoded.front());
    shown = decoded.substr(0, first < 0x80 ? 1 : first < 0xE0 ? 2 : first < 0xF0 ? 3 : 4);
  }
  return "unexpected character '" + shown + "'";
}

class Tokenizer {
 public:
  Tokenizer(std::string_view text, std::vector<Value>& constants, std::vector<std::string>& variables)
      : text_(text), constants_(constants), variables_(variables) {}

  // Splits the whole text into tokens, adding literals to the constant table
  // and names to the variable table.
  std::expected<std::vector<Token>, std::string> run() {
    std::vector<Token> tokens;
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (is_space(c)) {
        ++pos_;
      } else if (is_digit(c) || (c == '.' && pos_ + 1 < text_.size() && is_digit(text_[pos_ + 1]))) {
        auto literal = number();
        if (!literal) return std::unexpected(std::move(literal).error());
        push_operand(tokens, *literal);
      } else if (is_identifier_start(c)) {
        identifier(tokens);
      } else if (c == '(') {
        tokens.push_back(Token{Token::Kind::Open, {}, {}});
        after_operand_ = false;
        ++pos_;
      } else if (c == ')') {
        tokens.push_back(Token{Token::Kind::Close, {}, {}});
        after_operand_ = true;
        ++pos_;
      } else if (const auto op = match_operator()) {
        tokens.push_back(Token{Token::Kind::Operator, {}, *op});
        after_operand_ = false;
      } else {
        return std::unexpected(unexpected_character(text_, pos_));
      }
    }
    return tokens;
  }

 private:
  void push_operand(std::vector<Token>& tokens, Instruction operand) {
    tokens.push_back(Token{Token::Kind::Operand, operand, {}});
    after_operand_ = true;
  }

  Instruction constant(Value value) {
    constants_.push_back(value);
    return instruction(Op::Constant, constants_.size() - 1);
  }

  // "0x"/"0X" with at least one more character is hexadecimal; otherwise the
  // longest run of digits, '.' and exponent markers ('e' or 'E' taken with a
  // following sign or digit) is a float when it has a '.' or an exponent.
  std::expected<Instruction, std::string> number() {
    const std::string_view rest = text_.substr(pos_);
    if (rest.size() >= 3 && rest[0] == '0' && (rest[1] == 'x' || rest[1] == 'X')) {
      std::size_t end = 2;
      while (end < rest.size() && is_hex_digit(rest[end])) ++end;
      pos_ += end;
      const auto value = parse_integer(rest.substr(2, end - 2), 16);
      if (!value) return std::unexpected("bad hex literal: " + std::string(value.error()));
      return constant(Value{std::in_place_index<0>, *value});
    }
    std::size_t end = 0;
    bool is_float = false;
    while (end < rest.size()) {
      const char c = rest[end];
      if (is_digit(c)) {
        ++end;
      } else if (c == '.') {
        is_float = true;
        ++end;
      } else if ((c == 'e' || c == 'E') && end + 1 < rest.size() &&
                 (rest[end + 1] == '+' || rest[end + 1] == '-' || is_digit(rest[end + 1]))) {
        is_float = true;
        end += 2;
      } else {
        break;
      }
    }
    pos_ += end;
    const std::string_view literal = rest.substr(0, end);
    if (is_float) {
      const auto value = parse_float(literal);
      if (!value) return std::unexpected("bad float literal: " + std::string(value.error()));
      return constant(Value{std::in_place_index<1>, *value});
    }
    const auto value = parse_integer(literal, 10);
    if (!value) return std::unexpected("bad int literal: " + std::string(value.error()));
    return constant(Value{std::in_place_index<0>, *value});
  }

  // A function name (any letter case), then the constants PI and E (upper
  // case only), then a variable named by the exact text.
  void identifier(std::vector<Token>& tokens) {
    std::size_t end = pos_ + 1;
    while (end < text_.size() && is_identifier_part(text_[end])) ++end;
    const std::string_view name = text_.substr(pos_, end - pos_);
    pos_ = end;
    for (const Function& f : FUNCTIONS) {
      if (equals_ignoring_case(name, f.name)) {
        tokens.push_back(Token{Token::Kind::Operator, {}, Operator{f.op, FUNCTION_PRECEDENCE, false}});
        after_operand_ = false;
        return;
      }
    }
    if (name == "PI") return push_operand(tokens, constant(Value{std::in_place_index<1>, 3.141592653589793}));
    if (name == "E") return push_operand(tokens, constant(Value{std::in_place_index<1>, 2.718281828459045}));
    const auto [it, added] = variable_index_.try_emplace(name, variables_.size());
    if (added) variables_.emplace_back(name);
    push_operand(tokens, instruction(Op::Variable, it->second));
  }

  std::optional<Operator> match_operator() {
    const std::string_view rest = text_.substr(pos_);
    for (const Symbol& s : TWO_CHARACTER_OPERATORS) {
      if (rest.starts_with(s.text)) {
        pos_ += 2;
        return s.op;
      }
    }
    for (const Symbol& s : ONE_CHARACTER_OPERATORS) {
      if (rest.front() == s.text.front()) {
        ++pos_;
        // '+' and '-' are binary only right after an operand or ')'.
        if (s.op.op == Op::Add && !after_operand_) return UNARY_PLUS;
        if (s.op.op == Op::Sub && !after_operand_) return UNARY_MINUS;
        return s.op;
      }
    }
    return std::nullopt;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  bool after_operand_ = false;  // the previous token was a number, constant, variable or ')'
  std::vector<Value>& constants_;
  std::vector<std::string>& variables_;
  std::unordered_map<std::string_view, std::size_t> variable_index_;  // views into text_
};

// ---------------------------------------------------------------------------
// Parser
//
// Grammar of a well-formed formula (the parser itself does not check it: a
// text with operands missing or left over becomes a program that fails when
// run):
//
//   expr     := operand | prefix expr | expr infix expr
//             | expr '?' expr ':' expr | '(' expr ')'
//   operand  := number | 'PI' | 'E' | variable
//   prefix   := '-' | '+' | '~' | function
//   function := SIN | COS | TAN | ASIN | ACOS | ATAN | EXP | LN | LG | SQRT
//             | ABS | SGN | NEG | TRUNC | ROUND | FLOOR | CEIL   (any case)
//
// Operator precedence (shunting-yard), higher binds tighter:
//
//   functions                      200  left
//   unary '-', unary '+', '~'      130  right
//   '**'                           120  right
//   '*' '/' '%'                    110  left
//   binary '+', binary '-'         100  left
//   '<<' '>>'                       90  left
//   '<' '>' '<=' '>='               80  left
//   '=' '<>'                        70  left
//   '&'                             60  left
//   '^'                             50  left
//   '|'                             40  left
//   '&&'                            20  left
//   '||'                            10  left
//   '?' ':'                          5  right
//
// Every incoming operator, functions and prefix operators included, first
// moves to the output each stacked operator that binds at least as tightly
// (left-associative) or strictly more tightly (right-associative), stopping
// at '('. So a function takes exactly the operand that follows it: SQRT 4 * 2
// is (SQRT 4) * 2, and SQRT(4) and SQRT 4 are the same. The ':' stays in the
// program as a no-op; '?' takes the three values before it.
std::expected<std::vector<Instruction>, std::string> to_postfix(const std::vector<Token>& tokens) {
  struct Pending {
    Operator op;
    bool open;  // a '(' waiting for its ')'
  };
  std::vector<Instruction> out;
  out.reserve(tokens.size());
  std::vector<Pending> stack;
  for (const Token& token : tokens) {
    switch (token.kind) {
      case Token::Kind::Operand:
        out.push_back(token.operand);
        break;
      case Token::Kind::Open:
        stack.push_back(Pending{{}, true});
        break;
      case Token::Kind::Close:
        while (!stack.empty() && !stack.back().open) {
          out.push_back(instruction(stack.back().op.op));
          stack.pop_back();
        }
        if (stack.empty()) return std::unexpected("unbalanced parenthesis");
        stack.pop_back();
        break;
      case Token::Kind::Operator: {
        const Operator& incoming = token.op;
        while (!stack.empty() && !stack.back().open) {
          const int stacked = stack.back().op.precedence;
          const bool moves =
              incoming.right_associative ? stacked > incoming.precedence : stacked >= incoming.precedence;
          if (!moves) break;
          out.push_back(instruction(stack.back().op.op));
          stack.pop_back();
        }
        stack.push_back(Pending{incoming, false});
        break;
      }
    }
  }
  while (!stack.empty()) {
    if (stack.back().open) return std::unexpected("unbalanced parenthesis");
    out.push_back(instruction(stack.back().op.op));
    stack.pop_back();
  }
  return out;
}

// The deepest value stack a run of `code` reaches before it ends or fails.
std::size_t deepest_stack(const std::vector<Instruction>& code) {
  std::size_t depth = 0;
  std::size_t deepest = 0;
  for (const Instruction& in : code) {
    const Op op = static_cast<Op>(in.code);
    if (op == Op::Constant || op == Op::Variable) {
      deepest = std::max(deepest, ++depth);
      continue;
    }
    const std::size_t needed = operand_count(op);
    if (depth < needed) break;  // the run fails here with an underflow
    if (needed > 0) depth -= needed - 1;
  }
  return deepest;
}

// ---------------------------------------------------------------------------
// Stack machine

using Result = std::expected<Value, std::string>;

Value int_value(std::int64_t v) { return Value{std::in_place_index<0>, v}; }
Value float_value(double v) { return Value{std::in_place_index<1>, v}; }
Value truth_value(bool b) { return int_value(b ? 1 : 0); }

std::unexpected<std::string> failure(std::string message) { return std::unexpected(std::move(message)); }

double as_float(const Value& v) {
  const auto* i = std::get_if<std::int64_t>(&v);
  return i ? static_cast<double>(*i) : *std::get_if<double>(&v);
}

std::int64_t as_int(const Value& v) {
  const auto* i = std::get_if<std::int64_t>(&v);
  return i ? *i : intize(*std::get_if<double>(&v));
}

bool truth(const Value& v) {
  const auto* i = std::get_if<std::int64_t>(&v);
  return i ? *i != 0 : *std::get_if<double>(&v) != 0.0;  // NaN is true
}

// Two's-complement wrapping through unsigned arithmetic, which has no
// undefined overflow.
std::int64_t wrapping_add(std::int64_t a, std::int64_t b) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}
std::int64_t wrapping_sub(std::int64_t a, std::int64_t b) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}
std::int64_t wrapping_mul(std::int64_t a, std::int64_t b) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) * static_cast<std::uint64_t>(b));
}
std::int64_t wrapping_neg(std::int64_t a) { return wrapping_sub(0, a); }

Result compare(Op op, const Value& a, const Value& b) {
  const auto* ia = std::get_if<std::int64_t>(&a);
  const auto* ib = std::get_if<std::int64_t>(&b);
  if (ia && ib) {
    switch (op) {
      case Op::Eq: return truth_value(*ia == *ib);
      case Op::Ne: return truth_value(*ia != *ib);
      case Op::Lt: return truth_value(*ia < *ib);
      case Op::Gt: return truth_value(*ia > *ib);
      case Op::Le: return truth_value(*ia <= *ib);
      default: return truth_value(*ia >= *ib);
    }
  }
  const double x = as_float(a);
  const double y = as_float(b);
  if (std::isnan(x) || std::isnan(y)) return failure("NaN in comparison");
  switch (op) {
    case Op::Eq: return truth_value(x == y);
    case Op::Ne: return truth_value(x != y);
    case Op::Lt: return truth_value(x < y);
    case Op::Gt: return truth_value(x > y);
    case Op::Le: return truth_value(x <= y);
    default: return truth_value(x >= y);
  }
}

Result apply_binary(Op op, const Value& a, const Value& b) {
  const auto* ia = std::get_if<std::int64_t>(&a);
  const auto* ib = std::get_if<std::int64_t>(&b);
  const bool integers = ia && ib;
  switch (op) {
    case Op::Add: return integers ? int_value(wrapping_add(*ia, *ib)) : float_value(as_float(a) + as_float(b));
    case Op::Sub: return integers ? int_value(wrapping_sub(*ia, *ib)) : float_value(as_float(a) - as_float(b));
    case Op::Mul: return integers ? int_value(wrapping_mul(*ia, *ib)) : float_value(as_float(a) * as_float(b));
    case Op::Div:
      if (!integers) return float_value(as_float(a) / as_float(b));
      if (*ib == 0) return failure("division by zero");
      if (*ib == -1) return int_value(wrapping_neg(*ia));  // the lowest value divided by -1 stays itself
      return int_value(*ia / *ib);
    case Op::Rem: {
      const std::int64_t x = as_int(a);
      const std::int64_t y = as_int(b);
      if (y == 0) return failure("remainder by zero");
      if (y == -1) return int_value(0);  // also for the lowest value, where % would overflow
      return int_value(x % y);
    }
    case Op::Pow: return float_value(std::pow(as_float(a), as_float(b)));
    case Op::BitAnd: return int_value(as_int(a) & as_int(b));
    case Op::BitOr: return int_value(as_int(a) | as_int(b));
    case Op::BitXor: return int_value(as_int(a) ^ as_int(b));
    case Op::Shl: {
      const auto shift = static_cast<std::uint64_t>(as_int(b)) & 63;
      return int_value(static_cast<std::int64_t>(static_cast<std::uint64_t>(as_int(a)) << shift));
    }
    case Op::Shr: {
      const auto shift = static_cast<std::uint64_t>(as_int(b)) & 63;
      return int_value(as_int(a) >> shift);  // arithmetic: the sign is kept
    }
    case Op::Eq:
    case Op::Ne:
    case Op::Lt:
    case Op::Gt:
    case Op::Le:
    case Op::Ge: return compare(op, a, b);
    case Op::LogicalAnd: return truth_value(truth(a) && truth(b));
    case Op::LogicalOr: return truth_value(truth(a) || truth(b));
    default: return failure("internal: operand in operator position");
  }
}

Result apply_unary(Op op, const Value& a) {
  const auto* i = std::get_if<std::int64_t>(&a);
  switch (op) {
    case Op::Neg: return i ? int_value(wrapping_neg(*i)) : float_value(-as_float(a));
    case Op::Plus: return a;
    case Op::Complement: return int_value(~as_int(a));
    case Op::Sin: return float_value(std::sin(as_float(a)));
    case Op::Cos: return float_value(std::cos(as_float(a)));
    case Op::Tan: return float_value(std::tan(as_float(a)));
    case Op::Asin: return float_value(std::asin(as_float(a)));
    case Op::Acos: return float_value(std::acos(as_float(a)));
    case Op::Atan: return float_value(std::atan(as_float(a)));
    case Op::Exp: return float_value(std::exp(as_float(a)));
    case Op::Ln: return float_value(std::log(as_float(a)));
    case Op::Lg: return float_value(std::log10(as_float(a)));
    case Op::Sqrt: return float_value(std::sqrt(as_float(a)));
    case Op::Abs:
      if (i) return int_value(*i < 0 ? wrapping_neg(*i) : *i);
      return float_value(std::fabs(as_float(a)));
    case Op::Sgn: {
      if (i) return int_value((*i > 0) - (*i < 0));
      const double x = as_float(a);  // NaN gives 0: both comparisons are false
      return int_value((x > 0.0) - (x < 0.0));
    }
    case Op::Trunc: return float_value(std::trunc(as_float(a)));
    case Op::Round: return float_value(std::round(as_float(a)));  // half away from zero
    case Op::Floor: return float_value(std::floor(as_float(a)));
    case Op::Ceil: return float_value(std::ceil(as_float(a)));
    default: return failure("internal: operand in operator position");
  }
}

}  // namespace

std::int64_t intize(double value) {
  if (std::isnan(value)) return 0;
  const double rounded = std::round(value);
  constexpr double TWO_POW_63 = 9223372036854775808.0;
  if (rounded >= TWO_POW_63) return INT64_HIGHEST;
  if (rounded < -TWO_POW_63) return INT64_LOWEST;
  return static_cast<std::int64_t>(rounded);
}

std::expected<CompiledFormula, std::string> compile(std::string_view text) {
  CompiledFormula program;
  // The whole text is tokenized before parsing, so a character error wins
  // over a parenthesis error found earlier in the text.
  auto tokens = Tokenizer(text, program.constants_, program.variables_).run();
  if (!tokens) return std::unexpected(std::move(tokens).error());
  auto code = to_postfix(*tokens);
  if (!code) return std::unexpected(std::move(code).error());
  program.code_ = std::move(*code);
  program.max_depth_ = deepest_stack(program.code_);
  return program;
}

std::expected<Value, std::string> run(const CompiledFormula& program, std::span<const Value> values) {
  std::vector<Value> stack;
  stack.reserve(program.max_depth_);
  for (const Instruction& in : program.code_) {
    if (in.code >= OP_COUNT) return failure("internal: operand in operator position");
    const Op op = static_cast<Op>(in.code);
    if (op == Op::Constant) {
      stack.push_back(program.constants_[in.index]);
      continue;
    }
    if (op == Op::Variable) {
      if (in.index >= values.size()) return failure("variable '" + program.variables_[in.index] + "' unbound");
      stack.push_back(values[in.index]);
      continue;
    }
    if (op == Op::Colon) continue;
    const std::size_t needed = operand_count(op);
    if (stack.size() < needed) return failure("expression stack underflow");
    const Value* args = stack.data() + (stack.size() - needed);
    Result result = needed == 3   ? Result(truth(args[0]) ? args[1] : args[2])
                    : needed == 2 ? apply_binary(op, args[0], args[1])
                                  : apply_unary(op, args[0]);
    if (!result) return std::unexpected(std::move(result).error());
    stack.resize(stack.size() - (needed - 1));
    stack.back() = *result;
  }
  if (stack.size() != 1) return failure("malformed expression");
  return stack.front();
}

}  // namespace corvantic::genicam::formula
