// FeatureModel: the GenICam node graph of one device description, and the
// evaluation of its nodes.
//
// The graph (node_build.cpp) is a flat table of nodes in creation order, an
// index from names to nodes (a later node of the same name wins), resolved
// references and the table of which nodes a register write invalidates.
// Evaluation (node_eval.cpp, node_register.cpp) reads and writes values of
// every kind through a RegisterPort: it follows references, runs formulas,
// decodes and encodes registers, caches register contents and detects
// reference cycles with an evaluation stack.
//
// A model is used by one operation at a time (feature access holds the
// camera's lock around each call), so the caches, the stored formula
// programs and the evaluation stack have no locking of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "genicam/evaluator.hpp"
#include "genicam/genicam_error.hpp"
#include "genicam/register_port.hpp"

namespace corvantic::genicam {

enum class AccessMode : std::uint8_t { RO = 0, WO = 1, RW = 2 };

// The index of no node: an unresolved reference.
inline constexpr std::uint32_t NO_NODE = 0xFFFF'FFFF;

enum class NodeKind : std::uint8_t {
  Integer,
  Float,
  Boolean,
  Command,
  Enumeration,
  String,
  Category,
  Formula,    // SwissKnife, IntSwissKnife
  Converter,  // Converter, IntConverter
  Port,
  IntReg,  // IntReg, MaskedIntReg and the entries of a StructReg
  FloatReg,
  StringReg,
  Register,  // raw bytes
};

[[nodiscard]] constexpr bool is_register(NodeKind kind) {
  return kind == NodeKind::IntReg || kind == NodeKind::FloatReg || kind == NodeKind::StringReg ||
         kind == NodeKind::Register;
}

enum class CacheMode : std::uint8_t { WriteAround, WriteThrough, NoCache };

// How a node property is given: a constant, a reference to another node, or
// not at all. Names are views of the model's text store.
struct ValueSource {
  enum class Form : std::uint8_t { Absent, Integer, Float, Text, Reference };
  Form form = Form::Absent;
  std::uint32_t target = NO_NODE;  // Reference: the target's index, once resolved
  std::int64_t integer = 0;        // Integer
  double real = 0.0;               // Float
  std::string_view text;           // Reference: the target's name (a String's text is its own)
};

// A name listed by a node (category member, formula variable), resolved
// like a reference.
struct NodeRef {
  std::string_view name;
  std::uint32_t index = NO_NODE;
};

struct EnumEntry {
  std::string_view name;
  std::int64_t value = 0;
  std::string_view display_name;  // empty when the entry gives none
};

struct FormulaVariable {
  std::string_view name;  // as written in the formula
  NodeRef node;
};

// A formula text and its program, compiled on first use and kept after its
// first successful run.
struct FormulaSlot {
  std::string_view text;
  std::unique_ptr<formula::CompiledFormula> program;

