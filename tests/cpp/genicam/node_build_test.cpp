// Building the FeatureModel from description text: parsing and refusal,
// the walk, each element kind and what it reads, literals, anonymous names,
// default nodes, reference resolution and the invalidation table.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "genicam/node.hpp"
#include "util/text.hpp"

namespace corvantic::genicam {
namespace {

using Form = ValueSource::Form;

std::string document(std::string_view body) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<RegisterDescription ModelName=\"Test\">" +
         std::string(body) + "</RegisterDescription>";
}

GenicamResult<FeatureModel> build(std::string_view body) {
  return build_feature_model(document(body));
}

template <typename T>
const T& payload(const FeatureModel& model, std::string_view name) {
  const auto index = model.index_of(name);
  EXPECT_TRUE(index) << "no node " << name;
  return std::get<T>(model.node(index.value()).payload);
}

std::vector<std::string> names(const FeatureModel& model) {
  std::vector<std::string> out;
  for (std::uint32_t i = 0; i < model.size(); ++i) out.push_back(model.name(i));
  return out;
}

// Every access fails: the build tests need no device.
struct NoDevicePort final : RegisterPort {
  int accesses = 0;
  gige::CameraResult<std::vector<std::uint8_t>> read(std::uint64_t, std::size_t) override {
    ++accesses;
    return std::unexpected(gige::CameraError::not_connected());
  }
  gige::CameraResult<void> write(std::uint64_t, std::span<const std::uint8_t>) override {
    ++accesses;
    return std::unexpected(gige::CameraError::not_connected());
  }
};

// ---- Parsing and refusal

TEST(FeatureModelBuild, MalformedTextFailsWithTheParserMessage) {
  const auto unclosed =
      build_feature_model("<RegisterDescription><Integer Name=\"A\"></RegisterDescription>");
  ASSERT_FALSE(unclosed);
  EXPECT_EQ(unclosed.error().kind(), GenicamError::Kind::DeviceDescription);
  EXPECT_EQ(unclosed.error().display(), "device description: Start-end tags mismatch");

  const auto empty = build_feature_model("");
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error().display(), "device description: No document element found");

  const auto declaration_only = build_feature_model("<?xml version=\"1.0\"?>\n");
  ASSERT_FALSE(declaration_only);
  EXPECT_EQ(declaration_only.error().kind(), GenicamError::Kind::DeviceDescription);
}

TEST(FeatureModelBuild, DocumentTypeDeclarationsAreRefused) {
  const auto with_entity = build_feature_model(
      "<?xml version=\"1.0\"?><!DOCTYPE RegisterDescription [<!ENTITY big \"0x10\">]>"
      "<RegisterDescription><Integer Name=\"A\"><Value>&big;</Value></Integer></RegisterDescription>");
  ASSERT_FALSE(with_entity);
  EXPECT_EQ(with_entity.error().display(), "device description: document type declaration not allowed");

  const auto plain = build_feature_model("<!DOCTYPE RegisterDescription><RegisterDescription/>");
  ASSERT_FALSE(plain);
  EXPECT_EQ(plain.error().kind(), GenicamError::Kind::DeviceDescription);
}

TEST(FeatureModelBuild, OnlyBuiltInEntitiesAreExpanded) {
  const auto model = build(
      "<String Name=\"S\"><Value>a &lt;&amp;&gt; &#x41;&quot;</Value></String>"
      "<String Name=\"T\"><Value>&custom;</Value></String>"
      "<IntSwissKnife Name=\"F\"><Formula><![CDATA[A < 2 && B > 1]]></Formula></IntSwissKnife>");
  ASSERT_TRUE(model) << model.error().display();
  EXPECT_EQ(payload<StringNode>(*model, "S").text, "a <&> A\"");
  EXPECT_EQ(payload<StringNode>(*model, "T").text, "&custom;");
  EXPECT_EQ(payload<FormulaNode>(*model, "F").formula.text, "A < 2 && B > 1");
}

// Anything but one root element, with only comments and processing
// instructions beside it, is refused rather than cut short after the root.
TEST(FeatureModelBuild, OneRootElementAndNoTextOutsideIt) {
  const struct {
    std::string_view text;
    std::string_view error;
  } refused[] = {
      {"<RegisterDescription/><RegisterDescription><Integer Name=\"B\"/></RegisterDescription>",
       "malformed packet: description has more than one root element"},
      {"<RegisterDescription/><!-- between --><Integer Name=\"B\"/>",
       "malformed packet: description has more than one root element"},
      {"<RegisterDescription/>trailing", "malformed packet: description has text outside its root element"},
      {"<RegisterDescription/><![CDATA[x]]>",
       "malformed packet: description has text outside its root element"},
      {"leading <RegisterDescription/>", "malformed packet: description has text outside its root element"},
      {"<RegisterDescription/>&#x41;", "malformed packet: description has text outside its root element"},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.text);
    const auto model = build_feature_model(c.text);
    ASSERT_FALSE(model);
    ASSERT_EQ(model.error().kind(), GenicamError::Kind::Transport);
    EXPECT_EQ(model.error().transport()->kind(), gige::CameraError::Kind::Malformed);
    EXPECT_EQ(model.error().display(), c.error);
  }
  const auto surrounded = build_feature_model(
      "\xEF\xBB\xBF<?xml version=\"1.0\"?>\r\n<!-- before --><?tool x?>\n<RegisterDescription>"
      "<Integer Name=\"A\"/></RegisterDescription>\n<!-- after -->\n<?tool y?>\n \t\n");
  ASSERT_TRUE(surrounded) << surrounded.error().display();
  EXPECT_TRUE(surrounded->contains("A"));
}

