#include "sim/description.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <map>
#include <pugixml.hpp>
#include <set>
#include <string>
#include <string_view>

#include "sim/register_map.hpp"

namespace corvantic::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint32_t le16(const Bytes& b, std::size_t at) {
  return b.at(at) | (std::uint32_t{b.at(at + 1)} << 8);
}
std::uint32_t le32(const Bytes& b, std::size_t at) {
  return le16(b, at) | (le16(b, at + 2) << 16);
}

Bytes inflate_raw(const Bytes& packed, std::size_t expected_size) {
  Bytes out(expected_size + 1);
  z_stream stream{};
  EXPECT_EQ(inflateInit2(&stream, -15), Z_OK);
  stream.next_in = const_cast<Bytef*>(packed.data());
  stream.avail_in = static_cast<uInt>(packed.size());
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(inflate(&stream, Z_FINISH), Z_STREAM_END);
  out.resize(stream.total_out);
  inflateEnd(&stream);
  return out;
}

// Reads the one entry of `zip` through its end record, central directory
// and local header, checking that they agree; returns the entry's data.
Bytes unzip_only_entry(const Bytes& zip, std::uint16_t expected_method) {
  EXPECT_GE(zip.size(), 22u);
  const std::size_t end = zip.size() - 22;
  EXPECT_EQ(le32(zip, end), 0x06054b50u);
  EXPECT_EQ(le16(zip, end + 8), 1u);   // entries on this disk
  EXPECT_EQ(le16(zip, end + 10), 1u);  // entries in total
  const std::size_t central = le32(zip, end + 16);
  EXPECT_EQ(central + le32(zip, end + 12), end);  // central directory size
  EXPECT_EQ(le32(zip, central), 0x02014b50u);
  const std::uint32_t method = le16(zip, central + 10);
  const std::uint32_t crc = le32(zip, central + 16);
  const std::uint32_t compressed = le32(zip, central + 20);
  const std::uint32_t uncompressed = le32(zip, central + 24);
  const std::uint32_t name_length = le16(zip, central + 28);
  const std::size_t local = le32(zip, central + 42);
  EXPECT_EQ(method, expected_method);
  EXPECT_EQ(std::string(zip.begin() + static_cast<long>(central) + 46,
                        zip.begin() + static_cast<long>(central + 46 + name_length)),
            "corvantic_sim.xml");

  EXPECT_EQ(le32(zip, local), 0x04034b50u);
  EXPECT_EQ(le16(zip, local + 8), method);
  EXPECT_EQ(le32(zip, local + 14), crc);
  EXPECT_EQ(le32(zip, local + 18), compressed);
  EXPECT_EQ(le32(zip, local + 22), uncompressed);
  const std::size_t data = local + 30 + le16(zip, local + 26) + le16(zip, local + 28);
  EXPECT_EQ(data + compressed, central);
  const Bytes packed(zip.begin() + static_cast<long>(data),
                     zip.begin() + static_cast<long>(data + compressed));
  Bytes content = method == 8 ? inflate_raw(packed, uncompressed) : packed;
  EXPECT_EQ(content.size(), uncompressed);
  EXPECT_EQ(crc32(crc32(0L, Z_NULL, 0), content.data(), static_cast<uInt>(content.size())), crc);
  return content;
}

Bytes xml_bytes() {
  const auto xml = description_xml();
  return {xml.begin(), xml.end()};
}

TEST(Description, IsServedPlainOrZipped) {
  EXPECT_EQ(description_bytes(DescriptionForm::Plain), xml_bytes());
  const Bytes stored = description_bytes(DescriptionForm::ZipStored);
  EXPECT_EQ(unzip_only_entry(stored, 0), xml_bytes());
  const Bytes deflated = description_bytes(DescriptionForm::ZipDeflated);
  EXPECT_EQ(unzip_only_entry(deflated, 8), xml_bytes());
  EXPECT_LT(deflated.size(), stored.size() / 3);
}

