// The device identity built from the bootstrap registers read at connect,
// on arbitrary register values and text register contents. The input is
// the nine register values (36 bytes, big-endian), then for each of the six
// text registers one length byte and that many bytes.
//
// Checks: every text is valid UTF-8 without zero bytes and at most three
// bytes per input byte; and where each text fits its register, the identity
// equals the one parsed from a discovery block holding the same registers
// at their addresses (the two paths read one layout).
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "gige/proto/bootstrap.hpp"
#include "util/bytes.hpp"

using namespace corvantic;
using namespace corvantic::gige::proto;

namespace {

// Well-formed UTF-8: shortest forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(const std::string& text) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    const std::uint8_t b = p[i];
    std::size_t len = 0;
    std::uint32_t cp = 0;
    if (b < 0x80) {
      ++i;
      continue;
    } else if ((b & 0xE0) == 0xC0) {
      len = 2;
      cp = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
      len = 3;
      cp = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
      len = 4;
      cp = b & 0x07;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (std::size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    static constexpr std::uint32_t MIN_FOR_LENGTH[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < MIN_FOR_LENGTH[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

void check_text(const std::string& text, std::size_t input_size) {
  if (text.size() > 3 * input_size || !valid_utf8(text) || text.find('\0') != std::string::npos) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  util::ByteReader input({data, size});
  IdentityRegisterValues values;
  for (std::uint32_t& value : values.registers) value = input.be32().value_or(0);
  std::array<std::vector<std::uint8_t>, IDENTITY_TEXT_REGISTERS.size()> texts;
  bool texts_fit = true;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    const std::size_t length = std::min<std::size_t>(input.u8().value_or(0), input.remaining());
    if (const auto bytes = input.bytes(length)) texts[i].assign(bytes->begin(), bytes->end());
    values.texts[i] = texts[i];
    texts_fit = texts_fit && texts[i].size() <= IDENTITY_TEXT_REGISTERS[i].size;
  }

  const DeviceInfo info = device_info_from_registers(values);
  const std::string* shown[] = {&info.manufacturer,      &info.model,  &info.device_version,
                                &info.manufacturer_info, &info.serial, &info.user_defined_name};
  for (std::size_t i = 0; i < texts.size(); ++i) check_text(*shown[i], texts[i].size());
  if (info.mac_string().size() != 17) __builtin_trap();
  if (!info.display().starts_with("DeviceInfo(")) __builtin_trap();

  if (!texts_fit) return 0;
  std::vector<std::uint8_t> block(DISCOVERY_DATA_SIZE, 0);
  for (std::size_t i = 0; i < IDENTITY_REGISTERS.size(); ++i) {
    util::store_be32(block.data() + IDENTITY_REGISTERS[i], values.registers[i]);
  }
  for (std::size_t i = 0; i < texts.size(); ++i) {
    std::copy(texts[i].begin(), texts[i].end(), block.begin() + IDENTITY_TEXT_REGISTERS[i].address);
  }
  const auto parsed = parse_discovery_block(block);
  if (!parsed || *parsed != info) __builtin_trap();
  return 0;
}