// The text reaches the builder decoded; a declaration naming another
// encoding does not make the parser decode it a second time.
TEST(FeatureModelBuild, TextIsReadAsUtf8WhateverTheDeclarationSays) {
  for (const std::string_view encoding : {"ISO-8859-1", "windows-1252", "UTF-16", "US-ASCII", "utf-8"}) {
    SCOPED_TRACE(encoding);
    const auto model = build_feature_model(
        "<?xml version=\"1.0\" encoding=\"" + std::string(encoding) +
        "\"?><RegisterDescription><Integer Name=\"G\u00e4in\"/>"
        "<String Name=\"Unit\"><Value>\u00b0C \u20ac</Value></String></RegisterDescription>");
    ASSERT_TRUE(model) << model.error().display();
    EXPECT_TRUE(model->contains("G\u00e4in"));
    EXPECT_EQ(payload<StringNode>(*model, "Unit").text, "\u00b0C \u20ac");
  }
}

// Character references can spell surrogates and values above U+10FFFF, and
// the text itself may hold bytes that are not UTF-8: names, texts and the
// errors that name them come out valid, with U+FFFD in their place.
TEST(FeatureModelBuild, NamesAndTextsAreAlwaysValidUtf8) {
  const std::string surrogate = "\uFFFD\uFFFD\uFFFD";            // ED A0 80: three maximal subparts
  const std::string beyond = "\uFFFD\uFFFD\uFFFD\uFFFD";        // F4 90 80 80: four
  auto model = build(
      "<Integer Name=\"A&#xD800;B\"><pValue>R&#x110000;</pValue></Integer>"
      "<Enumeration Name=\"E\"><EnumEntry Name=\"On&#xDFFF;\"><Value>1</Value></EnumEntry>"
      "<Value>1</Value></Enumeration>"
      "<String Name=\"S\"><Value>x&#xD800;y</Value></String>"
      "<String Name=\"Inner\"><Value>first<!-- c -->&#xD800;</Value></String>"
      "<Integer Name=\"Raw\xFF\xC3\"/>"
      "<IntSwissKnife Name=\"F\"><pVariable Name=\"V&#xD800;\">A</pVariable><Formula>1</Formula>"
      "</IntSwissKnife>");
  ASSERT_TRUE(model) << model.error().display();
  for (std::uint32_t i = 0; i < model->size(); ++i) EXPECT_TRUE(util::is_valid_utf8(model->name(i))) << i;

  const auto a = model->find_node("A" + surrogate + "B");
  ASSERT_TRUE(a);
  NoDevicePort port;
  EXPECT_EQ(model->read_integer(*a, port).error().display(), "dangling reference 'R" + beyond + "'");
  EXPECT_EQ(model->enum_entries(*model->find_node("E")).value(), std::vector<std::string>{"On" + surrogate});
  EXPECT_EQ(payload<StringNode>(*model, "S").text, "x" + surrogate + "y");
  // The first text of an element, the one the builder reads.
  EXPECT_EQ(payload<StringNode>(*model, "Inner").text, "first");
  EXPECT_TRUE(model->contains("Raw\uFFFD\uFFFD"));
  EXPECT_EQ(payload<FormulaNode>(*model, "F").variables.at(0).name, "V" + surrogate);
}

// Limits against descriptions that inflate into huge trees, models or
// formulas; each is reached exactly and refused one step beyond.
TEST(FeatureModelBuild, LimitsFailWithMalformedNamingTheLimit) {
  const auto refused = [](const GenicamResult<FeatureModel>& model, std::string_view error) {
    ASSERT_FALSE(model);
    ASSERT_EQ(model.error().kind(), GenicamError::Kind::Transport);
    EXPECT_EQ(model.error().transport()->kind(), gige::CameraError::Kind::Malformed);
    EXPECT_EQ(model.error().display(), error);
  };

  // '<' and '=' characters, counted before parsing: the root's two tags
  // and the comment's opening, then '=' up to the limit.
  const std::string open = "<RegisterDescription><!--";
  std::string markup = open + std::string(MAX_DESCRIPTION_MARKUP - 3, '=') + "--></RegisterDescription>";
  EXPECT_TRUE(build_feature_model(markup));
  markup.insert(open.size(), "=");
  refused(build_feature_model(markup),
          "malformed packet: description has more than 1048576 markup characters ('<' and '=')");

  // Nodes, the three built-in ones included, however they are built.
  std::string ports;
  for (std::size_t i = 0; i + 3 < MAX_MODEL_NODES; ++i) ports += "<Port/>";
  const auto full = build(ports);
  ASSERT_TRUE(full);
  EXPECT_EQ(full->size(), MAX_MODEL_NODES);
  for (const std::string_view one_more :
       {"<Port/>", "<StructReg><StructEntry/></StructReg>",
        "<IntReg><IntSwissKnife><Formula>1</Formula></IntSwissKnife></IntReg>"}) {
    refused(build(ports + std::string(one_more)), "malformed packet: description has more than 131072 nodes");
  }

  // The text of each formula.
  const std::string longest(MAX_FORMULA_LENGTH, '1');
  EXPECT_TRUE(build("<IntSwissKnife Name=\"F\"><Formula>" + longest + "</Formula></IntSwissKnife>"));
  refused(build("<IntSwissKnife Name=\"F\"><Formula>" + longest + "1</Formula></IntSwissKnife>"),
          "malformed packet: formula of 'F' longer than 65536 bytes");
  refused(build("<Converter Name=\"C\"><FormulaTo>FROM</FormulaTo><FormulaFrom>" + longest +
                "+1</FormulaFrom></Converter>"),
          "malformed packet: formula of 'C' longer than 65536 bytes");
}

// ---- The walk

TEST(FeatureModelBuild, GroupsAreEnteredAndOtherWrappersAreNot) {
  const auto model = build(
      "<Integer Name=\"A\"><Value>1</Value></Integer>"
      "<Group Comment=\"outer\"><Integer Name=\"B\"/><Group><Integer Name=\"C\"/></Group><Group/>"
      "<Integer Name=\"D\"/></Group>"
      "<Wrapper><Integer Name=\"Hidden\"/></Wrapper>"
      "<Integer Name=\"E\"/>");
  ASSERT_TRUE(model) << model.error().display();
  const std::vector<std::string> expected{
      "A", "B", "C", "D", "E", "TLParamsLocked", "GevSCPSPacketSize", "GevTimestampTickFrequency"};
  EXPECT_EQ(names(*model), expected);
  EXPECT_FALSE(model->contains("Hidden"));
}