  FormulaSlot() = default;
  // A copy (FeatureModel::snapshot) gets its own copy of the program.
  FormulaSlot(const FormulaSlot& other)
      : text(other.text),
        program(other.program ? std::make_unique<formula::CompiledFormula>(*other.program) : nullptr) {}
  FormulaSlot& operator=(const FormulaSlot& other) {
    if (this != &other) *this = FormulaSlot(other);
    return *this;
  }
  FormulaSlot(FormulaSlot&&) noexcept = default;
  FormulaSlot& operator=(FormulaSlot&&) noexcept = default;
  ~FormulaSlot() = default;
};

struct IntegerNode {
  ValueSource value, min, max, inc;
  // An EventID of its own (hex in the description) marks the integer as
  // the id of that event, as descriptions write EventExposureEnd = 0x9C43.
  std::optional<std::uint64_t> event_id;
};
struct FloatNode {
  ValueSource value, min, max;
};
struct BooleanNode {
  ValueSource value;
  std::int64_t on_value = 1;
  std::int64_t off_value = 0;
};
struct CommandNode {
  ValueSource value, command_value;
};
struct EnumerationNode {
  ValueSource value;
  std::vector<EnumEntry> entries;  // document order
};
struct StringNode {
  ValueSource value;  // Text (the constant is `text`), Reference or Absent
  std::string text;
};
struct CategoryNode {
  std::vector<NodeRef> features;
};
struct FormulaNode {
  FormulaSlot formula;
  std::vector<FormulaVariable> variables;
};
struct ConverterNode {
  ValueSource value;  // the converted node
  FormulaSlot to;     // FormulaTo: device value from FROM
  FormulaSlot from;   // FormulaFrom: feature value from TO
  std::vector<FormulaVariable> variables;
};
// A port without ids is the device's memory; a ChunkID or EventID (hex in
// the description) makes it a buffer port (register_port.hpp).
struct PortNode {
  std::optional<std::uint64_t> chunk_id;
  std::optional<std::uint64_t> event_id;
};
// Where a register on a buffer port lives: which chunk or event's data.
struct BufferPort {
  BufferKind kind = BufferKind::Chunk;
  std::uint64_t id = 0;
  bool operator==(const BufferPort&) const = default;
};
// All four register kinds; the bit numbers are read for masked registers
// and struct entries only.
struct RegisterNode {
  // pPort. A register without one, or on a port that is not a buffer port,
  // is in the device's memory. On a buffer port, the address is an offset
  // into the chunk's or event's data, and the bytes are never cached.
  NodeRef port;
  std::vector<ValueSource> address;  // terms, summed: integer constants and references
  ValueSource length;                // 4 bytes when absent
  AccessMode access = AccessMode::RW;
  CacheMode cache_mode = CacheMode::WriteAround;
  bool big_endian = false;
  bool is_signed = false;
  std::optional<std::int64_t> bit, lsb, msb;
  std::optional<std::vector<std::uint8_t>> cache;  // last known bytes
};

// How prominent a feature is: a user interface shows those at or below the
// level its user chose. Features that give none are Beginner.
enum class Visibility : std::uint8_t { Beginner, Expert, Guru, Invisible };

// The interface a node offers as its element names it. Evaluation merges
// some elements into one NodeKind (SwissKnife, a float, and IntSwissKnife,
// an integer, are both Formula) and splits others (an IntReg is an integer
// feature held in a register); this keeps what a reader of the description
// is told.
enum class FeatureType : std::uint8_t {
  Integer,  // Integer, IntReg, MaskedIntReg, StructEntry, IntSwissKnife, IntConverter
  Float,    // Float, FloatReg, SwissKnife, Converter
  Boolean,
  Command,
  Enumeration,
  String,    // String, StringReg
  Register,  // raw bytes
  Category,
  Port,
};

// What the description tells a person about a node; evaluation reads none
// of it. Texts are views of the model's text store, empty when absent.
struct NodeInfo {
  std::string_view display_name;
  std::string_view tooltip;
  std::string_view description;
  std::string_view unit;
  std::string_view representation;  // as written: Linear, HexNumber, ...
  std::vector<NodeRef> selected;     // pSelected: the features this one selects
  Visibility visibility = Visibility::Beginner;
  FeatureType type = FeatureType::Port;
};

using NodePayload =
    std::variant<IntegerNode, FloatNode, BooleanNode, CommandNode, EnumerationNode, StringNode, CategoryNode,
                 FormulaNode, ConverterNode, PortNode, RegisterNode>;

struct Node {
  std::string name;
  NodeKind kind = NodeKind::Port;
  NodePayload payload;
};

// The longest chain of nested references evaluation follows; deeper chains
// fail with Evaluation on the node that would exceed it, so hostile
// descriptions cannot exhaust the thread's stack.
inline constexpr std::size_t MAX_EVALUATION_DEPTH = 256;
// The most nodes one operation may visit through references. Nothing caches
// the values of non-register nodes, so a description whose formulas share
// variables in many layers could otherwise ask for exponential work; such
// an operation fails with Evaluation instead.
inline constexpr std::size_t MAX_EVALUATION_VISITS = 100'000;
// The largest register length evaluation will read or write; longer ones
// are refused before any device access.
inline constexpr std::int64_t MAX_REGISTER_LENGTH = std::int64_t{1} << 20;

// Limits on a description, so that a small archive cannot inflate into
// gigabytes of parse tree, model or compiled formula. Each lies more than
// ten times above what real descriptions need: the largest known ones hold
// some 48,000 '<' and 4,200 '=' characters, 2,400 nodes and formulas of
// about 3,800 characters. A description beyond one fails to build with
// Malformed naming the limit.
//
// The most '<' and '=' characters in a description's text: every element,
// comment and text run of the parse tree needs a '<' and every attribute an
// '=', so this bounds the tree before the parser allocates any of it.
inline constexpr std::size_t MAX_DESCRIPTION_MARKUP = std::size_t{1} << 20;
// The most nodes of a model, the built-in ones included.
inline constexpr std::size_t MAX_MODEL_NODES = std::size_t{1} << 17;
// The longest formula text (Formula, FormulaTo, FormulaFrom), in bytes.
inline constexpr std::size_t MAX_FORMULA_LENGTH = std::size_t{1} << 16;

// Stable storage for the names and texts a model keeps: views of it stay
// valid for the model's life, across moves of the model too.
class TextStore {
 public:
  [[nodiscard]] std::string_view store(std::string_view text);

