// The formula language of SwissKnife, IntSwissKnife, Converter and
// IntConverter nodes: a tokenizer and precedence parser that compile a
// formula once into a postfix program with a table of variable names, and a
// stack machine that runs the program over integer and float values.
// Every failure is a message text; the node layer wraps it with the node's
// name ("formula in '<node>': <message>").
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace corvantic::genicam::formula {

// An integer (signed 64-bit) or a float (64-bit IEEE).
using Value = std::variant<std::int64_t, double>;

class CompiledFormula {
 public:
  // The distinct variable names in order of first appearance; run() takes
  // one value per entry, in this order.
  [[nodiscard]] const std::vector<std::string>& variables() const { return variables_; }

  // One step of the postfix program: push constants_[index], push the value
  // bound to variables_[index], or apply the operator or function `code`.
  // The codes are private to evaluator.cpp; callers have no use for this.
  struct Instruction {
    std::uint8_t code;
    std::size_t index;
  };

 private:
  friend std::expected<CompiledFormula, std::string> compile(std::string_view text);
  friend std::expected<Value, std::string> run(const CompiledFormula& program, std::span<const Value> values);
  std::vector<Instruction> code_;
  std::vector<Value> constants_;
  std::vector<std::string> variables_;
  std::size_t max_depth_ = 0;  // the deepest value stack a run can build; reserved once per run
};

// Compiles `text`. Only the tokenizer and the parenthesis matching fail here;
// an expression with operands missing or left over compiles and fails when run
// ("expression stack underflow", "malformed expression").
[[nodiscard]] std::expected<CompiledFormula, std::string> compile(std::string_view text);

// Runs `program` with `values[i]` bound to variables()[i]. Fewer values than
// variables leaves the rest unbound ("variable '<name>' unbound" when used).
[[nodiscard]] std::expected<Value, std::string> run(const CompiledFormula& program, std::span<const Value> values);

// Integer conversion of a float: round half away from zero, then saturate
// (NaN gives 0).
[[nodiscard]] std::int64_t intize(double value);

}  // namespace corvantic::genicam::formula
