// Node evaluation: typed reads and writes per node kind, value sources,
// references and the evaluation stack, formulas and converters, bounds,
// increments, enumeration entries and access modes. Register decoding and
// caching live in node_register.cpp.
#include <algorithm>
#include <array>
#include <limits>

#include "genicam/node.hpp"
#include "util/try.hpp"

namespace corvantic::genicam {

namespace {

// The name a value-source failure carries when no node stands behind it.
constexpr const char* VALUE_REFERENCE = "<value reference>";

[[nodiscard]] std::int64_t integer_of(formula::Value value) {
  if (const auto* integer = std::get_if<std::int64_t>(&value)) return *integer;
  return formula::intize(std::get<double>(value));
}

[[nodiscard]] double float_of(formula::Value value) {
  if (const auto* real = std::get_if<double>(&value)) return *real;
  return static_cast<double>(std::get<std::int64_t>(value));
}

}  // namespace

GenicamResult<void> FeatureModel::push(std::uint32_t index) {
  if (std::find(stack_.begin(), stack_.end(), index) != stack_.end()) {
    stack_.clear();
    return std::unexpected(GenicamError::circular_reference(nodes_[index].name));
  }
  if (stack_.size() >= MAX_EVALUATION_DEPTH) {
    return std::unexpected(GenicamError::evaluation(
        nodes_[index].name,
        "references nested deeper than " + std::to_string(MAX_EVALUATION_DEPTH) + " nodes"));
  }
  if (++visits_ > MAX_EVALUATION_VISITS) {
    return std::unexpected(GenicamError::evaluation(
        nodes_[index].name,
        "evaluation visits more than " + std::to_string(MAX_EVALUATION_VISITS) + " nodes"));
  }
  stack_.push_back(index);
  return {};
}

// Follows a reference: an unresolved one fails with DanglingReference, a
// resolved one runs `operation` with the target on the evaluation stack.
template <typename F>
auto FeatureModel::through(std::uint32_t target, std::string_view name, F&& operation)
    -> std::invoke_result_t<F> {
  if (target == NO_NODE) return std::unexpected(GenicamError::dangling_reference(std::string(name)));
  if (auto pushed = push(target); !pushed) return std::unexpected(std::move(pushed).error());
  auto result = std::forward<F>(operation)();
  pop_evaluation();
  return result;
}

GenicamResult<std::int64_t> FeatureModel::integer_source(const ValueSource& source, RegisterPort& port) {
  switch (source.form) {
    case ValueSource::Form::Integer: return source.integer;
    case ValueSource::Form::Float: return formula::intize(source.real);
    case ValueSource::Form::Reference: {
      const auto target = source.target;
      return through(target, source.text, [&] { return read_integer(target, port); });
    }
    case ValueSource::Form::Absent:
    case ValueSource::Form::Text: break;
  }
  return std::unexpected(GenicamError::wrong_type(VALUE_REFERENCE));
}

GenicamResult<double> FeatureModel::float_source(const ValueSource& source, RegisterPort& port) {
  switch (source.form) {
    case ValueSource::Form::Integer: return static_cast<double>(source.integer);
    case ValueSource::Form::Float: return source.real;
    case ValueSource::Form::Reference: {
      const auto target = source.target;
      return through(target, source.text, [&] { return read_float(target, port); });
    }
    case ValueSource::Form::Absent:
    case ValueSource::Form::Text: break;
  }
  return std::unexpected(GenicamError::wrong_type(VALUE_REFERENCE));
}

GenicamResult<void> FeatureModel::write_integer_source(std::uint32_t index, ValueSource& source,
                                                       std::int64_t value, RegisterPort& port) {
  if (source.form == ValueSource::Form::Integer) {
    source.integer = value;
    return {};
  }
  if (source.form == ValueSource::Form::Reference) {
    const auto target = source.target;
    return through(target, source.text, [&] { return write_integer(target, value, port); });
  }
  return std::unexpected(GenicamError::access_denied(nodes_[index].name));
}

GenicamResult<void> FeatureModel::write_float_source(std::uint32_t index, ValueSource& source, double value,
                                                     RegisterPort& port) {
  if (source.form == ValueSource::Form::Float) {
    source.real = value;
    return {};
  }
  if (source.form == ValueSource::Form::Reference) {
    const auto target = source.target;
    return through(target, source.text, [&] { return write_float(target, value, port); });
  }
  return std::unexpected(GenicamError::access_denied(nodes_[index].name));
}

// A node bound to a formula variable or converted by a converter: read as a
// float when it is a float node or float register, as an integer otherwise.
GenicamResult<formula::Value> FeatureModel::read_value(std::uint32_t index, RegisterPort& port) {
  const auto kind = nodes_[index].kind;
  if (kind == NodeKind::Float || kind == NodeKind::FloatReg) {
    CORVANTIC_TRY(const double value, read_float(index, port));
    return formula::Value(value);
  }
  CORVANTIC_TRY(const std::int64_t value, read_integer(index, port));
  return formula::Value(value);
}

GenicamResult<void> FeatureModel::write_value(std::uint32_t index, formula::Value value, RegisterPort& port) {
  const auto kind = nodes_[index].kind;
  if (kind == NodeKind::Float || kind == NodeKind::FloatReg) return write_float(index, float_of(value), port);
  return write_integer(index, integer_of(value), port);
}

GenicamResult<formula::Value> FeatureModel::run_formula(std::uint32_t index, FormulaSlot& slot,
                                                        std::span<const FormulaVariable> variables,
                                                        std::string_view given_name, formula::Value given,
                                                        RegisterPort& port) {
  // A stored program is used in place; a fresh one is stored only after it
  // ran successfully. Programs live on the heap and a stored one is never
  // replaced, so `program` stays valid even when a nested evaluation of this
  // node (possible only on the way to a detected cycle) stores its own.
  const formula::CompiledFormula* program = slot.program.get();
  std::unique_ptr<formula::CompiledFormula> fresh;
  if (program == nullptr) {
    auto compiled = formula::compile(slot.text);
    if (!compiled) {
      return std::unexpected(GenicamError::evaluation(nodes_[index].name, std::move(compiled).error()));
    }
    fresh = std::make_unique<formula::CompiledFormula>(std::move(*compiled));
    program = fresh.get();
  }

  const auto& names = program->variables();
  // Most formulas have a few variables: their values live on the stack.
  std::array<formula::Value, 8> inline_values{};
  std::vector<formula::Value> heap_values;
  if (names.size() > inline_values.size()) heap_values.resize(names.size());
  const std::span<formula::Value> values = heap_values.empty() ? std::span(inline_values).first(names.size())
                                                               : std::span<formula::Value>(heap_values);
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i];
    if (!given_name.empty() && name == given_name) {
      values[i] = given;
      continue;
    }
    const auto listed = std::find_if(variables.begin(), variables.end(),
                                     [&](const FormulaVariable& v) { return v.name == name; });
    std::uint32_t target = NO_NODE;
    std::string_view target_name = name;
    if (listed != variables.end()) {
      target = listed->node.index;
      target_name = listed->node.name;
    } else if (const auto found = index_of(name)) {
      target = *found;
    } else {
      return std::unexpected(GenicamError::evaluation(nodes_[index].name, "unbound variable '" + name + "'"));
    }
    CORVANTIC_TRY(values[i], through(target, target_name, [&] { return read_value(target, port); }));
  }

  auto result = formula::run(*program, values);
  if (!result) {
    return std::unexpected(GenicamError::evaluation(nodes_[index].name, std::move(result).error()));
  }
  if (fresh && !slot.program) slot.program = std::move(fresh);
  return *result;
}