TEST(FeatureModelBuild, DeeplyNestedGroupsDoNotExhaustTheStack) {
  constexpr int DEPTH = 200'000;
  std::string body;
  body.reserve(DEPTH * 15 + 64);
  for (int i = 0; i < DEPTH; ++i) body += "<Group>";
  body += "<Integer Name=\"Deep\"><Value>7</Value></Integer>";
  for (int i = 0; i < DEPTH; ++i) body += "</Group>";
  body += "<Integer Name=\"After\"/>";
  const auto model = build(body);
  ASSERT_TRUE(model) << model.error().display();
  EXPECT_EQ(model->name(0), "Deep");
  EXPECT_EQ(model->name(1), "After");
}

TEST(FeatureModelBuild, NamespacePrefixesAreIgnored) {
  const auto model = build_feature_model(
      "<g:RegisterDescription xmlns:g=\"urn:x\"><g:Group><g:Integer Name=\"A\"><g:Value>5</g:Value>"
      "<g:pMax>B</g:pMax></g:Integer></g:Group><g:Integer Name=\"B\"/></g:RegisterDescription>");
  ASSERT_TRUE(model) << model.error().display();
  const auto& a = payload<IntegerNode>(*model, "A");
  EXPECT_EQ(a.value.form, Form::Integer);
  EXPECT_EQ(a.value.integer, 5);
  EXPECT_EQ(a.max.form, Form::Reference);
  EXPECT_EQ(a.max.target, model->index_of("B"));
}

TEST(FeatureModelBuild, AnonymousNamesCountEveryUnnamedElementOffered) {
  const auto model = build(
      "<Mystery/>"                 // counted, yields no node
      "<Group><Integer/></Group>"  // the Group itself is not offered
      "<Integer Name=\"Named\"/>"
      "<IntReg><IntSwissKnife><Formula>4</Formula></IntSwissKnife><Address>8</Address></IntReg>"
      "<StructReg><Address>0</Address><StructEntry><Bit>1</Bit></StructEntry>"
      "<StructEntry Name=\"E\"><Bit>2</Bit></StructEntry></StructReg>");
  ASSERT_TRUE(model) << model.error().display();
  const std::vector<std::string> expected{"__anonymous_Integer_2",
                                          "Named",
                                          "__anonymous_IntSwissKnife_4",
                                          "__anonymous_IntReg_3",
                                          "__anonymous_StructEntry_6",
                                          "E",
                                          "TLParamsLocked",
                                          "GevSCPSPacketSize",
                                          "GevTimestampTickFrequency"};
  EXPECT_EQ(names(*model), expected);
}

TEST(FeatureModelBuild, DuplicateNamesKeepBothNodesAndIndexTheLater) {
  const auto model = build(
      "<Integer Name=\"X\"><Value>1</Value></Integer><Integer Name=\"Y\"><pValue>X</pValue></Integer>"
      "<Float Name=\"X\"><Value>2.5</Value></Float>");
  ASSERT_TRUE(model) << model.error().display();
  EXPECT_EQ(model->name(0), "X");
  EXPECT_EQ(model->name(2), "X");
  EXPECT_EQ(model->index_of("X"), 2U);
  // References resolve after the walk, so Y follows the later X as well.
  EXPECT_EQ(payload<IntegerNode>(*model, "Y").value.target, 2U);
}

TEST(FeatureModelBuild, FindNodeFailsWithTheName) {
  const auto model = build("");
  ASSERT_TRUE(model);
  EXPECT_EQ(model->find_node("TLParamsLocked").value(), 0U);
  EXPECT_EQ(model->find_node("Gain").error().display(), "feature 'Gain' not found");
  EXPECT_EQ(model->find_node("").error().display(), "feature '' not found");
  EXPECT_FALSE(model->contains("Gain"));
}

// ---- Default nodes

TEST(FeatureModelBuild, DefaultNodesAreAddedWhenMissing) {
  auto model = build("<Integer Name=\"Width\"><Value>640</Value></Integer>");
  ASSERT_TRUE(model) << model.error().display();
  ASSERT_EQ(model->size(), 4U);
  EXPECT_EQ(model->name(1), "TLParamsLocked");
  NoDevicePort port;
  EXPECT_EQ(model->read_integer(1, port), 0);
  using Bounds = std::pair<std::int64_t, std::int64_t>;
  EXPECT_EQ(model->integer_bounds(1, port), Bounds(0, 1));
  EXPECT_EQ(port.accesses, 0);

  ASSERT_EQ(model->kind(2), NodeKind::IntReg);
  const auto& packet = payload<RegisterNode>(*model, "GevSCPSPacketSize");
  ASSERT_EQ(packet.address.size(), 1U);
  EXPECT_EQ(packet.address[0].integer, 0xd04);
  EXPECT_EQ(packet.length.integer, 4);
  EXPECT_EQ(packet.access, AccessMode::RW);
  EXPECT_EQ(packet.cache_mode, CacheMode::NoCache);
  EXPECT_EQ(packet.lsb, 31);
  EXPECT_EQ(packet.msb, 16);
  EXPECT_TRUE(packet.big_endian);

  ASSERT_EQ(model->kind(3), NodeKind::IntReg);
  const auto& tick = payload<RegisterNode>(*model, "GevTimestampTickFrequency");
  EXPECT_EQ(tick.address[0].integer, 0x93c);
  EXPECT_EQ(tick.length.integer, 8);
  EXPECT_EQ(tick.access, AccessMode::RO);
  EXPECT_EQ(tick.cache_mode, CacheMode::WriteAround);
  EXPECT_TRUE(tick.big_endian);
  EXPECT_FALSE(tick.is_signed);
  EXPECT_FALSE(tick.lsb || tick.msb || tick.bit);
}