TEST(Description, ZipsAnyContent) {
  const Bytes empty;
  EXPECT_EQ(unzip_only_entry(build_zip("corvantic_sim.xml", empty, true), 8), empty);
  Bytes binary(70000);
  for (std::size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  EXPECT_EQ(unzip_only_entry(build_zip("corvantic_sim.xml", binary, true), 8), binary);
  EXPECT_EQ(unzip_only_entry(build_zip("corvantic_sim.xml", binary, false), 0), binary);
}

TEST(Description, NamesItsLocationForms) {
  EXPECT_EQ(local_url("corvantic_sim.zip", 0x100000, 0x1F40), "Local:corvantic_sim.zip;100000;1f40");
  EXPECT_EQ(description_file_name(DescriptionForm::Plain), "corvantic_sim.xml");
  EXPECT_EQ(description_file_name(DescriptionForm::ZipDeflated), "corvantic_sim.zip");
  DescriptionForm form{};
  EXPECT_TRUE(parse_description_form("zip-deflated", form));
  EXPECT_EQ(form, DescriptionForm::ZipDeflated);
  EXPECT_FALSE(parse_description_form("zip", form));
}

class DescriptionDocument : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto xml = description_xml();
    const auto result = doc.load_buffer(xml.data(), xml.size());
    ASSERT_TRUE(result) << result.description();
    root = doc.document_element();
    collect(root);
  }
  void collect(pugi::xml_node parent) {
    for (auto node : parent.children()) {
      if (node.type() != pugi::node_element) continue;
      tags.insert(node.name());
      // Entries are named only within their enumeration (ChunkSelector's "Width").
      if (auto name = node.attribute("Name"); name && std::string_view(node.name()) != "EnumEntry") {
        by_name[name.value()] = node;
      }
      collect(node);
    }
  }
  pugi::xml_node feature(const char* name) {
    const auto it = by_name.find(name);
    return it == by_name.end() ? pugi::xml_node() : it->second;
  }
  // Texts of every `child` element anywhere in the document.
  std::set<std::string> texts_of(const char* child) {
    std::set<std::string> out;
    for (auto node : root.select_nodes((std::string("//") + child).c_str())) {
      out.insert(node.node().child_value());
    }
    return out;
  }

  pugi::xml_document doc;
  pugi::xml_node root;
  std::set<std::string> tags;
  std::map<std::string, pugi::xml_node> by_name;
};

TEST_F(DescriptionDocument, UsesEveryElementKindAClientReads) {
  EXPECT_STREQ(root.name(), "RegisterDescription");
  EXPECT_STREQ(root.attribute("SchemaMajorVersion").value(), "1");
  for (const char* tag : {"Integer",      "Float",        "Boolean",   "Command",      "Enumeration",
                          "EnumEntry",    "String",       "Category",  "SwissKnife",   "IntSwissKnife",
                          "Converter",    "IntConverter", "IntReg",    "MaskedIntReg", "FloatReg",
                          "StringReg",    "Register",     "StructReg", "StructEntry",  "Group",
                          "Port",         "pInvalidator", "pVariable", "Formula",      "FormulaTo",
                          "FormulaFrom",  "pFeature",     "pMax",      "Inc",          "OnValue",
                          "CommandValue", "LSB",          "MSB",       "Bit"}) {
    EXPECT_TRUE(tags.contains(tag)) << tag;
  }
  EXPECT_EQ(texts_of("Cachable"), (std::set<std::string>{"NoCache", "WriteThrough", "WriteAround"}));
  EXPECT_EQ(texts_of("AccessMode"), (std::set<std::string>{"RO", "WO", "RW"}));
  EXPECT_EQ(texts_of("Sign"), (std::set<std::string>{"Signed", "Unsigned"}));
  EXPECT_EQ(texts_of("Endianess"), (std::set<std::string>{"BigEndian", "LittleEndian"}));
  // Float registers of both widths; integer registers signed and unsigned in both byte orders.
  std::set<std::string> float_lengths;
  std::set<std::pair<std::string, std::string>> int_kinds;
  for (auto node : root.select_nodes("//FloatReg")) float_lengths.insert(node.node().child_value("Length"));
  for (auto node : root.select_nodes("//IntReg")) {
    int_kinds.insert({node.node().child_value("Sign"), node.node().child_value("Endianess")});
  }
  EXPECT_EQ(float_lengths, (std::set<std::string>{"4", "8"}));
  for (const char* sign : {"Signed", "Unsigned"}) {
    for (const char* order : {"BigEndian", "LittleEndian"}) {
      EXPECT_TRUE(int_kinds.contains({sign, order})) << sign << " " << order;
    }
  }
  // An inline IntSwissKnife as an address term.
  EXPECT_FALSE(root.select_nodes("//IntReg/IntSwissKnife").empty());
  EXPECT_FALSE(root.select_nodes("//StructReg/IntSwissKnife").empty());
}