GenicamResult<formula::Value> FeatureModel::read_converter(std::uint32_t index, RegisterPort& port) {
  auto& converter = std::get<ConverterNode>(nodes_[index].payload);
  formula::Value target_value;
  if (converter.value.form == ValueSource::Form::Reference) {
    const auto target = converter.value.target;
    CORVANTIC_TRY(target_value,
                  through(target, converter.value.text, [&] { return read_value(target, port); }));
  } else {
    CORVANTIC_TRY(const std::int64_t value, integer_source(converter.value, port));
    target_value = value;
  }
  return run_formula(index, converter.from, converter.variables, "TO", target_value, port);
}

GenicamResult<void> FeatureModel::write_converter(std::uint32_t index, formula::Value value,
                                                  RegisterPort& port) {
  auto& converter = std::get<ConverterNode>(nodes_[index].payload);
  if (converter.value.form != ValueSource::Form::Reference) {
    return std::unexpected(GenicamError::access_denied(nodes_[index].name));
  }
  CORVANTIC_TRY(const formula::Value device_value,
                run_formula(index, converter.to, converter.variables, "FROM", value, port));
  const auto target = converter.value.target;
  return through(target, converter.value.text, [&] { return write_value(target, device_value, port); });
}

GenicamResult<std::int64_t> FeatureModel::read_integer(std::uint32_t index, RegisterPort& port) {
  begin_operation(index);
  auto& node = nodes_[index];
  switch (node.kind) {
    case NodeKind::Integer: return integer_source(std::get<IntegerNode>(node.payload).value, port);
    case NodeKind::Float: {
      CORVANTIC_TRY(const double value, float_source(std::get<FloatNode>(node.payload).value, port));
      return formula::intize(value);
    }
    case NodeKind::Boolean: return integer_source(std::get<BooleanNode>(node.payload).value, port);
    case NodeKind::Enumeration: return integer_source(std::get<EnumerationNode>(node.payload).value, port);
    case NodeKind::IntReg: return read_int_register(index, port);
    case NodeKind::Formula: {
      auto& f = std::get<FormulaNode>(node.payload);
      CORVANTIC_TRY(const formula::Value value, run_formula(index, f.formula, f.variables, {}, {}, port));
      return integer_of(value);
    }
    case NodeKind::Converter: {
      CORVANTIC_TRY(const formula::Value value, read_converter(index, port));
      return integer_of(value);
    }
    default: return std::unexpected(GenicamError::wrong_type(node.name));
  }
}