TEST(FeatureModelBuild, ADocumentsOwnDefinitionOfADefaultNameIsKept) {
  const auto model = build(
      "<Integer Name=\"TLParamsLocked\"><Value>1</Value></Integer>"
      "<IntReg Name=\"GevTimestampTickFrequency\"><Address>0x10</Address></IntReg>");
  ASSERT_TRUE(model) << model.error().display();
  const std::vector<std::string> expected{"TLParamsLocked", "GevTimestampTickFrequency", "GevSCPSPacketSize"};
  EXPECT_EQ(names(*model), expected);
  EXPECT_EQ(payload<IntegerNode>(*model, "TLParamsLocked").value.integer, 1);
  EXPECT_EQ(payload<IntegerNode>(*model, "TLParamsLocked").max.form, Form::Absent);
}

// ---- Literals and value pairs

TEST(FeatureModelBuild, IntegerLiterals) {
  struct Case {
    const char* text;
    std::optional<std::int64_t> value;
  };
  const Case cases[] = {
      {"16", 16},
      {"0x10", 16},
      {"0X10", 16},
      {" \n 0x+1f\t", 31},
      {"0xFFFFFFFFFFFFFFFF", -1},
      {"0x8000000000000000", std::numeric_limits<std::int64_t>::min()},
      {"-5", -5},
      {"+7", 7},
      {"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
      {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
      {"9223372036854775808", std::nullopt},
      {"0x10000000000000000", std::nullopt},
      {"0x", std::nullopt},
      {"0x-1", std::nullopt},
      {"-0x10", std::nullopt},
      {"+-1", std::nullopt},
      {"1.5", std::nullopt},
      {"1 2", std::nullopt},
      {"twelve", std::nullopt},
      {"12abc", std::nullopt},
  };
  std::string body;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    body += "<Integer Name=\"I" + std::to_string(i) + "\"><Value>" + cases[i].text + "</Value></Integer>";
  }
  const auto model = build(body);
  ASSERT_TRUE(model) << model.error().display();
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto& value = payload<IntegerNode>(*model, "I" + std::to_string(i)).value;
    SCOPED_TRACE(cases[i].text);
    if (cases[i].value) {
      EXPECT_EQ(value.form, Form::Integer);
      EXPECT_EQ(value.integer, *cases[i].value);
    } else {
      EXPECT_EQ(value.form, Form::Absent);
    }
  }
}

TEST(FeatureModelBuild, FloatPairsTryFloatThenInteger) {
  struct Case {
    const char* text;
    Form form;
    double value;
  };
  constexpr double INF = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {"3", Form::Float, 3.0},
      {"3.5", Form::Float, 3.5},
      {"-2.5e2", Form::Float, -250.0},
      {"+.5", Form::Float, 0.5},
      {"1.", Form::Float, 1.0},
      {"inf", Form::Float, INF},
      {"-Infinity", Form::Float, -INF},
      {"1e999", Form::Float, INF},
      {"-1e-999", Form::Float, -0.0},
      {"0x10", Form::Integer, 16.0},
      {"0xfffffffffffffffe", Form::Integer, -2.0},
      {"abc", Form::Absent, 0.0},
      {"1e", Form::Absent, 0.0},
      {"nan(1)", Form::Absent, 0.0},
  };
  std::string body;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    body += "<Float Name=\"F" + std::to_string(i) + "\"><Value>" + cases[i].text + "</Value></Float>";
  }
  body += "<Float Name=\"N\"><Value>NaN</Value></Float>";
  const auto model = build(body);
  ASSERT_TRUE(model) << model.error().display();
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto& value = payload<FloatNode>(*model, "F" + std::to_string(i)).value;
    SCOPED_TRACE(cases[i].text);
    EXPECT_EQ(value.form, cases[i].form);
    if (cases[i].form == Form::Float) {
      EXPECT_EQ(value.real, cases[i].value);
      EXPECT_EQ(std::signbit(value.real), std::signbit(cases[i].value));
    }
    if (cases[i].form == Form::Integer) {
      EXPECT_EQ(static_cast<double>(value.integer), cases[i].value);
    }
  }
  const auto& nan = payload<FloatNode>(*model, "N").value;
  EXPECT_EQ(nan.form, Form::Float);
  EXPECT_TRUE(std::isnan(nan.real));
}

TEST(FeatureModelBuild, ReferenceElementWinsOverConstant) {
  const auto model = build(
      "<Integer Name=\"Both\"><Value>3</Value><pValue> Target </pValue></Integer>"
      "<Integer Name=\"EmptyRef\"><pValue/><Value>4</Value></Integer>"
      "<Integer Name=\"FirstWins\"><Value>5</Value><Value>6</Value></Integer>"
      "<Integer Name=\"FirstEmpty\"><Value></Value><Value>6</Value></Integer>"
      "<Integer Name=\"Mixed\"><Value><!-- note --><Unit/> 12 <Unit/>13</Value></Integer>"
      "<Integer Name=\"Target\"/>");
  ASSERT_TRUE(model) << model.error().display();
  const auto& both = payload<IntegerNode>(*model, "Both").value;
  EXPECT_EQ(both.form, Form::Reference);
  EXPECT_EQ(both.text, "Target");
  EXPECT_EQ(both.target, model->index_of("Target"));
  EXPECT_EQ(payload<IntegerNode>(*model, "EmptyRef").value.integer, 4);
  EXPECT_EQ(payload<IntegerNode>(*model, "FirstWins").value.integer, 5);
  EXPECT_EQ(payload<IntegerNode>(*model, "FirstEmpty").value.form, Form::Absent);
  EXPECT_EQ(payload<IntegerNode>(*model, "Mixed").value.integer, 12);
}

// ---- Element kinds