 private:
  static constexpr std::size_t CHUNK = 64 * 1024;
  std::vector<std::unique_ptr<char[]>> chunks_;
  char* next_ = nullptr;
  std::size_t left_ = 0;
};

class FeatureModel {
 public:
  FeatureModel(FeatureModel&&) noexcept = default;
  FeatureModel& operator=(FeatureModel&&) noexcept = default;
  FeatureModel& operator=(const FeatureModel&) = delete;
  ~FeatureModel() = default;

  // An independent copy with the same nodes and the register caches as they
  // are now; it shares the immutable text store. The caller holds whatever
  // guards this model.
  [[nodiscard]] FeatureModel snapshot() const;
  // Gives node `index` what evaluation and feature access change in it, as
  // `from` holds it: a value node's constant (or a String's text) and a
  // register's cached bytes. `from` is the same node of a model of the same
  // description (this model's snapshot, or the model it was taken from).
  void take_state(std::uint32_t index, const Node& from);

  // ---- The node table. Indices come from find_node or index_of and are
  // below size(); they never change.

  [[nodiscard]] std::uint32_t size() const { return static_cast<std::uint32_t>(nodes_.size()); }
  [[nodiscard]] const Node& node(std::uint32_t index) const { return nodes_[index]; }
  [[nodiscard]] const std::string& name(std::uint32_t index) const { return nodes_[index].name; }
  [[nodiscard]] NodeKind kind(std::uint32_t index) const { return nodes_[index].kind; }
  [[nodiscard]] const NodeInfo& info(std::uint32_t index) const { return info_[index]; }
  [[nodiscard]] std::optional<std::uint32_t> index_of(std::string_view name) const;
  [[nodiscard]] bool contains(std::string_view name) const { return index_of(name).has_value(); }
  // FeatureNotFound with the name when no node carries it.
  [[nodiscard]] GenicamResult<std::uint32_t> find_node(std::string_view name) const;
  // The nodes that name `index` in their pInvalidator, in creation order.
  [[nodiscard]] std::span<const std::uint32_t> dependents(std::uint32_t index) const;
  // The categories above `index`, outermost first: its category is the
  // first one in creation order that lists it, that category's is found the
  // same way, and so on up to a category no other lists. A category met a
  // second time ends the path.
  [[nodiscard]] std::vector<std::uint32_t> category_path(std::uint32_t index) const;
  // The nodes whose pSelected names `index`, in creation order.
  [[nodiscard]] std::vector<std::uint32_t> selectors_of(std::uint32_t index) const;
  // The chunk or event port of register `index`; nothing for registers in
  // device memory and for other nodes.
  [[nodiscard]] std::optional<BufferPort> buffer_port(std::uint32_t index) const;

  // ---- Evaluation. Every failure is one GenicamError; device failures come
  // as Transport. Nothing here checks a written value against bounds.

