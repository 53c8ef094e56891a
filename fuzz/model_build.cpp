// Description building on arbitrary bytes, then evaluation of the built
// model: a document either fails with DeviceDescription or Malformed, or
// builds a model whose nodes answer every read and write with a value or
// one error, with the evaluation stack empty after each operation. Every
// name, text and error message is valid UTF-8, whatever bytes and character
// references the document holds.
//
// An input that begins with a zip local header is an archive: its first
// entry is the document, as a device serves it. The seeds use this to
// stay small while their documents inflate beyond the build's limits.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "genicam/node.hpp"
#include "genicam/url.hpp"
#include "util/text.hpp"

using namespace corvantic;
using namespace corvantic::genicam;
using namespace corvantic::gige;

namespace {

// Nodes evaluated per input; the rest of a large model is only built.
constexpr std::uint32_t MAX_NODES_EVALUATED = 32;
// Reads longer than this fail like a device refusing them would.
constexpr std::size_t MAX_READ = 4096;

// A device of zeros that remembers nothing; a read fails once in a while
// (on every 7th access) so that transport failures travel through the model.
class FuzzPort final : public RegisterPort {
 public:
  CameraResult<std::vector<std::uint8_t>> read(std::uint64_t address, std::size_t length) override {
    if (length > MAX_READ || (++accesses_ % 7 == 0)) return std::unexpected(CameraError::ack_timeout());
    std::vector<std::uint8_t> bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>((address + i) * 37);
    return bytes;
  }
  CameraResult<void> write(std::uint64_t, std::span<const std::uint8_t> data) override {
    // Lengths above the model's cap never reach a port.
    if (data.size() > static_cast<std::size_t>(MAX_REGISTER_LENGTH)) __builtin_trap();
    if (++accesses_ % 7 == 0) return std::unexpected(CameraError::ack_timeout());
    return {};
  }

 private:
  std::uint64_t accesses_ = 0;
};

void check_text(std::string_view text) {
  if (!util::is_valid_utf8(text)) __builtin_trap();
}

template <typename T>
void check(const FeatureModel& model, const GenicamResult<T>& result) {
  if (!model.evaluation_stack().empty()) __builtin_trap();
  if (!result) {
    const auto kind = result.error().kind();
    if (kind == GenicamError::Kind::FeatureNotFound || kind == GenicamError::Kind::OutOfRange ||
        kind == GenicamError::Kind::DeviceDescription || kind == GenicamError::Kind::SnapTimeout) {
      __builtin_trap();
    }
    const std::string text = result.error().display();
    if (text.empty()) __builtin_trap();
    check_text(text);
    return;
  }
  if constexpr (std::is_same_v<T, std::string>) {
    check_text(*result);
  } else if constexpr (std::is_same_v<T, std::vector<std::string>>) {
    for (const auto& entry : *result) check_text(entry);
  }
}

bool is_archive(std::span<const std::uint8_t> input) {
  return input.size() >= 4 && input[0] == 'P' && input[1] == 'K' && input[2] == 3 && input[3] == 4;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> input(data, size);
  std::vector<std::uint8_t> entry;
  if (is_archive(input)) {
    auto unzipped = unzip_first_entry(input);
    if (!unzipped) return 0;
    entry = std::move(*unzipped);
    input = entry;
  }
  const std::string_view text(reinterpret_cast<const char*>(input.data()), input.size());
  auto built = build_feature_model(text);
  if (!built) {
    const GenicamError& error = built.error();
    const bool malformed = error.kind() == GenicamError::Kind::Transport &&
                           error.transport()->kind() == CameraError::Kind::Malformed;
    if (error.kind() != GenicamError::Kind::DeviceDescription && !malformed) __builtin_trap();
    check_text(error.display());
    return 0;
  }
  FeatureModel& model = *built;
  // The built-in nodes are always there.
  if (!model.contains("TLParamsLocked") || !model.contains("GevSCPSPacketSize") ||
      !model.contains("GevTimestampTickFrequency")) {
    __builtin_trap();
  }
  // The name index answers for every node's name with that name's last node.
  if (model.size() > MAX_MODEL_NODES) __builtin_trap();
  for (std::uint32_t i = 0; i < model.size(); ++i) {
    check_text(model.name(i));
    const auto found = model.index_of(model.name(i));
    if (!found || *found < i || model.name(*found) != model.name(i)) __builtin_trap();
    for (const auto dependent : model.dependents(i)) {
      if (dependent >= model.size()) __builtin_trap();
    }
  }

  FuzzPort port;
  const auto count = model.size() < MAX_NODES_EVALUATED ? model.size() : MAX_NODES_EVALUATED;
  for (std::uint32_t i = 0; i < count; ++i) {
    check(model, model.read_integer(i, port));
    check(model, model.read_float(i, port));
    check(model, model.read_boolean(i, port));
    check(model, model.read_string(i, port));
    check(model, model.integer_bounds(i, port));
    check(model, model.float_bounds(i, port));
    check(model, model.integer_increment(i, port));
    check(model, model.access_mode(i));
    const auto entries = model.enum_entries(i);
    check(model, entries);
    if (entries && !entries->empty()) check(model, model.select_entry(i, entries->front(), port));
    check(model, model.guarded(i, [&] { return model.read_integer(i, port); }));
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    check(model, model.write_integer(i, static_cast<std::int64_t>(i) - 3, port));
    check(model, model.write_float(i, 0.5 * i, port));
    check(model, model.write_boolean(i, (i & 1) != 0, port));
    check(model, model.write_string(i, "fuzz", port));
    check(model, model.execute(i, port));
    check(model, model.read_integer(i, port));
  }
  model.invalidate_caches();
  for (std::uint32_t i = 0; i < count; ++i) {
    const auto* reg = std::get_if<RegisterNode>(&model.node(i).payload);
    if (reg != nullptr && reg->cache) __builtin_trap();
  }
  return 0;
}