TEST(FeatureModelBuild, IntegerFloatBooleanCommandRead) {
  const auto model = build(
      "<Integer Name=\"I\"><Value>1</Value><Min>-4</Min><pMax>M</pMax><Inc>2</Inc></Integer>"
      "<Float Name=\"F\"><pValue>M</pValue><Min>0.5</Min><Max>0x10</Max><Inc>3</Inc></Float>"
      "<Boolean Name=\"B\"><Value>5</Value><OnValue>5</OnValue><OffValue>two</OffValue></Boolean>"
      "<Boolean Name=\"B2\"><pValue>M</pValue><OnValue/></Boolean>"
      "<Command Name=\"C\"><pValue>M</pValue><CommandValue>0x20</CommandValue></Command>"
      "<Command Name=\"C2\"><Value>0</Value><pCommandValue>M</pCommandValue></Command>"
      "<Integer Name=\"M\"/>");
  ASSERT_TRUE(model) << model.error().display();
  EXPECT_EQ(model->kind(0), NodeKind::Integer);
  const auto& i = payload<IntegerNode>(*model, "I");
  EXPECT_EQ(i.min.integer, -4);
  EXPECT_EQ(i.max.form, Form::Reference);
  EXPECT_EQ(i.inc.integer, 2);
  EXPECT_EQ(model->kind(1), NodeKind::Float);
  const auto& f = payload<FloatNode>(*model, "F");
  EXPECT_EQ(f.value.form, Form::Reference);
  EXPECT_EQ(f.min.real, 0.5);
  EXPECT_EQ(f.max.form, Form::Integer);
  const auto& b = payload<BooleanNode>(*model, "B");
  EXPECT_EQ(b.on_value, 5);
  EXPECT_EQ(b.off_value, 0);
  const auto& b2 = payload<BooleanNode>(*model, "B2");
  EXPECT_EQ(b2.on_value, 1);
  EXPECT_EQ(b2.value.form, Form::Reference);
  const auto& c = payload<CommandNode>(*model, "C");
  EXPECT_EQ(c.command_value.integer, 0x20);
  EXPECT_EQ(payload<CommandNode>(*model, "C2").command_value.form, Form::Reference);
  EXPECT_EQ(model->kind(*model->index_of("C")), NodeKind::Command);
}

TEST(FeatureModelBuild, EnumerationEntriesNeedANameAndAParsableValue) {
  const auto model = build(
      "<Enumeration Name=\"Mode\"><pValue>ModeReg</pValue>"
      "<EnumEntry Name=\"Off\"><Value>0</Value></EnumEntry>"
      "<EnumEntry Name=\"NoValue\"><DisplayName>x</DisplayName></EnumEntry>"
      "<EnumEntry><Value>7</Value></EnumEntry>"
      "<EnumEntry Name=\"Bad\"><Value>seven</Value></EnumEntry>"
      "<EnumEntry Name=\"Hex\"><Value>0x10</Value><Value>3</Value></EnumEntry>"
      "<EnumEntry Name=\"Off\"><Value>2</Value></EnumEntry>"
      "</Enumeration><IntReg Name=\"ModeReg\"><Address>0</Address></IntReg>");
  ASSERT_TRUE(model) << model.error().display();
  const auto& e = payload<EnumerationNode>(*model, "Mode");
  ASSERT_EQ(e.entries.size(), 3U);
  EXPECT_EQ(e.entries[0].name, "Off");
  EXPECT_EQ(e.entries[0].value, 0);
  EXPECT_EQ(e.entries[1].name, "Hex");
  EXPECT_EQ(e.entries[1].value, 16);
  EXPECT_EQ(e.entries[2].value, 2);
  // Entries are not nodes.
  EXPECT_FALSE(model->contains("Off"));
  EXPECT_EQ(model->enum_entries(*model->index_of("Mode")), (std::vector<std::string>{"Off", "Hex", "Off"}));
}

TEST(FeatureModelBuild, StringCategoryFormulaConverterPort) {
  const auto model = build(
      "<String Name=\"S1\"><Value>  text  </Value><pValue>S2</pValue></String>"
      "<String Name=\"S2\"><Value>  text  </Value></String>"
      "<String Name=\"S3\"/>"
      "<Category Name=\"Root\"><pFeature>S1</pFeature><pFeature/><pFeature> Missing </pFeature>"
      "<pFeature>S3</pFeature></Category>"
      "<SwissKnife Name=\"K\"><Formula> A + B </Formula><pVariable Name=\"A\">S1</pVariable>"
      "<pVariable>S2</pVariable><pVariable Name=\"B\"></pVariable><pVariable Name=\"C\"> Nowhere </pVariable>"
      "</SwissKnife>"
      "<IntSwissKnife Name=\"K2\"/>"
      "<Converter Name=\"V\"><pValue>S1</pValue><FormulaTo>FROM*2</FormulaTo><FormulaFrom>TO/2</FormulaFrom>"
      "<pVariable Name=\"X\">K</pVariable></Converter>"
      "<IntConverter Name=\"V2\"><Value>3</Value></IntConverter>"
      "<Port Name=\"Device\"/>");
  ASSERT_TRUE(model) << model.error().display();
  EXPECT_EQ(payload<StringNode>(*model, "S1").value.form, Form::Reference);
  EXPECT_EQ(payload<StringNode>(*model, "S2").value.form, Form::Text);
  EXPECT_EQ(payload<StringNode>(*model, "S2").text, "text");
  EXPECT_EQ(payload<StringNode>(*model, "S3").value.form, Form::Absent);

  const auto& root = payload<CategoryNode>(*model, "Root");
  ASSERT_EQ(root.features.size(), 3U);
  EXPECT_EQ(root.features[0].index, model->index_of("S1"));
  EXPECT_EQ(root.features[1].name, "Missing");
  EXPECT_EQ(root.features[1].index, NO_NODE);
  EXPECT_EQ(root.features[2].index, model->index_of("S3"));

  EXPECT_EQ(model->kind(*model->index_of("K")), NodeKind::Formula);
  EXPECT_EQ(model->kind(*model->index_of("K2")), NodeKind::Formula);
  const auto& k = payload<FormulaNode>(*model, "K");
  EXPECT_EQ(k.formula.text, "A + B");
  ASSERT_EQ(k.variables.size(), 2U);
  EXPECT_EQ(k.variables[0].name, "A");
  EXPECT_EQ(k.variables[0].node.index, model->index_of("S1"));
  EXPECT_EQ(k.variables[1].name, "C");
  EXPECT_EQ(k.variables[1].node.name, "Nowhere");
  EXPECT_EQ(k.variables[1].node.index, NO_NODE);
  EXPECT_EQ(payload<FormulaNode>(*model, "K2").formula.text, "");

  EXPECT_EQ(model->kind(*model->index_of("V")), NodeKind::Converter);
  EXPECT_EQ(model->kind(*model->index_of("V2")), NodeKind::Converter);
  const auto& v = payload<ConverterNode>(*model, "V");
  EXPECT_EQ(v.to.text, "FROM*2");
  EXPECT_EQ(v.from.text, "TO/2");
  EXPECT_EQ(v.value.target, model->index_of("S1"));
  ASSERT_EQ(v.variables.size(), 1U);
  EXPECT_EQ(payload<ConverterNode>(*model, "V2").value.integer, 3);
  EXPECT_EQ(model->kind(*model->index_of("Device")), NodeKind::Port);
}