  [[nodiscard]] GenicamResult<std::int64_t> read_integer(std::uint32_t index, RegisterPort& port);
  [[nodiscard]] GenicamResult<double> read_float(std::uint32_t index, RegisterPort& port);
  [[nodiscard]] GenicamResult<bool> read_boolean(std::uint32_t index, RegisterPort& port);
  [[nodiscard]] GenicamResult<std::string> read_string(std::uint32_t index, RegisterPort& port);
  [[nodiscard]] GenicamResult<void> write_integer(std::uint32_t index, std::int64_t value,
                                                  RegisterPort& port);
  [[nodiscard]] GenicamResult<void> write_float(std::uint32_t index, double value, RegisterPort& port);
  [[nodiscard]] GenicamResult<void> write_boolean(std::uint32_t index, bool value, RegisterPort& port);
  [[nodiscard]] GenicamResult<void> write_string(std::uint32_t index, std::string_view text,
                                                 RegisterPort& port);
  // Sets an enumeration to the entry of that exact name.
  [[nodiscard]] GenicamResult<void> select_entry(std::uint32_t index, std::string_view entry,
                                                 RegisterPort& port);
  // Writes a command's CommandValue (1 when it has none) through its Value.
  [[nodiscard]] GenicamResult<void> execute(std::uint32_t index, RegisterPort& port);
  [[nodiscard]] GenicamResult<std::pair<std::int64_t, std::int64_t>> integer_bounds(std::uint32_t index,
                                                                                    RegisterPort& port);
  [[nodiscard]] GenicamResult<std::pair<double, double>> float_bounds(std::uint32_t index,
                                                                      RegisterPort& port);
  [[nodiscard]] GenicamResult<std::int64_t> integer_increment(std::uint32_t index, RegisterPort& port);
  // Entry names in document order; no device access.
  [[nodiscard]] GenicamResult<std::vector<std::string>> enum_entries(std::uint32_t index) const;
  // Follows value references without the evaluation stack; no device
  // access. A looping chain fails with CircularReference.
  [[nodiscard]] GenicamResult<AccessMode> access_mode(std::uint32_t index) const;
  // Every register drops its cached bytes.
  void invalidate_caches();

  // ---- The evaluation stack. The operations above push only the nodes
  // they reach through references, never the node they were called on.
  // Callers that want that node on the stack too (feature access's guarded
  // operations) wrap the call in guarded().

  // Pushes `index`; fails with CircularReference naming it, and empties the
  // stack, when it is already there; fails with Evaluation when the stack is
  // MAX_EVALUATION_DEPTH deep or the operation has made MAX_EVALUATION_VISITS
  // pushes. A push onto an empty stack starts a new operation's count.
  [[nodiscard]] GenicamResult<void> push_evaluation(std::uint32_t index) {
    begin_operation(index);
    return push(index);
  }
  // Pops one entry if there is one (a cycle empties the stack while the
  // failing operation unwinds).
  void pop_evaluation() {
    if (!stack_.empty()) stack_.pop_back();
  }
  // Runs `operation` with `index` pushed, popping afterwards on success and
  // on failure alike.
  template <typename F>
  std::invoke_result_t<F> guarded(std::uint32_t index, F&& operation) {
    if (auto pushed = push_evaluation(index); !pushed) return std::unexpected(std::move(pushed).error());
    auto result = std::forward<F>(operation)();
    pop_evaluation();
    return result;
  }
  // Empty between operations.
  [[nodiscard]] std::span<const std::uint32_t> evaluation_stack() const { return stack_; }

 private:
  friend class ModelBuilder;
  FeatureModel() = default;
  FeatureModel(const FeatureModel&) = default;

  // A register's bytes: a view of its cache, or bytes owned here when the
  // register is not cached.
  struct RegisterBytes {
    std::vector<std::uint8_t> owned;
    std::span<const std::uint8_t> view;
  };

  // An operation called on `index` with an empty stack starts counting its
  // visits, and `index` is the node it was called on.
  void begin_operation(std::uint32_t index) {
    if (!stack_.empty()) return;
    visits_ = 0;
    operation_root_ = index;
  }
  [[nodiscard]] GenicamResult<void> push(std::uint32_t index);

