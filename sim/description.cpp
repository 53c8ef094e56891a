#include "sim/description.hpp"

#include <zlib.h>

#include <cstdio>

namespace corvantic::sim {

extern const std::string_view DESCRIPTION_XML;

namespace {

// Zip fields are little-endian.
void put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  put16(out, v & 0xFFFF);
  put16(out, v >> 16);
}

constexpr std::uint32_t LOCAL_HEADER_SIGNATURE = 0x04034b50;
constexpr std::uint32_t CENTRAL_HEADER_SIGNATURE = 0x02014b50;
constexpr std::uint32_t END_OF_CENTRAL_DIRECTORY_SIGNATURE = 0x06054b50;
constexpr std::uint16_t VERSION_NEEDED = 20;  // 2.0: deflate
constexpr std::uint16_t DOS_TIME = 0;         // 00:00:00
constexpr std::uint16_t DOS_DATE = 0x21;      // 1980-01-01

// Raw DEFLATE (no zlib header) of `content` at the best compression.
std::vector<std::uint8_t> raw_deflate(std::span<const std::uint8_t> content) {
  z_stream stream{};
  if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
  std::vector<std::uint8_t> out(deflateBound(&stream, static_cast<uLong>(content.size())));
  stream.next_in = const_cast<Bytef*>(content.data());
  stream.avail_in = static_cast<uInt>(content.size());
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  // deflateBound guarantees one call with Z_FINISH completes.
  const int rc = deflate(&stream, Z_FINISH);
  out.resize(rc == Z_STREAM_END ? stream.total_out : 0);
  deflateEnd(&stream);
  return out;
}

}  // namespace

std::string_view description_form_name(DescriptionForm form) {
  switch (form) {
    case DescriptionForm::Plain: return "plain";
    case DescriptionForm::ZipStored: return "zip-stored";
    case DescriptionForm::ZipDeflated: return "zip-deflated";
  }
  return "plain";
}

bool parse_description_form(std::string_view text, DescriptionForm& form) {
  for (auto candidate : {DescriptionForm::Plain, DescriptionForm::ZipStored, DescriptionForm::ZipDeflated}) {
    if (text == description_form_name(candidate)) {
      form = candidate;
      return true;
    }
  }
  return false;
}

std::string_view description_xml() {
  return DESCRIPTION_XML;
}

std::string description_file_name(DescriptionForm form) {
  return form == DescriptionForm::Plain ? "corvantic_sim.xml" : "corvantic_sim.zip";
}

std::vector<std::uint8_t> description_bytes(DescriptionForm form, bool single_frame_entry) {
  std::string xml(description_xml());
  if (!single_frame_entry) {
    const auto entry = xml.find("<EnumEntry Name=\"SingleFrame\"");
    const auto end = xml.find("</EnumEntry>", entry);
    xml.erase(entry, end + std::string_view("</EnumEntry>").size() - entry);
  }
  const std::span<const std::uint8_t> content(reinterpret_cast<const std::uint8_t*>(xml.data()), xml.size());
  if (form == DescriptionForm::Plain) return {content.begin(), content.end()};
  return build_zip("corvantic_sim.xml", content, form == DescriptionForm::ZipDeflated);
}

std::vector<std::uint8_t> build_zip(std::string_view name, std::span<const std::uint8_t> content,
                                    bool deflate) {
  const std::uint32_t crc = static_cast<std::uint32_t>(
      crc32(crc32(0L, Z_NULL, 0), content.data(), static_cast<uInt>(content.size())));
  std::vector<std::uint8_t> packed;
  std::uint16_t method = 0;
  if (deflate) {
    packed = raw_deflate(content);
    method = 8;
  } else {
    packed.assign(content.begin(), content.end());
  }
  const auto compressed = static_cast<std::uint32_t>(packed.size());
  const auto uncompressed = static_cast<std::uint32_t>(content.size());
  const auto name_length = static_cast<std::uint16_t>(name.size());

  std::vector<std::uint8_t> out;
  // Local file header.
  put32(out, LOCAL_HEADER_SIGNATURE);
  put16(out, VERSION_NEEDED);
  put16(out, 0);  // flags
  put16(out, method);
  put16(out, DOS_TIME);
  put16(out, DOS_DATE);
  put32(out, crc);
  put32(out, compressed);
  put32(out, uncompressed);
  put16(out, name_length);
  put16(out, 0);  // extra field length
  out.insert(out.end(), name.begin(), name.end());
  out.insert(out.end(), packed.begin(), packed.end());

  // Central directory: one record.
  const auto central_offset = static_cast<std::uint32_t>(out.size());
  put32(out, CENTRAL_HEADER_SIGNATURE);
  put16(out, VERSION_NEEDED);  // version made by
  put16(out, VERSION_NEEDED);
  put16(out, 0);  // flags
  put16(out, method);
  put16(out, DOS_TIME);
  put16(out, DOS_DATE);
  put32(out, crc);
  put32(out, compressed);
  put32(out, uncompressed);
  put16(out, name_length);
  put16(out, 0);  // extra field length
  put16(out, 0);  // comment length
  put16(out, 0);  // disk number
  put16(out, 0);  // internal attributes
  put32(out, 0);  // external attributes
  put32(out, 0);  // local header offset
  out.insert(out.end(), name.begin(), name.end());
  const auto central_size = static_cast<std::uint32_t>(out.size()) - central_offset;

  // End of central directory.
  put32(out, END_OF_CENTRAL_DIRECTORY_SIGNATURE);
  put16(out, 0);  // this disk
  put16(out, 0);  // disk of the central directory
  put16(out, 1);  // entries on this disk
  put16(out, 1);  // entries in total
  put32(out, central_size);
  put32(out, central_offset);
  put16(out, 0);  // comment length
  return out;
}

std::string local_url(std::string_view file_name, std::uint32_t address, std::uint32_t size) {
  char numbers[32];
  std::snprintf(numbers, sizeof numbers, ";%x;%x", address, size);
  return "Local:" + std::string(file_name) + numbers;
}

}  // namespace corvantic::sim