GenicamResult<double> FeatureModel::read_float(std::uint32_t index, RegisterPort& port) {
  begin_operation(index);
  auto& node = nodes_[index];
  switch (node.kind) {
    case NodeKind::Integer: {
      CORVANTIC_TRY(const std::int64_t value,
                    integer_source(std::get<IntegerNode>(node.payload).value, port));
      return static_cast<double>(value);
    }
    case NodeKind::Float: return float_source(std::get<FloatNode>(node.payload).value, port);
    case NodeKind::FloatReg: return read_float_register(index, port);
    case NodeKind::Formula: {
      auto& f = std::get<FormulaNode>(node.payload);
      CORVANTIC_TRY(const formula::Value value, run_formula(index, f.formula, f.variables, {}, {}, port));
      return float_of(value);
    }
    case NodeKind::Converter: {
      CORVANTIC_TRY(const formula::Value value, read_converter(index, port));
      return float_of(value);
    }
    default: return std::unexpected(GenicamError::wrong_type(node.name));
  }
}

GenicamResult<void> FeatureModel::write_integer(std::uint32_t index, std::int64_t value, RegisterPort& port) {
  begin_operation(index);
  auto& node = nodes_[index];
  switch (node.kind) {
    case NodeKind::Integer:
      return write_integer_source(index, std::get<IntegerNode>(node.payload).value, value, port);
    case NodeKind::Boolean:
      return write_integer_source(index, std::get<BooleanNode>(node.payload).value, value, port);
    case NodeKind::Enumeration:
      return write_integer_source(index, std::get<EnumerationNode>(node.payload).value, value, port);
    case NodeKind::Command:
      return write_integer_source(index, std::get<CommandNode>(node.payload).value, value, port);
    case NodeKind::IntReg: return write_int_register(index, value, port);
    case NodeKind::Converter: return write_converter(index, formula::Value(value), port);
    default: return std::unexpected(GenicamError::wrong_type(node.name));
  }
}

GenicamResult<void> FeatureModel::write_float(std::uint32_t index, double value, RegisterPort& port) {
  begin_operation(index);
  auto& node = nodes_[index];
  switch (node.kind) {
    case NodeKind::Integer: return write_integer(index, formula::intize(value), port);
    case NodeKind::Float:
      return write_float_source(index, std::get<FloatNode>(node.payload).value, value, port);
    case NodeKind::FloatReg: return write_float_register(index, value, port);
    case NodeKind::Converter: return write_converter(index, formula::Value(value), port);
    default: return std::unexpected(GenicamError::wrong_type(node.name));
  }
}

GenicamResult<bool> FeatureModel::read_boolean(std::uint32_t index, RegisterPort& port) {
  begin_operation(index);
  if (const auto* boolean = std::get_if<BooleanNode>(&nodes_[index].payload)) {
    CORVANTIC_TRY(const std::int64_t value, integer_source(boolean->value, port));
    return value == boolean->on_value;
  }
  CORVANTIC_TRY(const std::int64_t value, read_integer(index, port));
  return value != 0;
}