  // node_eval.cpp
  template <typename F>
  auto through(std::uint32_t target, std::string_view name, F&& operation) -> std::invoke_result_t<F>;
  [[nodiscard]] GenicamResult<std::int64_t> integer_source(const ValueSource& source, RegisterPort& port);
  [[nodiscard]] GenicamResult<double> float_source(const ValueSource& source, RegisterPort& port);
  [[nodiscard]] GenicamResult<void> write_integer_source(std::uint32_t index, ValueSource& source,
                                                         std::int64_t value, RegisterPort& port);
  [[nodiscard]] GenicamResult<void> write_float_source(std::uint32_t index, ValueSource& source, double value,
                                                       RegisterPort& port);
  [[nodiscard]] GenicamResult<formula::Value> read_value(std::uint32_t index, RegisterPort& port);
  [[nodiscard]] GenicamResult<void> write_value(std::uint32_t index, formula::Value value,
                                                RegisterPort& port);
  [[nodiscard]] GenicamResult<formula::Value> run_formula(std::uint32_t index, FormulaSlot& slot,
                                                          std::span<const FormulaVariable> variables,
                                                          std::string_view given_name, formula::Value given,
                                                          RegisterPort& port);
  [[nodiscard]] GenicamResult<formula::Value> read_converter(std::uint32_t index, RegisterPort& port);
  [[nodiscard]] GenicamResult<void> write_converter(std::uint32_t index, formula::Value value,
                                                    RegisterPort& port);

  // node_register.cpp
  [[nodiscard]] GenicamResult<std::int64_t> register_address(const RegisterNode& reg, RegisterPort& port);
  [[nodiscard]] GenicamResult<std::int64_t> register_length(const RegisterNode& reg, RegisterPort& port);
  [[nodiscard]] GenicamResult<RegisterBytes> read_register(std::uint32_t index, std::string_view what,
                                                           RegisterPort& port);
  [[nodiscard]] GenicamResult<RegisterBytes> read_buffer_register(std::uint32_t index, const RegisterNode& reg,
                                                                  BufferPort buffer, std::string_view what,
                                                                  RegisterPort& port);
  [[nodiscard]] GenicamResult<void> write_register(std::uint32_t index, std::vector<std::uint8_t> bytes,
                                                   RegisterPort& port);
  [[nodiscard]] GenicamResult<std::int64_t> read_int_register(std::uint32_t index, RegisterPort& port);
  [[nodiscard]] GenicamResult<void> write_int_register(std::uint32_t index, std::int64_t value,
                                                       RegisterPort& port);
  [[nodiscard]] GenicamResult<double> read_float_register(std::uint32_t index, RegisterPort& port);
  [[nodiscard]] GenicamResult<void> write_float_register(std::uint32_t index, double value,
                                                         RegisterPort& port);
  [[nodiscard]] GenicamResult<std::string> read_string_register(std::uint32_t index, RegisterPort& port);
  [[nodiscard]] GenicamResult<void> write_string_register(std::uint32_t index, std::string_view text,
                                                          RegisterPort& port);

  // Written while the model is built only; snapshots share it.
  std::shared_ptr<TextStore> texts_ = std::make_shared<TextStore>();
  std::vector<Node> nodes_;
  // info_[i] describes nodes_[i]; apart, so evaluation walks only nodes_.
  std::vector<NodeInfo> info_;
  // The name index: open addressing over node indices (NO_NODE marks a free
  // slot), a power-of-two table at most half full, keyed by the nodes' names.
  std::vector<std::uint32_t> name_slots_;
  // Dependents of node i: dependent_list_[dependent_start_[i] .. dependent_start_[i + 1]).
  std::vector<std::uint32_t> dependent_start_;
  std::vector<std::uint32_t> dependent_list_;
  std::vector<std::uint32_t> stack_;
  // Pushes since the current operation began (see begin_operation).
  std::size_t visits_ = 0;
  // The node the current operation was called on (see begin_operation).
  std::uint32_t operation_root_ = NO_NODE;
};

// Builds the model of a device description, read as UTF-8 whatever its XML
// declaration names (invalid sequences, also those that numeric character
// references spell, become U+FFFD, so every name and text of the model is
// valid UTF-8). A document the parser refuses, or one with a document type
// declaration, fails with DeviceDescription; one with more than one root
// element or with text outside the root, or beyond one of the limits above,
// fails with Malformed. Nothing else in the document makes the build fail.
[[nodiscard]] GenicamResult<FeatureModel> build_feature_model(std::string_view xml_text);

}  // namespace corvantic::genicam