TEST(FeatureModelBuild, RegisterCommonPart) {
  const auto model = build(
      "<IntReg Name=\"R\"><Address>0x1000</Address><Address>junk</Address><pAddress>Base</pAddress>"
      "<Address>0x20</Address><pLength>Len</pLength><AccessMode>RO</AccessMode><Cachable>NoCache</Cachable>"
      "<Sign>Signed</Sign><Endianess>BigEndian</Endianess><Bit>3</Bit><pPort>Device</pPort></IntReg>"
      "<FloatReg Name=\"F\"><Address>0</Address><Length>8</Length><AccessMode>WO</AccessMode>"
      "<Cachable>WriteThrough</Cachable><Endianess>LittleEndian</Endianess></FloatReg>"
      "<StringReg Name=\"S\"><Address>0</Address><AccessMode>rw</AccessMode><Cachable>Yes</Cachable>"
      "</StringReg>"
      "<Register Name=\"Raw\"><Length>16</Length></Register>"
      "<MaskedIntReg Name=\"M\"><Address>4</Address><LSB>7</LSB><MSB>4</MSB><Bit>1</Bit><Sign>Unsigned</Sign>"
      "</MaskedIntReg>"
      "<Integer Name=\"Base\"/><Integer Name=\"Len\"/>");
  ASSERT_TRUE(model) << model.error().display();
  EXPECT_EQ(model->kind(0), NodeKind::IntReg);
  const auto& r = payload<RegisterNode>(*model, "R");
  ASSERT_EQ(r.address.size(), 3U);
  EXPECT_EQ(r.address[0].integer, 0x1000);
  EXPECT_EQ(r.address[1].form, Form::Reference);
  EXPECT_EQ(r.address[1].target, model->index_of("Base"));
  EXPECT_EQ(r.address[2].integer, 0x20);
  EXPECT_EQ(r.length.target, model->index_of("Len"));
  EXPECT_EQ(r.access, AccessMode::RO);
  EXPECT_EQ(r.cache_mode, CacheMode::NoCache);
  EXPECT_TRUE(r.is_signed);
  EXPECT_TRUE(r.big_endian);
  EXPECT_FALSE(r.bit);  // a plain IntReg has no bit field

  EXPECT_EQ(model->kind(1), NodeKind::FloatReg);
  const auto& f = payload<RegisterNode>(*model, "F");
  EXPECT_EQ(f.access, AccessMode::WO);
  EXPECT_EQ(f.cache_mode, CacheMode::WriteThrough);
  EXPECT_FALSE(f.big_endian);

  EXPECT_EQ(model->kind(2), NodeKind::StringReg);
  const auto& s = payload<RegisterNode>(*model, "S");
  EXPECT_EQ(s.access, AccessMode::RW);
  EXPECT_EQ(s.cache_mode, CacheMode::WriteAround);
  EXPECT_EQ(s.length.form, Form::Absent);

  EXPECT_EQ(model->kind(3), NodeKind::Register);
  EXPECT_TRUE(payload<RegisterNode>(*model, "Raw").address.empty());

  EXPECT_EQ(model->kind(4), NodeKind::IntReg);
  const auto& m = payload<RegisterNode>(*model, "M");
  EXPECT_EQ(m.lsb, 7);
  EXPECT_EQ(m.msb, 4);
  EXPECT_EQ(m.bit, 1);
  EXPECT_FALSE(m.is_signed);
  EXPECT_FALSE(m.big_endian);
}

TEST(FeatureModelBuild, InlineAddressFormulasPrecedeTheirRegister) {
  const auto model = build(
      "<IntReg Name=\"R\"><Address>0x100</Address>"
      "<IntSwissKnife Name=\"Offset\"><pVariable "
      "Name=\"S\">Sel</pVariable><Formula>S*4</Formula></IntSwissKnife>"
      "<IntSwissKnife><Formula>1</Formula></IntSwissKnife></IntReg>"
      "<Integer Name=\"Sel\"/>"
      // Inline nodes are referenced by name like all others: a later node of
      // the same name takes the inline node's place.
      "<Integer Name=\"Offset\"/>");
  ASSERT_TRUE(model) << model.error().display();
  EXPECT_EQ(model->name(0), "Offset");
  EXPECT_EQ(model->kind(0), NodeKind::Formula);
  EXPECT_EQ(model->name(1), "__anonymous_IntSwissKnife_1");
  EXPECT_EQ(model->name(2), "R");
  const auto& r = payload<RegisterNode>(*model, "R");
  ASSERT_EQ(r.address.size(), 3U);
  EXPECT_EQ(r.address[1].form, Form::Reference);
  EXPECT_EQ(r.address[1].text, "Offset");
  EXPECT_EQ(r.address[1].target, 4U);
  EXPECT_EQ(model->kind(4), NodeKind::Integer);
  EXPECT_EQ(r.address[2].target, 1U);
}