GenicamResult<void> FeatureModel::write_boolean(std::uint32_t index, bool value, RegisterPort& port) {
  begin_operation(index);
  if (const auto* boolean = std::get_if<BooleanNode>(&nodes_[index].payload)) {
    return write_integer(index, value ? boolean->on_value : boolean->off_value, port);
  }
  return write_integer(index, value ? 1 : 0, port);
}

GenicamResult<std::string> FeatureModel::read_string(std::uint32_t index, RegisterPort& port) {
  begin_operation(index);
  auto& node = nodes_[index];
  switch (node.kind) {
    case NodeKind::String: {
      const auto& string = std::get<StringNode>(node.payload);
      const auto& source = string.value;
      if (source.form == ValueSource::Form::Text) return string.text;
      if (source.form == ValueSource::Form::Reference) {
        const auto target = source.target;
        return through(target, source.text, [&] { return read_string(target, port); });
      }
      return std::unexpected(GenicamError::wrong_type(VALUE_REFERENCE));
    }
    case NodeKind::Enumeration: {
      CORVANTIC_TRY(const std::int64_t value, read_integer(index, port));
      for (const auto& entry : std::get<EnumerationNode>(node.payload).entries) {
        if (entry.value == value) return std::string(entry.name);
      }
      return std::unexpected(GenicamError::no_enum_entry(node.name, "value " + std::to_string(value)));
    }
    case NodeKind::StringReg: return read_string_register(index, port);
    default: return std::unexpected(GenicamError::wrong_type(node.name));
  }
}

GenicamResult<void> FeatureModel::write_string(std::uint32_t index, std::string_view text,
                                               RegisterPort& port) {
  begin_operation(index);
  auto& node = nodes_[index];
  switch (node.kind) {
    case NodeKind::String: {
      auto& string = std::get<StringNode>(node.payload);
      auto& source = string.value;
      if (source.form == ValueSource::Form::Text) {
        string.text.assign(text);
        return {};
      }
      if (source.form == ValueSource::Form::Reference) {
        // A string feature forwards to another string or to a register.
        const auto target = source.target;
        return through(target, source.text, [&]() -> GenicamResult<void> {
          const auto kind = nodes_[target].kind;
          if (kind != NodeKind::String && !is_register(kind)) {
            return std::unexpected(GenicamError::wrong_type(nodes_[target].name));
          }
          return write_string(target, text, port);
        });
      }
      return std::unexpected(GenicamError::access_denied(node.name));
    }
    case NodeKind::Enumeration: return select_entry(index, text, port);
    case NodeKind::StringReg: return write_string_register(index, text, port);
    default: return std::unexpected(GenicamError::wrong_type(node.name));
  }
}

GenicamResult<void> FeatureModel::select_entry(std::uint32_t index, std::string_view entry,
                                               RegisterPort& port) {
  begin_operation(index);
  auto& node = nodes_[index];
  const auto* enumeration = std::get_if<EnumerationNode>(&node.payload);
  if (enumeration == nullptr) return std::unexpected(GenicamError::wrong_type(node.name));
  for (const auto& candidate : enumeration->entries) {
    if (candidate.name == entry) return write_integer(index, candidate.value, port);
  }
  return std::unexpected(GenicamError::no_enum_entry(node.name, std::string(entry)));
}

GenicamResult<void> FeatureModel::execute(std::uint32_t index, RegisterPort& port) {
  begin_operation(index);
  auto& node = nodes_[index];
  auto* command = std::get_if<CommandNode>(&node.payload);
  if (command == nullptr) return std::unexpected(GenicamError::wrong_type(node.name));
  std::int64_t value = 1;
  if (command->command_value.form != ValueSource::Form::Absent) {
    CORVANTIC_TRY(value, integer_source(command->command_value, port));
  }
  return write_integer_source(index, command->value, value, port);
}

GenicamResult<std::pair<std::int64_t, std::int64_t>> FeatureModel::integer_bounds(std::uint32_t index,
                                                                                  RegisterPort& port) {
  begin_operation(index);
  auto& node = nodes_[index];
  constexpr auto LOWEST = std::numeric_limits<std::int64_t>::min();
  constexpr auto HIGHEST = std::numeric_limits<std::int64_t>::max();
  if (node.kind == NodeKind::IntReg) return std::pair(LOWEST, HIGHEST);
  const auto* integer = std::get_if<IntegerNode>(&node.payload);
  if (integer == nullptr) return std::unexpected(GenicamError::wrong_type(node.name));
  std::pair bounds(LOWEST, HIGHEST);
  if (integer->min.form != ValueSource::Form::Absent) {
    CORVANTIC_TRY(bounds.first, integer_source(integer->min, port));
  }
  if (integer->max.form != ValueSource::Form::Absent) {
    CORVANTIC_TRY(bounds.second, integer_source(integer->max, port));
  }
  return bounds;
}