TEST_F(DescriptionDocument, OffersTheStandardCameraFeatures) {
  const std::map<std::string, std::string> kinds = {
      {"Width", "Integer"},
      {"Height", "Integer"},
      {"OffsetX", "Integer"},
      {"OffsetY", "Integer"},
      {"PixelFormat", "Enumeration"},
      {"PayloadSize", "IntSwissKnife"},
      {"AcquisitionMode", "Enumeration"},
      {"AcquisitionStart", "Command"},
      {"AcquisitionStop", "Command"},
      {"TLParamsLocked", "Integer"},
      {"ExposureTime", "Float"},
      {"Gain", "Float"},
      {"TestPattern", "Enumeration"},
      {"DeviceUserID", "StringReg"},
      {"ChunkModeActive", "Boolean"},
      {"ChunkSelector", "Enumeration"},
      {"ChunkEnable", "Boolean"},
  };
  for (const auto& [name, kind] : kinds) EXPECT_STREQ(feature(name.c_str()).name(), kind.c_str()) << name;
  std::map<std::string, std::uint32_t> formats;
  for (auto entry : feature("PixelFormat").children("EnumEntry")) {
    formats[entry.attribute("Name").value()] =
        static_cast<std::uint32_t>(std::stoul(entry.child_value("Value"), nullptr, 0));
  }
  EXPECT_EQ(formats, (std::map<std::string, std::uint32_t>{
                         {"Mono8", PIXEL_MONO8}, {"Mono16", PIXEL_MONO16}, {"RGB8", PIXEL_RGB8}}));
  std::set<std::string> modes;
  for (auto entry : feature("AcquisitionMode").children("EnumEntry"))
    modes.insert(entry.attribute("Name").value());
  EXPECT_EQ(modes, (std::set<std::string>{"Continuous", "SingleFrame", "MultiFrame"}));
}

// Every register of the description on the device's port exists on the
// device with the access mode the description gives it, and every
// enumeration entry is a value its register takes. (Registers on chunk
// ports address a frame's chunk data instead.)
TEST_F(DescriptionDocument, RegistersExistOnTheDevice) {
  RegisterMapConfig config;
  config.description = description_bytes(DescriptionForm::Plain);
  RegisterMap map(config);
  const Access host{{0x7F000001, 50000}, Clock::now()};
  Effects effects;
  int checked = 0;
  for (const char* kind : {"IntReg", "MaskedIntReg", "FloatReg", "StringReg", "Register", "StructReg"}) {
    for (auto hit : root.select_nodes((std::string("//") + kind).c_str())) {
      const auto node = hit.node();
      if (std::string_view(node.child_value("pPort")) != "Device") continue;
      std::uint32_t address = 0;
      // Inline address terms select stream channel 0 here: they add 0.
      for (auto term : node.children("Address"))
        address += static_cast<std::uint32_t>(std::stoul(term.child_value(), nullptr, 0));
      const auto length = static_cast<std::uint32_t>(std::stoul(node.child_value("Length")));
      const std::string access = node.child_value("AccessMode");
      const std::string label =
          std::string(kind) + " " + node.attribute("Name").value() + node.attribute("Comment").value();
      SCOPED_TRACE(label);
      Bytes bytes((length + 3) / 4 * 4);
      const std::uint32_t aligned = address & ~3u;
      ASSERT_TRUE(map.read_memory(host, aligned, bytes)) << std::hex << address;
      const auto written = map.write_memory(host, aligned, bytes, effects);
      if (access == "RO") {
        EXPECT_EQ(written.status, 0x8004);
      } else {
        EXPECT_EQ(written.status, 0) << std::hex << address;
      }
      ++checked;
    }
  }
  EXPECT_GE(checked, 40);

  for (auto hit : root.select_nodes("//Enumeration")) {
    const auto enumeration = hit.node();
    const auto reg_node = feature(enumeration.child_value("pValue"));
    if (std::string_view(reg_node.child_value("pPort")) != "Device") continue;
    const auto address = static_cast<std::uint32_t>(std::stoul(reg_node.child_value("Address"), nullptr, 0));
    for (auto entry : enumeration.children("EnumEntry")) {
      SCOPED_TRACE(std::string(enumeration.attribute("Name").value()) +
                   "::" + entry.attribute("Name").value());
      const auto value = static_cast<std::uint32_t>(std::stoul(entry.child_value("Value"), nullptr, 0));
      EXPECT_TRUE(map.write_register(host, address, value, effects));
      EXPECT_EQ(*map.read_register(host, address), value);
    }
  }
}

}  // namespace
}  // namespace corvantic::sim