TEST(FeatureModelBuild, StructEntriesShareTheParentRegister) {
  const auto model = build(
      "<StructReg Name=\"Parent\"><Address>0x200</Address><pAddress>Base</pAddress><Length>2</Length>"
      "<AccessMode>RO</AccessMode><Cachable>WriteThrough</Cachable><Sign>Signed</Sign>"
      "<Endianess>BigEndian</Endianess><pInvalidator>Base</pInvalidator>"
      "<StructEntry Name=\"A\"><Bit>0</Bit></StructEntry>"
      "<StructEntry Name=\"B\"><LSB>3</LSB><MSB>5</MSB><AccessMode>RW</AccessMode><Sign>Unsigned</Sign>"
      "<Endianess>BigEndian</Endianess><pInvalidator>Base</pInvalidator></StructEntry>"
      "<StructEntry Name=\"C\"><AccessMode>bogus</AccessMode><Sign></Sign>"
      "<Endianess>LittleEndian</Endianess></StructEntry>"
      "</StructReg><Integer Name=\"Base\"/>");
  ASSERT_TRUE(model) << model.error().display();
  EXPECT_FALSE(model->contains("Parent"));
  const std::vector<std::string> expected{"A", "B", "C", "Base"};
  const auto all = names(*model);
  EXPECT_EQ(std::vector<std::string>(all.begin(), all.begin() + 4), expected);
  for (const char* name : {"A", "B", "C"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(model->kind(*model->index_of(name)), NodeKind::IntReg);
    const auto& entry = payload<RegisterNode>(*model, name);
    ASSERT_EQ(entry.address.size(), 2U);
    EXPECT_EQ(entry.address[0].integer, 0x200);
    EXPECT_EQ(entry.address[1].target, model->index_of("Base"));
    EXPECT_EQ(entry.length.integer, 2);
    EXPECT_EQ(entry.cache_mode, CacheMode::WriteThrough);
  }
  const auto& a = payload<RegisterNode>(*model, "A");
  EXPECT_EQ(a.access, AccessMode::RO);
  EXPECT_TRUE(a.is_signed);    // the parent's Sign
  EXPECT_TRUE(a.big_endian);   // the parent's Endianess
  EXPECT_EQ(a.bit, 0);
  const auto& b = payload<RegisterNode>(*model, "B");
  EXPECT_EQ(b.access, AccessMode::RW);
  EXPECT_FALSE(b.is_signed);
  EXPECT_TRUE(b.big_endian);
  EXPECT_EQ(b.lsb, 3);
  EXPECT_EQ(b.msb, 5);
  const auto& c = payload<RegisterNode>(*model, "C");
  EXPECT_EQ(c.access, AccessMode::RO);
  EXPECT_TRUE(c.is_signed);  // an empty Sign child counts as missing
  EXPECT_FALSE(c.big_endian);  // its own Endianess wins
  // Only B's own pInvalidator counts; the StructReg yields no node.
  const auto dependents = model->dependents(*model->index_of("Base"));
  EXPECT_EQ(std::vector<std::uint32_t>(dependents.begin(), dependents.end()),
            std::vector<std::uint32_t>{*model->index_of("B")});
}

// ---- Resolution and invalidation

TEST(FeatureModelBuild, UnresolvedReferencesAreKeptByName) {
  const auto model = build(
      "<Integer Name=\"I\"><pValue>Ghost</pValue><pMin>I</pMin></Integer>"
      "<IntReg Name=\"R\"><pAddress>Nowhere</pAddress><pLength>Nothing</pLength></IntReg>");
  ASSERT_TRUE(model) << model.error().display();
  const auto& i = payload<IntegerNode>(*model, "I");
  EXPECT_EQ(i.value.text, "Ghost");
  EXPECT_EQ(i.value.target, NO_NODE);
  EXPECT_EQ(i.min.target, 0U);
  const auto& r = payload<RegisterNode>(*model, "R");
  EXPECT_EQ(r.address[0].target, NO_NODE);
  EXPECT_EQ(r.length.text, "Nothing");
}

TEST(FeatureModelBuild, DependentsListInvalidatorReferrersInCreationOrder) {
  const auto model = build(
      "<IntReg "
      "Name=\"R1\"><Address>0</Address><pInvalidator>W</pInvalidator><pInvalidator>Gone</pInvalidator>"
      "</IntReg>"
      "<Integer Name=\"I\"><Value>0</Value><pInvalidator> W </pInvalidator><pInvalidator>R1</pInvalidator>"
      "</Integer>"
      "<IntReg Name=\"W\"><Address>4</Address></IntReg>"
      "<IntReg Name=\"R2\"><Address>8</Address><pInvalidator>W</pInvalidator></IntReg>");
  ASSERT_TRUE(model) << model.error().display();
  const auto w = *model->index_of("W");
  const auto deps = model->dependents(w);
  EXPECT_EQ(
      std::vector<std::uint32_t>(deps.begin(), deps.end()),
      (std::vector<std::uint32_t>{*model->index_of("R1"), *model->index_of("I"), *model->index_of("R2")}));
  const auto r1 = model->dependents(*model->index_of("R1"));
  EXPECT_EQ(std::vector<std::uint32_t>(r1.begin(), r1.end()),
            std::vector<std::uint32_t>{*model->index_of("I")});
  EXPECT_TRUE(model->dependents(*model->index_of("R2")).empty());
}

// ---- What the description tells a person

TEST(FeatureModelBuild, PresentationTextsVisibilityAndTypes) {
  const auto model = build(
      "<Float Name=\"Exposure\"><DisplayName> Exposure Time </DisplayName><ToolTip>How long.</ToolTip>"
      "<Description>The time the sensor integrates.</Description><ns:Unit>us</ns:Unit>"
      "<Visibility>Expert</Visibility><Representation>Logarithmic</Representation><Value>1</Value></Float>"
      "<Integer Name=\"G\"><Visibility>Guru</Visibility><Value>0</Value></Integer>"
      "<Integer Name=\"H\"><Visibility>Invisible</Visibility><Value>0</Value></Integer>"
      "<Integer Name=\"Odd\"><Visibility>Novice</Visibility><Value>0</Value></Integer>"
      "<SwissKnife Name=\"K\"/><IntSwissKnife Name=\"IK\"/><Converter Name=\"C\"/><IntConverter Name=\"IC\"/>"
      "<IntReg Name=\"R\"><Address>0</Address></IntReg><FloatReg Name=\"FR\"><Address>0</Address></FloatReg>"
      "<StringReg Name=\"SR\"><Address>0</Address></StringReg>"
      "<Register Name=\"Raw\"><Address>0</Address></Register>"
      "<StructReg><Address>0</Address>"
      "<StructEntry Name=\"SE\"><Bit>0</Bit><Unit>px</Unit></StructEntry></StructReg>"
      "<Enumeration Name=\"Mode\">"
      "<EnumEntry Name=\"Off\"><Value>0</Value><DisplayName>Switched off</DisplayName>"
      "</EnumEntry><EnumEntry Name=\"On\"><Value>1</Value></EnumEntry><Value>0</Value></Enumeration>");
  ASSERT_TRUE(model) << model.error().display();
  const auto info = [&](std::string_view name) -> const NodeInfo& {
    return model->info(*model->index_of(name));
  };
  const NodeInfo& exposure = info("Exposure");
  EXPECT_EQ(exposure.display_name, "Exposure Time");
  EXPECT_EQ(exposure.tooltip, "How long.");
  EXPECT_EQ(exposure.description, "The time the sensor integrates.");
  EXPECT_EQ(exposure.unit, "us");
  EXPECT_EQ(exposure.representation, "Logarithmic");
  EXPECT_EQ(exposure.visibility, Visibility::Expert);
  EXPECT_EQ(info("G").visibility, Visibility::Guru);
  EXPECT_EQ(info("H").visibility, Visibility::Invisible);
  // Unknown or missing visibility is Beginner; missing texts are empty.
  EXPECT_EQ(info("Odd").visibility, Visibility::Beginner);
  EXPECT_EQ(info("Odd").display_name, "");
  EXPECT_EQ(info("Odd").unit, "");
  EXPECT_EQ(info("SE").unit, "px");

  const std::vector<std::pair<std::string_view, FeatureType>> types = {
      {"Exposure", FeatureType::Float},   {"G", FeatureType::Integer},    {"K", FeatureType::Float},
      {"IK", FeatureType::Integer},       {"C", FeatureType::Float},      {"IC", FeatureType::Integer},
      {"R", FeatureType::Integer},        {"FR", FeatureType::Float},     {"SR", FeatureType::String},
      {"Raw", FeatureType::Register},     {"SE", FeatureType::Integer},   {"Mode", FeatureType::Enumeration},
      {"TLParamsLocked", FeatureType::Integer},
  };
  for (const auto& [name, type] : types) EXPECT_EQ(info(name).type, type) << name;

  const auto& entries = payload<EnumerationNode>(*model, "Mode").entries;
  ASSERT_EQ(entries.size(), 2U);
  EXPECT_EQ(entries[0].display_name, "Switched off");
  EXPECT_EQ(entries[1].display_name, "");
}

TEST(FeatureModelBuild, CategoryPathsAndSelectors) {
  const auto model = build(
      "<Category Name=\"Root\"><pFeature>Image</pFeature></Category>"
      "<Category Name=\"Image\"><pFeature>Size</pFeature><pFeature>Width</pFeature></Category>"
      "<Category Name=\"Size\"><pFeature>Width</pFeature></Category>"
      "<Category Name=\"Loop1\"><pFeature>Loop2</pFeature></Category>"
      "<Category Name=\"Loop2\"><pFeature>Loop1</pFeature><pFeature>Deep</pFeature></Category>"
      "<Integer Name=\"Width\"><Value>1</Value></Integer><Integer Name=\"Deep\"><Value>1</Value></Integer>"
      "<Integer Name=\"Loose\"><Value>1</Value></Integer>"
      "<Enumeration Name=\"Selector\"><pSelected>Width</pSelected><pSelected> Ghost </pSelected>"
      "<pSelected>Deep</pSelected><Value>0</Value></Enumeration>"
      "<Integer Name=\"Other\"><pSelected>Width</pSelected><Value>0</Value></Integer>");
  ASSERT_TRUE(model) << model.error().display();
  const auto index = [&](std::string_view name) { return *model->index_of(name); };
  const auto path = [&](std::string_view name) {
    std::vector<std::string> out;
    for (const auto i : model->category_path(index(name))) out.push_back(model->name(i));
    return out;
  };
  // Width is listed by Image and by Size: the first category in creation order wins.
  EXPECT_EQ(path("Width"), (std::vector<std::string>{"Root", "Image"}));
  EXPECT_EQ(path("Size"), (std::vector<std::string>{"Root", "Image"}));
  EXPECT_TRUE(path("Root").empty());
  EXPECT_TRUE(path("Loose").empty());
  // Categories that list each other end the path instead of looping.
  EXPECT_EQ(path("Deep"), (std::vector<std::string>{"Loop1", "Loop2"}));
  EXPECT_EQ(path("Loop1"), (std::vector<std::string>{"Loop2"}));

  const auto& selected = model->info(index("Selector")).selected;
  ASSERT_EQ(selected.size(), 3U);
  EXPECT_EQ(selected[0].index, index("Width"));
  EXPECT_EQ(selected[1].name, "Ghost");
  EXPECT_EQ(selected[1].index, NO_NODE);
  EXPECT_EQ(selected[2].index, index("Deep"));
  EXPECT_EQ(model->selectors_of(index("Width")),
            (std::vector<std::uint32_t>{index("Selector"), index("Other")}));
  EXPECT_TRUE(model->selectors_of(index("Selector")).empty());
}

}  // namespace
}  // namespace corvantic::genicam