GenicamResult<std::pair<double, double>> FeatureModel::float_bounds(std::uint32_t index, RegisterPort& port) {
  begin_operation(index);
  auto& node = nodes_[index];
  const auto* real = std::get_if<FloatNode>(&node.payload);
  if (real == nullptr) return std::unexpected(GenicamError::wrong_type(node.name));
  constexpr auto HIGHEST = std::numeric_limits<double>::max();
  std::pair bounds(-HIGHEST, HIGHEST);
  if (real->min.form != ValueSource::Form::Absent) {
    CORVANTIC_TRY(bounds.first, float_source(real->min, port));
  }
  if (real->max.form != ValueSource::Form::Absent) {
    CORVANTIC_TRY(bounds.second, float_source(real->max, port));
  }
  return bounds;
}

GenicamResult<std::int64_t> FeatureModel::integer_increment(std::uint32_t index, RegisterPort& port) {
  begin_operation(index);
  auto& node = nodes_[index];
  const auto* integer = std::get_if<IntegerNode>(&node.payload);
  if (integer == nullptr) return std::unexpected(GenicamError::wrong_type(node.name));
  if (integer->inc.form == ValueSource::Form::Absent) return 1;
  return integer_source(integer->inc, port);
}

GenicamResult<std::vector<std::string>> FeatureModel::enum_entries(std::uint32_t index) const {
  const auto& node = nodes_[index];
  const auto* enumeration = std::get_if<EnumerationNode>(&node.payload);
  if (enumeration == nullptr) return std::unexpected(GenicamError::wrong_type(node.name));
  std::vector<std::string> names;
  names.reserve(enumeration->entries.size());
  for (const auto& entry : enumeration->entries) names.emplace_back(entry.name);
  return names;
}

GenicamResult<AccessMode> FeatureModel::access_mode(std::uint32_t index) const {
  // Chains are short in practice: the first nodes visited are checked by a
  // scan, longer chains by a set sized to the model.
  std::array<std::uint32_t, 16> recent{};
  std::size_t steps = 0;
  std::vector<bool> visited;
  for (std::uint32_t current = index;; ++steps) {
    if (steps < recent.size()) {
      if (std::find(recent.begin(), recent.begin() + steps, current) != recent.begin() + steps) {
        return std::unexpected(GenicamError::circular_reference(nodes_[current].name));
      }
      recent[steps] = current;
    } else {
      if (visited.empty()) {
        visited.resize(nodes_.size());
        for (const auto seen : recent) visited[seen] = true;
      }
      if (visited[current]) return std::unexpected(GenicamError::circular_reference(nodes_[current].name));
      visited[current] = true;
    }

    const auto& node = nodes_[current];
    const ValueSource* source = nullptr;
    switch (node.kind) {
      case NodeKind::Integer: source = &std::get<IntegerNode>(node.payload).value; break;
      case NodeKind::Float: source = &std::get<FloatNode>(node.payload).value; break;
      case NodeKind::Boolean: source = &std::get<BooleanNode>(node.payload).value; break;
      case NodeKind::Enumeration: source = &std::get<EnumerationNode>(node.payload).value; break;
      case NodeKind::Command: return AccessMode::WO;
      case NodeKind::IntReg:
      case NodeKind::FloatReg:
      case NodeKind::StringReg:
      case NodeKind::Register: return std::get<RegisterNode>(node.payload).access;
      default: return AccessMode::RO;
    }
    switch (source->form) {
      case ValueSource::Form::Integer:
      case ValueSource::Form::Float: return AccessMode::RW;
      case ValueSource::Form::Reference:
        if (source->target == NO_NODE) return AccessMode::RO;
        current = source->target;
        break;
      case ValueSource::Form::Absent:
      case ValueSource::Form::Text: return AccessMode::RO;
    }
  }
}

void FeatureModel::invalidate_caches() {
  for (auto& node : nodes_) {
    if (auto* reg = std::get_if<RegisterNode>(&node.payload)) reg->cache.reset();
  }
}

}  // namespace corvantic::genicam
