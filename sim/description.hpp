// The virtual camera's GenICam description and the forms it is served in:
// the plain XML document, or a zip archive holding it as a stored or a
// deflated entry.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace corvantic::sim {

enum class DescriptionForm : std::uint8_t { Plain, ZipStored, ZipDeflated };

// "plain", "zip-stored", "zip-deflated".
[[nodiscard]] std::string_view description_form_name(DescriptionForm form);
[[nodiscard]] bool parse_description_form(std::string_view text, DescriptionForm& form);

// The XML document (UTF-8, no byte-order mark): sim/description.xml, which
// the build embeds byte for byte.
[[nodiscard]] std::string_view description_xml();

// The file name the location register announces: corvantic_sim.xml or
// corvantic_sim.zip.
[[nodiscard]] std::string description_file_name(DescriptionForm form);

// The bytes served from device memory for `form`. Without
// `single_frame_entry` the AcquisitionMode enumeration offers no SingleFrame
// entry, as on cameras that only stream continuously.
[[nodiscard]] std::vector<std::uint8_t> description_bytes(DescriptionForm form, bool single_frame_entry = true);

// A zip archive with one entry named `name` holding `content`, stored
// (method 0) or raw-deflated (method 8): local file header, data, central
// directory record, end-of-central-directory record, with the CRC-32 and
// both sizes filled in.
[[nodiscard]] std::vector<std::uint8_t> build_zip(std::string_view name,
                                                  std::span<const std::uint8_t> content, bool deflate);

// The location text: "Local:<file>;<hex address>;<hex size>" (no 0x prefix).
[[nodiscard]] std::string local_url(std::string_view file_name, std::uint32_t address, std::uint32_t size);

}  // namespace corvantic::sim
