// Building the FeatureModel from a device description.
//
// The document is parsed with pugixml as UTF-8 (no document type
// declarations, no entities beyond the XML built-ins, exactly one root
// element and no text outside it), within the markup limit of node.hpp
// checked before parsing. Then the children of the root element are walked
// in document order, entering Group elements, and every other element is
// offered to the node builder, within the node and formula limits. The builder reads each recognised
// element's children in one pass. After the walk the built-in default nodes
// are added, references are resolved by name and the invalidation table is
// built.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <optional>
#include <pugixml.hpp>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "genicam/node.hpp"
#include "genicam/node_text.hpp"
#include "util/text.hpp"

namespace corvantic::genicam {

namespace {

using node_text::parse_float_literal;
using node_text::parse_integer_literal;
using node_text::trim;

// pugixml options for every description: built-in entities and CDATA, end
// of line normalisation; document type declarations are kept as nodes only
// so that they can be refused. Text that is an element's first child is kept
// in the element itself, which halves the nodes of a description's tree.
constexpr unsigned PARSE_OPTIONS = pugi::parse_default | pugi::parse_doctype | pugi::parse_embed_pcdata;
// A description as a fragment: the parser keeps text outside the root
// element and further root elements as nodes, so that they can be refused.
constexpr unsigned DOCUMENT_OPTIONS = PARSE_OPTIONS | pugi::parse_fragment;

gige::CameraError malformed(std::string text) { return gige::CameraError::malformed(std::move(text)); }

// The '<' and '=' characters of a text (see MAX_DESCRIPTION_MARKUP).
[[nodiscard]] std::size_t markup_count(std::string_view text) {
  std::size_t count = 0;
  for (const char c : text) count += static_cast<std::size_t>(c == '<') + static_cast<std::size_t>(c == '=');
  return count;
}

// Replaces the invalid UTF-8 sequences of every text and attribute value of
// the tree (numeric character references may spell surrogates or values
// above U+10FFFF). Texts embedded in their elements cannot be replaced, so
// a tree repaired here is parsed without parse_embed_pcdata.
void repair_utf8(pugi::xml_node root) {
  const auto repair = [](const char* value, auto&& set) {
    const std::string_view text(value);
    if (util::is_valid_utf8(text)) return;
    const std::string repaired =
        util::decode_utf8_lossy({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
    set(repaired.c_str());
  };
  auto node = root.first_child();
  while (node) {
    if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) {
      repair(node.value(), [&](const char* v) { return node.set_value(v); });
    }
    for (auto attribute = node.first_attribute(); attribute; attribute = attribute.next_attribute()) {
      repair(attribute.value(), [&](const char* v) { return attribute.set_value(v); });
    }
    if (const auto child = node.first_child()) {
      node = child;
      continue;
    }
    // Next in document order.
    while (!node.next_sibling()) {
      node = node.parent();
      if (node == root) return;
    }
    node = node.next_sibling();
  }
}

struct DefaultNode {
  std::string_view name;
  std::string_view text;
};

constexpr std::array<DefaultNode, 3> DEFAULT_NODES{{
    {"TLParamsLocked",
     R"(<Integer Name="TLParamsLocked"><Value>0</Value><Min>0</Min><Max>1</Max></Integer>)"},
    {"GevSCPSPacketSize",
     R"(<MaskedIntReg Name="GevSCPSPacketSize"><Address>0xd04</Address><Length>4</Length>)"
     R"(<AccessMode>RW</AccessMode><pPort>Device</pPort><Cachable>NoCache</Cachable>)"
     R"(<LSB>31</LSB><MSB>16</MSB>)"
     R"(<Endianess>BigEndian</Endianess></MaskedIntReg>)"},
    {"GevTimestampTickFrequency",
     R"(<IntReg Name="GevTimestampTickFrequency"><Address>0x93c</Address><Length>8</Length>)"
     R"(<AccessMode>RO</AccessMode><pPort>Device</pPort><Endianess>BigEndian</Endianess></IntReg>)"},
}};

// The tag without its namespace prefix.
[[nodiscard]] std::string_view local_name(const char* tag) {
  const char* start = tag;
  const char* end = tag;
  for (; *end != '\0'; ++end) {
    if (*end == ':') start = end + 1;
  }
  return {start, static_cast<std::size_t>(end - start)};
}

// strcmp for the short tags compared here, without a library call.
[[nodiscard]] bool same_text(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

// The children a builder reads. The single ones keep their first occurrence;
// the listed ones keep all, in document order.
enum class Child : std::uint8_t {
  Value,
  pValue,
  Min,
  pMin,
  Max,
  pMax,
  Inc,
  pInc,
  OnValue,
  OffValue,
  CommandValue,
  pCommandValue,
  Formula,
  FormulaTo,
  FormulaFrom,
  Length,
  pLength,
  AccessMode,
  Cachable,
  Sign,
  Endianess,
  Bit,
  LSB,
  MSB,
  DisplayName,
  ToolTip,
  Description,
  Unit,
  Visibility,
  Representation,
  pPort,
  ChunkID,
  EventID,
  SingleCount,
  // Lists.
  pFeature,
  pSelected,
  pVariable,
  pInvalidator,
  AddressTerm,  // Address, pAddress, inline IntSwissKnife
  EnumEntry,
  StructEntry,
  Other,
};

constexpr std::size_t SINGLE_COUNT = static_cast<std::size_t>(Child::SingleCount);

struct ChildName {
  const char* tag;
  Child child;
};

constexpr std::array<ChildName, 42> CHILD_NAMES{{
    {"Value", Child::Value},
    {"pValue", Child::pValue},
    {"Min", Child::Min},
    {"pMin", Child::pMin},
    {"Max", Child::Max},
    {"pMax", Child::pMax},
    {"Inc", Child::Inc},
    {"pInc", Child::pInc},
    {"OnValue", Child::OnValue},
    {"OffValue", Child::OffValue},
    {"CommandValue", Child::CommandValue},
    {"pCommandValue", Child::pCommandValue},
    {"Formula", Child::Formula},
    {"FormulaTo", Child::FormulaTo},
    {"FormulaFrom", Child::FormulaFrom},
    {"Length", Child::Length},
    {"pLength", Child::pLength},
    {"AccessMode", Child::AccessMode},
    {"Cachable", Child::Cachable},
    {"Sign", Child::Sign},
    {"Endianess", Child::Endianess},
    {"Bit", Child::Bit},
    {"LSB", Child::LSB},
    {"MSB", Child::MSB},
    {"DisplayName", Child::DisplayName},
    {"ToolTip", Child::ToolTip},
    {"Description", Child::Description},
    {"Unit", Child::Unit},
    {"Visibility", Child::Visibility},
    {"Representation", Child::Representation},
    {"pPort", Child::pPort},
    {"ChunkID", Child::ChunkID},
    {"EventID", Child::EventID},
    {"pFeature", Child::pFeature},
    {"pSelected", Child::pSelected},
    {"pVariable", Child::pVariable},
    {"pInvalidator", Child::pInvalidator},
    {"Address", Child::AddressTerm},
    {"pAddress", Child::AddressTerm},
    {"IntSwissKnife", Child::AddressTerm},
    {"EnumEntry", Child::EnumEntry},
    {"StructEntry", Child::StructEntry},
}};

// For each first character, the set of CHILD_NAMES entries starting with it.
static_assert(CHILD_NAMES.size() <= 64);
constexpr auto CHILD_BUCKETS = [] {
  std::array<std::uint64_t, 128> buckets{};
  for (std::size_t i = 0; i < CHILD_NAMES.size(); ++i) {
    buckets[static_cast<unsigned char>(CHILD_NAMES[i].tag[0])] |= std::uint64_t{1} << i;
  }
  return buckets;
}();

// Children no builder reads (pIsImplemented, ImposedAccessMode, ...) are rejected by
// their first two characters before any string comparison, and a namespace
// prefix is looked for only when nothing matched.
[[nodiscard]] Child classify_child(const char* tag) {
  const auto first = static_cast<unsigned char>(tag[0]);
  if (first < CHILD_BUCKETS.size()) {
    for (std::uint64_t bits = CHILD_BUCKETS[first]; bits != 0; bits &= bits - 1) {
      const auto& entry = CHILD_NAMES[static_cast<std::size_t>(std::countr_zero(bits))];
      if (entry.tag[1] == tag[1] && same_text(entry.tag + 1, tag + 1)) return entry.child;
    }
  }
  if (const char* colon = std::strrchr(tag, ':')) return classify_child(colon + 1);
  return Child::Other;
}

enum class Element : std::uint8_t {
  Integer,
  Float,
  Boolean,
  Command,
  Enumeration,
  String,
  Category,
  SwissKnife,
  Converter,
  Port,
  IntReg,
  MaskedIntReg,
  FloatReg,
  StringReg,
  Register,
  StructReg,
  Unknown,
};

[[nodiscard]] Element classify_element(std::string_view tag) {
  static constexpr std::array<std::pair<std::string_view, Element>, 18> NAMES{{
      {"Integer", Element::Integer},
      {"Float", Element::Float},
      {"Boolean", Element::Boolean},
      {"Command", Element::Command},
      {"Enumeration", Element::Enumeration},
      {"String", Element::String},
      {"Category", Element::Category},
      {"SwissKnife", Element::SwissKnife},
      {"IntSwissKnife", Element::SwissKnife},
      {"Converter", Element::Converter},
      {"IntConverter", Element::Converter},
      {"Port", Element::Port},
      {"IntReg", Element::IntReg},
      {"MaskedIntReg", Element::MaskedIntReg},
      {"FloatReg", Element::FloatReg},
      {"StringReg", Element::StringReg},
      {"Register", Element::Register},
      {"StructReg", Element::StructReg},
  }};
  for (const auto& [name, element] : NAMES) {
    if (name.size() == tag.size() && name == tag) return element;
  }
  return Element::Unknown;
}

// The trimmed first text content of an element; nothing when the element is
// missing or has no (non-blank) text.
[[nodiscard]] std::optional<std::string_view> text_of(pugi::xml_node element) {
  if (!element) return std::nullopt;
  // Text that came first is embedded in the element (parse_embed_pcdata).
  if (const char* embedded = element.value(); *embedded != '\0') {
    const auto text = trim(embedded);
    if (text.empty()) return std::nullopt;
    return text;
  }
  for (auto child = element.first_child(); child; child = child.next_sibling()) {
    const auto type = child.type();
    if (type == pugi::node_pcdata || type == pugi::node_cdata) {
      const auto text = trim(child.value());
      if (text.empty()) return std::nullopt;
      return text;
    }
  }
  return std::nullopt;
}

struct Children {
  std::array<pugi::xml_node, SINGLE_COUNT> first{};
  std::vector<pugi::xml_node> features, selected, variables, invalidators, address_terms, entries,
      struct_entries;

  void collect(pugi::xml_node element) {
    first.fill(pugi::xml_node());
    features.clear();
    selected.clear();
    variables.clear();
    invalidators.clear();
    address_terms.clear();
    entries.clear();
    struct_entries.clear();
    // Text children have empty names and classify as Other, so the node type
    // need not be asked (the parse options create no other kinds of node
    // inside elements).
    for (auto child = element.first_child(); child; child = child.next_sibling()) {
      const Child kind = classify_child(child.name());
      switch (kind) {
        case Child::pFeature: features.push_back(child); break;
        case Child::pSelected: selected.push_back(child); break;
        case Child::pVariable: variables.push_back(child); break;
        case Child::pInvalidator: invalidators.push_back(child); break;
        case Child::AddressTerm: address_terms.push_back(child); break;
        case Child::EnumEntry: entries.push_back(child); break;
        case Child::StructEntry: struct_entries.push_back(child); break;
        case Child::Other:
        case Child::SingleCount: break;
        default: {
          auto& slot = first[static_cast<std::size_t>(kind)];
          if (!slot) slot = child;
        }
      }
    }
  }

  [[nodiscard]] std::optional<std::string_view> text(Child child) const {
    return text_of(first[static_cast<std::size_t>(child)]);
  }
};

[[nodiscard]] ValueSource reference_to(std::string_view stored_name) {
  ValueSource source;
  source.form = ValueSource::Form::Reference;
  source.text = stored_name;
  return source;
}

[[nodiscard]] ValueSource integer_pair(TextStore& texts, const Children& c, Child constant, Child reference) {
  if (const auto name = c.text(reference)) return reference_to(texts.store(*name));
  ValueSource source;
  if (const auto text = c.text(constant)) {
    if (const auto value = parse_integer_literal(*text)) {
      source.form = ValueSource::Form::Integer;
      source.integer = *value;
    }
  }
  return source;
}

[[nodiscard]] ValueSource float_pair(TextStore& texts, const Children& c, Child constant, Child reference) {
  if (const auto name = c.text(reference)) return reference_to(texts.store(*name));
  ValueSource source;
  if (const auto text = c.text(constant)) {
    if (const auto real = parse_float_literal(*text)) {
      source.form = ValueSource::Form::Float;
      source.real = *real;
    } else if (const auto integer = parse_integer_literal(*text)) {
      source.form = ValueSource::Form::Integer;
      source.integer = *integer;
    }
  }
  return source;
}

[[nodiscard]] std::optional<std::int64_t> integer_child(const Children& c, Child child) {
  const auto text = c.text(child);
  return text ? parse_integer_literal(*text) : std::nullopt;
}

[[nodiscard]] std::vector<FormulaVariable> formula_variables(TextStore& texts, const Children& c) {
  std::vector<FormulaVariable> variables;
  variables.reserve(c.variables.size());
  for (const auto element : c.variables) {
    const auto name = element.attribute("Name");
    const auto target = text_of(element);
    if (!name || !target) continue;
    variables.push_back(FormulaVariable{texts.store(name.value()), NodeRef{texts.store(*target), NO_NODE}});
  }
  return variables;
}

[[nodiscard]] std::optional<AccessMode> access_mode_text(std::optional<std::string_view> text) {
  if (text == "RO") return AccessMode::RO;
  if (text == "WO") return AccessMode::WO;
  if (text == "RW") return AccessMode::RW;
  return std::nullopt;
}

[[nodiscard]] Visibility visibility_text(std::optional<std::string_view> text) {
  if (text == "Expert") return Visibility::Expert;
  if (text == "Guru") return Visibility::Guru;
  if (text == "Invisible") return Visibility::Invisible;
  return Visibility::Beginner;
}

// IntSwissKnife and IntConverter compute integers; SwissKnife and Converter floats.
[[nodiscard]] bool integer_tag(std::string_view tag) { return tag.starts_with("Int"); }

// A ChunkID or EventID: hexadecimal digits, written with or without 0x.
[[nodiscard]] std::optional<std::uint64_t> hex_id(std::optional<std::string_view> text) {
  if (!text) return std::nullopt;
  const auto value = text->starts_with("0x") || text->starts_with("0X")
                         ? parse_integer_literal(*text)
                         : parse_integer_literal("0x" + std::string(*text));
  if (!value) return std::nullopt;
  return static_cast<std::uint64_t>(*value);
}

[[nodiscard]] bool signed_text(std::optional<std::string_view> text) {
  return text == "Signed";
}
[[nodiscard]] bool big_endian_text(std::optional<std::string_view> text) {
  return text == "BigEndian";
}

[[nodiscard]] IntegerNode integer_node(TextStore& texts, const Children& c) {
  return IntegerNode{integer_pair(texts, c, Child::Value, Child::pValue),
                     integer_pair(texts, c, Child::Min, Child::pMin),
                     integer_pair(texts, c, Child::Max, Child::pMax),
                     integer_pair(texts, c, Child::Inc, Child::pInc), hex_id(c.text(Child::EventID))};
}

[[nodiscard]] FloatNode float_node(TextStore& texts, const Children& c) {
  return FloatNode{float_pair(texts, c, Child::Value, Child::pValue),
                   float_pair(texts, c, Child::Min, Child::pMin),
                   float_pair(texts, c, Child::Max, Child::pMax)};
}

[[nodiscard]] BooleanNode boolean_node(TextStore& texts, const Children& c) {
  BooleanNode n;
  n.value = integer_pair(texts, c, Child::Value, Child::pValue);
  n.on_value = integer_child(c, Child::OnValue).value_or(1);
  n.off_value = integer_child(c, Child::OffValue).value_or(0);
  return n;
}

[[nodiscard]] CommandNode command_node(TextStore& texts, const Children& c) {
  return CommandNode{integer_pair(texts, c, Child::Value, Child::pValue),
                     integer_pair(texts, c, Child::CommandValue, Child::pCommandValue)};
}

// An EnumEntry element: its first Value and its DisplayName. Nothing when it
// has no Name or no Value that parses.
[[nodiscard]] std::optional<EnumEntry> enum_entry(TextStore& texts, pugi::xml_node entry) {
  const auto entry_name = entry.attribute("Name");
  if (!entry_name) return std::nullopt;
  std::optional<std::int64_t> value;
  std::optional<std::string_view> display_name;
  bool value_seen = false;
  for (auto child = entry.first_child(); child; child = child.next_sibling()) {
    if (child.type() != pugi::node_element) continue;
    const auto child_tag = local_name(child.name());
    if (child_tag == "Value" && !value_seen) {
      value_seen = true;
      if (const auto text = text_of(child)) value = parse_integer_literal(*text);
    } else if (child_tag == "DisplayName" && !display_name) {
      display_name = text_of(child);
    }
  }
  if (!value) return std::nullopt;
  return EnumEntry{texts.store(entry_name.value()), *value,
                   texts.store(display_name.value_or(std::string_view()))};
}

[[nodiscard]] EnumerationNode enumeration_node(TextStore& texts, const Children& c) {
  EnumerationNode n;
  n.value = integer_pair(texts, c, Child::Value, Child::pValue);
  n.entries.reserve(c.entries.size());
  for (const auto element : c.entries) {
    if (auto entry = enum_entry(texts, element)) n.entries.push_back(*entry);
  }
  return n;
}

// The value by reference (pValue) when given, else the constant text.
[[nodiscard]] StringNode string_node(TextStore& texts, const Children& c) {
  StringNode n;
  if (const auto reference = c.text(Child::pValue)) {
    n.value = reference_to(texts.store(*reference));
  } else if (const auto text = c.text(Child::Value)) {
    n.value.form = ValueSource::Form::Text;
    n.text = std::string(*text);
  }
  return n;
}

[[nodiscard]] CategoryNode category_node(TextStore& texts, const Children& c) {
  CategoryNode n;
  n.features.reserve(c.features.size());
  for (const auto feature : c.features) {
    if (const auto text = text_of(feature)) n.features.push_back(NodeRef{texts.store(*text), NO_NODE});
  }
  return n;
}

[[nodiscard]] PortNode port_node(const Children& c) {
  PortNode n;
  n.chunk_id = hex_id(c.text(Child::ChunkID));
  n.event_id = hex_id(c.text(Child::EventID));
  return n;
}

}  // namespace

std::string_view TextStore::store(std::string_view text) {
  if (text.empty()) return {};
  if (text.size() > left_) {
    // Long texts get a chunk of their own; the current chunk stays in use.
    if (text.size() > CHUNK / 4) {
      auto& own = chunks_.emplace_back(std::make_unique_for_overwrite<char[]>(text.size()));
      std::memcpy(own.get(), text.data(), text.size());
      return {own.get(), text.size()};
    }
    next_ = chunks_.emplace_back(std::make_unique_for_overwrite<char[]>(CHUNK)).get();
    left_ = CHUNK;
  }
  std::memcpy(next_, text.data(), text.size());
  const std::string_view stored(next_, text.size());
  next_ += text.size();
  left_ -= text.size();
  return stored;
}

// Builds nodes into a model under construction; one per build.
class ModelBuilder {
 public:
  ModelBuilder() = default;

  [[nodiscard]] GenicamResult<FeatureModel> build(std::string_view xml_text);

 private:
  // Walks the children of `root`, entering Group elements, without
  // recursion: pugixml nodes know their parent and next sibling.
  void walk(pugi::xml_node root);
  // `tag` is the element's local name.
  void build_element(pugi::xml_node element, std::string_view tag, std::size_t depth);
  // SwissKnife and IntSwissKnife (`tag` tells which), Converter and IntConverter.
  void build_swiss_knife(std::string name, std::string_view tag, const Children& c);
  void build_converter(std::string name, std::string_view tag, const Children& c);
  // IntReg, MaskedIntReg, FloatReg, StringReg and Register (`kind`).
  void build_register(std::string name, Element kind, const Children& c, std::size_t depth);
  // A StructReg: one IntReg per StructEntry, sharing the register's address,
  // length and cache mode.
  void build_struct_entries(const Children& c, std::size_t depth);
  template <typename Payload>
  std::uint32_t append(std::string name, NodeKind kind, FeatureType type, Payload&& payload,
                       const Children& c);
  [[nodiscard]] std::string name_of(pugi::xml_node element, std::string_view tag);
  // The common register part; inline IntSwissKnife terms are built here.
  [[nodiscard]] RegisterNode register_part(const Children& c, std::size_t depth);
  [[nodiscard]] Children& scratch(std::size_t depth) { return scratch_[depth]; }
  // The formula text of `child` (empty when missing); a text beyond
  // MAX_FORMULA_LENGTH sets the failure and gives an empty one.
  [[nodiscard]] std::string_view formula_text(const Children& c, Child child, std::string_view node);
  void build_name_index();
  void resolve();
  void build_dependents();

  FeatureModel model_;
  // The first limit the description broke; nothing is built after it.
  std::optional<GenicamError> failure_;
  std::uint64_t anonymous_count_ = 0;
  // (node index, invalidator name) in creation order.
  // The names view the documents below, which live as long as the builder.
  std::vector<std::pair<std::uint32_t, std::string_view>> invalidators_;
  pugi::xml_document document_;
  std::array<pugi::xml_document, DEFAULT_NODES.size()> default_documents_;
  // Child scratch per build depth: elements of the walk at 0; a register's
  // inline formulas and a StructReg's entries one level down, where nothing
  // builds further.
  std::array<Children, 2> scratch_;
};

std::string ModelBuilder::name_of(pugi::xml_node element, std::string_view tag) {
  if (const auto name = element.attribute("Name")) return name.value();
  ++anonymous_count_;
  std::string name = "__anonymous_";
  name.append(tag);
  name.push_back('_');
  name.append(std::to_string(anonymous_count_));
  return name;
}

std::string_view ModelBuilder::formula_text(const Children& c, Child child, std::string_view node) {
  const std::string_view text = c.text(child).value_or("");
  if (text.size() <= MAX_FORMULA_LENGTH) return text;
  if (!failure_) {
    failure_ = malformed("formula of '" + std::string(node) + "' longer than " +
                         std::to_string(MAX_FORMULA_LENGTH) + " bytes");
  }
  return {};
}

template <typename Payload>
std::uint32_t ModelBuilder::append(std::string name, NodeKind kind, FeatureType type, Payload&& payload,
                                   const Children& c) {
  const auto index = static_cast<std::uint32_t>(model_.nodes_.size());
  if (index >= MAX_MODEL_NODES) {
    if (!failure_) {
      failure_ = malformed("description has more than " + std::to_string(MAX_MODEL_NODES) + " nodes");
    }
    return index;
  }
  model_.nodes_.emplace_back(std::move(name), kind, std::forward<Payload>(payload));
  TextStore& texts = *model_.texts_;
  const auto stored = [&](Child child) { return texts.store(c.text(child).value_or(std::string_view())); };
  NodeInfo& info = model_.info_.emplace_back();
  info.display_name = stored(Child::DisplayName);
  info.tooltip = stored(Child::ToolTip);
  info.description = stored(Child::Description);
  info.unit = stored(Child::Unit);
  info.representation = stored(Child::Representation);
  info.visibility = visibility_text(c.text(Child::Visibility));
  info.type = type;
  info.selected.reserve(c.selected.size());
  for (const auto element : c.selected) {
    if (const auto target = text_of(element)) info.selected.push_back(NodeRef{texts.store(*target), NO_NODE});
  }
  for (const auto element : c.invalidators) {
    if (const auto target = text_of(element)) invalidators_.emplace_back(index, *target);
  }
  return index;
}

RegisterNode ModelBuilder::register_part(const Children& c, std::size_t depth) {
  RegisterNode reg;
  if (const auto port = c.text(Child::pPort)) reg.port.name = model_.texts_->store(*port);
  // Inline formulas are built after the terms are read, since building
  // reuses the scratch of the level below; their positions are kept.
  std::vector<std::pair<std::size_t, pugi::xml_node>> inline_terms;
  reg.address.reserve(c.address_terms.size());
  for (const auto term : c.address_terms) {
    const auto tag = local_name(term.name());
    if (tag == "Address") {
      if (const auto text = text_of(term)) {
        if (const auto value = parse_integer_literal(*text)) {
          ValueSource constant;
          constant.form = ValueSource::Form::Integer;
          constant.integer = *value;
          reg.address.push_back(std::move(constant));
        }
      }
    } else if (tag == "pAddress") {
      if (const auto name = text_of(term)) reg.address.push_back(reference_to(model_.texts_->store(*name)));
    } else {
      inline_terms.emplace_back(reg.address.size(), term);
      reg.address.emplace_back();
    }
  }
  reg.length = integer_pair(*model_.texts_, c, Child::Length, Child::pLength);
  reg.access = access_mode_text(c.text(Child::AccessMode)).value_or(AccessMode::RW);
  const auto cachable = c.text(Child::Cachable);
  reg.cache_mode = cachable == "NoCache"        ? CacheMode::NoCache
                   : cachable == "WriteThrough" ? CacheMode::WriteThrough
                                                : CacheMode::WriteAround;
  for (const auto& [position, element] : inline_terms) {
    build_element(element, local_name(element.name()), depth + 1);
    if (failure_) break;
    // The inline node is the last one appended; it is referenced by name,
    // resolved through the name index like every other reference.
    const auto index = static_cast<std::uint32_t>(model_.nodes_.size() - 1);
    reg.address[position] = reference_to(model_.texts_->store(model_.nodes_[index].name));
  }
  return reg;
}

void ModelBuilder::build_element(pugi::xml_node element, std::string_view tag, std::size_t depth) {
  std::string name = name_of(element, tag);
  const Element kind = classify_element(tag);
  if (kind == Element::Unknown) return;
  Children& c = scratch(depth);
  c.collect(element);
  TextStore& texts = *model_.texts_;

  switch (kind) {
    case Element::Integer:
      append(std::move(name), NodeKind::Integer, FeatureType::Integer, integer_node(texts, c), c);
      return;
    case Element::Float:
      append(std::move(name), NodeKind::Float, FeatureType::Float, float_node(texts, c), c);
      return;
    case Element::Boolean:
      append(std::move(name), NodeKind::Boolean, FeatureType::Boolean, boolean_node(texts, c), c);
      return;
    case Element::Command:
      append(std::move(name), NodeKind::Command, FeatureType::Command, command_node(texts, c), c);
      return;
    case Element::Enumeration:
      append(std::move(name), NodeKind::Enumeration, FeatureType::Enumeration, enumeration_node(texts, c), c);
      return;
    case Element::String:
      append(std::move(name), NodeKind::String, FeatureType::String, string_node(texts, c), c);
      return;
    case Element::Category:
      append(std::move(name), NodeKind::Category, FeatureType::Category, category_node(texts, c), c);
      return;
    case Element::SwissKnife: build_swiss_knife(std::move(name), tag, c); return;
    case Element::Converter: build_converter(std::move(name), tag, c); return;
    case Element::Port: append(std::move(name), NodeKind::Port, FeatureType::Port, port_node(c), c); return;
    case Element::IntReg:
    case Element::MaskedIntReg:
    case Element::FloatReg:
    case Element::StringReg:
    case Element::Register: build_register(std::move(name), kind, c, depth); return;
    case Element::StructReg: build_struct_entries(c, depth); return;
    case Element::Unknown: return;
  }
}

void ModelBuilder::build_swiss_knife(std::string name, std::string_view tag, const Children& c) {
  TextStore& texts = *model_.texts_;
  FormulaNode n;
  n.formula.text = texts.store(formula_text(c, Child::Formula, name));
  n.variables = formula_variables(texts, c);
  const FeatureType type = integer_tag(tag) ? FeatureType::Integer : FeatureType::Float;
  append(std::move(name), NodeKind::Formula, type, std::move(n), c);
}

void ModelBuilder::build_converter(std::string name, std::string_view tag, const Children& c) {
  TextStore& texts = *model_.texts_;
  ConverterNode n;
  n.value = integer_pair(texts, c, Child::Value, Child::pValue);
  n.to.text = texts.store(formula_text(c, Child::FormulaTo, name));
  n.from.text = texts.store(formula_text(c, Child::FormulaFrom, name));
  n.variables = formula_variables(texts, c);
  const FeatureType type = integer_tag(tag) ? FeatureType::Integer : FeatureType::Float;
  append(std::move(name), NodeKind::Converter, type, std::move(n), c);
}

void ModelBuilder::build_register(std::string name, Element kind, const Children& c, std::size_t depth) {
  RegisterNode reg = register_part(c, depth);
  // register_part may have built inline nodes one level down; this
  // level's scratch is untouched.
  NodeKind node_kind = NodeKind::Register;
  FeatureType feature_type = FeatureType::Register;
  if (kind == Element::IntReg || kind == Element::MaskedIntReg) {
    node_kind = NodeKind::IntReg;
    feature_type = FeatureType::Integer;
    reg.is_signed = signed_text(c.text(Child::Sign));
    reg.big_endian = big_endian_text(c.text(Child::Endianess));
    if (kind == Element::MaskedIntReg) {
      reg.bit = integer_child(c, Child::Bit);
      reg.lsb = integer_child(c, Child::LSB);
      reg.msb = integer_child(c, Child::MSB);
    }
  } else if (kind == Element::FloatReg) {
    node_kind = NodeKind::FloatReg;
    feature_type = FeatureType::Float;
    reg.big_endian = big_endian_text(c.text(Child::Endianess));
  } else if (kind == Element::StringReg) {
    node_kind = NodeKind::StringReg;
    feature_type = FeatureType::String;
  }
  append(std::move(name), node_kind, feature_type, std::move(reg), c);
}

void ModelBuilder::build_struct_entries(const Children& c, std::size_t depth) {
  const RegisterNode shared = register_part(c, depth);
  const auto parent_sign = c.text(Child::Sign);
  const auto parent_byte_order = c.text(Child::Endianess);
  for (const auto entry : c.struct_entries) {
    std::string entry_name = name_of(entry, local_name(entry.name()));
    Children& e = scratch(depth + 1);
    e.collect(entry);
    RegisterNode reg;
    reg.address = shared.address;
    reg.length = shared.length;
    reg.cache_mode = shared.cache_mode;
    reg.access = access_mode_text(e.text(Child::AccessMode)).value_or(shared.access);
    // Like Sign, an entry's byte order is its own when it gives one and
    // the shared register's otherwise: entries describe bits of that one
    // register, whose byte order the StructReg states.
    const auto own_byte_order = e.text(Child::Endianess);
    reg.big_endian = big_endian_text(own_byte_order ? own_byte_order : parent_byte_order);
    const auto own_sign = e.text(Child::Sign);
    reg.is_signed = signed_text(own_sign ? own_sign : parent_sign);
    reg.bit = integer_child(e, Child::Bit);
    reg.lsb = integer_child(e, Child::LSB);
    reg.msb = integer_child(e, Child::MSB);
    append(std::move(entry_name), NodeKind::IntReg, FeatureType::Integer, std::move(reg), e);
  }
}

void ModelBuilder::walk(pugi::xml_node root) {
  auto node = root.first_child();
  while (node) {
    if (node.type() == pugi::node_element) {
      const auto tag = local_name(node.name());
      if (tag == "Group") {
        if (const auto first = node.first_child()) {
          node = first;
          continue;
        }
      } else {
        build_element(node, tag, 0);
        if (failure_) return;
      }
    }
    // Next in document order, climbing out of finished Groups.
    auto next = node.next_sibling();
    while (!next) {
      node = node.parent();
      if (node == root) return;
      next = node.next_sibling();
    }
    node = next;
  }
}

void ModelBuilder::build_name_index() {
  const auto& nodes = model_.nodes_;
  std::size_t capacity = 16;
  while (capacity < 2 * nodes.size()) capacity *= 2;
  auto& slots = model_.name_slots_;
  slots.assign(capacity, NO_NODE);
  const std::size_t mask = capacity - 1;
  for (std::uint32_t i = 0; i < nodes.size(); ++i) {
    for (std::size_t slot = std::hash<std::string_view>{}(nodes[i].name) & mask;; slot = (slot + 1) & mask) {
      auto& entry = slots[slot];
      // A later node of the same name takes the earlier one's slot.
      if (entry == NO_NODE || nodes[entry].name == nodes[i].name) {
        entry = i;
        break;
      }
    }
  }
}

void ModelBuilder::resolve() {
  const auto resolve_name = [this](std::string_view name, std::uint32_t& index) {
    if (index != NO_NODE) return;
    if (const auto found = model_.index_of(name)) index = *found;
  };
  const auto resolve_source = [&](ValueSource& source) {
    if (source.form == ValueSource::Form::Reference) resolve_name(source.text, source.target);
  };
  for (auto& info : model_.info_) {
    for (auto& selected : info.selected) resolve_name(selected.name, selected.index);
  }
  for (auto& node : model_.nodes_) {
    std::visit(
        [&](auto& n) {
          using T = std::decay_t<decltype(n)>;
          if constexpr (std::is_same_v<T, IntegerNode>) {
            for (auto* s : {&n.value, &n.min, &n.max, &n.inc}) resolve_source(*s);
          } else if constexpr (std::is_same_v<T, FloatNode>) {
            for (auto* s : {&n.value, &n.min, &n.max}) resolve_source(*s);
          } else if constexpr (std::is_same_v<T, BooleanNode> || std::is_same_v<T, EnumerationNode> ||
                               std::is_same_v<T, StringNode>) {
            resolve_source(n.value);
          } else if constexpr (std::is_same_v<T, CommandNode>) {
            resolve_source(n.value);
            resolve_source(n.command_value);
          } else if constexpr (std::is_same_v<T, CategoryNode>) {
            for (auto& f : n.features) resolve_name(f.name, f.index);
          } else if constexpr (std::is_same_v<T, FormulaNode>) {
            for (auto& v : n.variables) resolve_name(v.node.name, v.node.index);
          } else if constexpr (std::is_same_v<T, ConverterNode>) {
            resolve_source(n.value);
            for (auto& v : n.variables) resolve_name(v.node.name, v.node.index);
          } else if constexpr (std::is_same_v<T, RegisterNode>) {
            for (auto& term : n.address) resolve_source(term);
            resolve_source(n.length);
            resolve_name(n.port.name, n.port.index);
          }
        },
        node.payload);
  }
}

void ModelBuilder::build_dependents() {
  const auto count = model_.nodes_.size();
  // (target, dependent) pairs in dependent creation order, then a stable
  // counting sort by target.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs;
  pairs.reserve(invalidators_.size());
  for (const auto& [dependent, name] : invalidators_) {
    if (const auto target = model_.index_of(name)) pairs.emplace_back(*target, dependent);
  }
  auto& start = model_.dependent_start_;
  start.assign(count + 1, 0);
  for (const auto& [target, dependent] : pairs) ++start[target + 1];
  for (std::size_t i = 0; i < count; ++i) start[i + 1] += start[i];
  auto& list = model_.dependent_list_;
  list.resize(pairs.size());
  std::vector<std::uint32_t> fill(start.begin(), start.end() - 1);
  for (const auto& [target, dependent] : pairs) list[fill[target]++] = dependent;
}

GenicamResult<FeatureModel> ModelBuilder::build(std::string_view xml_text) {
  {
    if (markup_count(xml_text) > MAX_DESCRIPTION_MARKUP) {
      return std::unexpected(malformed("description has more than " + std::to_string(MAX_DESCRIPTION_MARKUP) +
                                       " markup characters ('<' and '=')"));
    }
    // The text is UTF-8 whatever the declaration says; bytes that are not
    // become U+FFFD before parsing, so only character references can bring
    // invalid sequences into the tree.
    std::string decoded;
    if (!util::is_valid_utf8(xml_text)) {
      decoded = util::decode_utf8_lossy(
          {reinterpret_cast<const std::uint8_t*>(xml_text.data()), xml_text.size()});
      xml_text = decoded;
    }
    const bool character_references = xml_text.find("&#") != std::string_view::npos;
    const unsigned options =
        character_references ? DOCUMENT_OPTIONS & ~pugi::parse_embed_pcdata : DOCUMENT_OPTIONS;
    const auto parsed = document_.load_buffer(xml_text.data(), xml_text.size(), options, pugi::encoding_utf8);
    if (!parsed) return std::unexpected(GenicamError::device_description(parsed.description()));
    pugi::xml_node root;
    for (auto child = document_.first_child(); child; child = child.next_sibling()) {
      switch (child.type()) {
        case pugi::node_doctype:
          return std::unexpected(GenicamError::device_description("document type declaration not allowed"));
        case pugi::node_element:
          if (root) return std::unexpected(malformed("description has more than one root element"));
          root = child;
          break;
        case pugi::node_pcdata:
        case pugi::node_cdata:
          return std::unexpected(malformed("description has text outside its root element"));
        default: break;  // comments and processing instructions
      }
    }
    if (!root) {
      // The parser's own message for a document without an element.
      pugi::xml_parse_result none;
      none.status = pugi::status_no_document_element;
      return std::unexpected(GenicamError::device_description(none.description()));
    }
    if (character_references) repair_utf8(document_);
    // Descriptions spend some 300 to 450 bytes of text per node; a table
    // that outgrows this is reallocated once.
    model_.nodes_.reserve(std::min(xml_text.size() / 400, MAX_MODEL_NODES) + DEFAULT_NODES.size());
    model_.info_.reserve(model_.nodes_.capacity());
    walk(root);
    if (failure_) return std::unexpected(std::move(*failure_));
  }

  // Built-in defaults, for the names the document does not define.
  std::array<bool, DEFAULT_NODES.size()> present{};
  for (const auto& node : model_.nodes_) {
    for (std::size_t i = 0; i < DEFAULT_NODES.size(); ++i)
      present[i] = present[i] || node.name == DEFAULT_NODES[i].name;
  }
  for (std::size_t i = 0; i < DEFAULT_NODES.size(); ++i) {
    if (present[i]) continue;
    auto& document = default_documents_[i];
    const auto& def = DEFAULT_NODES[i];
    const auto parsed =
        document.load_buffer(def.text.data(), def.text.size(), PARSE_OPTIONS, pugi::encoding_utf8);
    if (!parsed) {
      return std::unexpected(GenicamError::device_description("default node " + std::string(def.name) + ": " +
                                                              parsed.description()));
    }
    const auto element = document.document_element();
    build_element(element, local_name(element.name()), 0);
  }
  if (failure_) return std::unexpected(std::move(*failure_));

  // Node storage is final from here on: the index views the names in place.
  build_name_index();
  resolve();
  build_dependents();
  model_.stack_.reserve(MAX_EVALUATION_DEPTH);
  return std::move(model_);
}

std::optional<std::uint32_t> FeatureModel::index_of(std::string_view name) const {
  if (name_slots_.empty()) return std::nullopt;
  const std::size_t mask = name_slots_.size() - 1;
  for (std::size_t slot = std::hash<std::string_view>{}(name)&mask;; slot = (slot + 1) & mask) {
    const auto index = name_slots_[slot];
    if (index == NO_NODE) return std::nullopt;
    if (nodes_[index].name == name) return index;
  }
}

GenicamResult<std::uint32_t> FeatureModel::find_node(std::string_view name) const {
  if (const auto index = index_of(name)) return *index;
  return std::unexpected(GenicamError::feature_not_found(std::string(name)));
}

std::span<const std::uint32_t> FeatureModel::dependents(std::uint32_t index) const {
  if (index + std::size_t{1} >= dependent_start_.size()) return {};
  return std::span(dependent_list_)
      .subspan(dependent_start_[index], dependent_start_[index + 1] - dependent_start_[index]);
}

std::vector<std::uint32_t> FeatureModel::category_path(std::uint32_t index) const {
  // The first category in creation order that lists `member`.
  const auto parent_of = [this](std::uint32_t member) -> std::optional<std::uint32_t> {
    for (std::uint32_t i = 0; i < nodes_.size(); ++i) {
      const auto* category = std::get_if<CategoryNode>(&nodes_[i].payload);
      if (category == nullptr) continue;
      for (const auto& feature : category->features) {
        if (feature.index == member) return i;
      }
    }
    return std::nullopt;
  };
  std::vector<std::uint32_t> path;
  for (auto parent = parent_of(index); parent; parent = parent_of(*parent)) {
    if (*parent == index || std::find(path.begin(), path.end(), *parent) != path.end()) break;
    path.push_back(*parent);
  }
  std::reverse(path.begin(), path.end());
  return path;
}

std::vector<std::uint32_t> FeatureModel::selectors_of(std::uint32_t index) const {
  std::vector<std::uint32_t> selectors;
  for (std::uint32_t i = 0; i < info_.size(); ++i) {
    for (const auto& selected : info_[i].selected) {
      if (selected.index == index) {
        selectors.push_back(i);
        break;
      }
    }
  }
  return selectors;
}

FeatureModel FeatureModel::snapshot() const {
  FeatureModel copy(*this);
  copy.stack_.clear();
  copy.stack_.reserve(MAX_EVALUATION_DEPTH);
  copy.visits_ = 0;
  copy.operation_root_ = NO_NODE;
  return copy;
}

void FeatureModel::take_state(std::uint32_t index, const Node& from) {
  std::visit(
      [&](auto& own) {
        using T = std::decay_t<decltype(own)>;
        const auto* other = std::get_if<T>(&from.payload);
        if (other == nullptr) return;
        if constexpr (std::is_same_v<T, RegisterNode>) {
          own.cache = other->cache;
        } else if constexpr (std::is_same_v<T, StringNode>) {
          own.value = other->value;
          own.text = other->text;
        } else if constexpr (std::is_same_v<T, IntegerNode> || std::is_same_v<T, FloatNode> ||
                             std::is_same_v<T, BooleanNode> || std::is_same_v<T, EnumerationNode>) {
          own.value = other->value;
        }
      },
      nodes_[index].payload);
}

std::optional<BufferPort> FeatureModel::buffer_port(std::uint32_t index) const {
  const auto* reg = std::get_if<RegisterNode>(&nodes_[index].payload);
  if (reg == nullptr || reg->port.index == NO_NODE) return std::nullopt;
  const auto* port = std::get_if<PortNode>(&nodes_[reg->port.index].payload);
  if (port == nullptr) return std::nullopt;
  if (port->chunk_id) return BufferPort{BufferKind::Chunk, *port->chunk_id};
  if (port->event_id) return BufferPort{BufferKind::Event, *port->event_id};
  return std::nullopt;
}

GenicamResult<FeatureModel> build_feature_model(std::string_view xml_text) {
  ModelBuilder builder;
  return builder.build(xml_text);
}

}  // namespace corvantic::genicam
