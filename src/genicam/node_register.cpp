// Register access: address and length evaluation, the per-register cache,
// invalidation of dependents, and the integer, float and string codecs.
//
// Cache modes: write-around registers keep the bytes of their last read and
// drop them when written; write-through registers keep the bytes they wrote;
// no-caching registers keep nothing. A cached read touches neither the port
// nor the heap.
//
// Registers on a chunk or event port are read from the port's buffer data
// (a view of the caller's bytes, never cached, since every frame or event
// brings its own); the device path has no such data and refuses them.
#include <bit>
#include <cstring>
#include <limits>

#include "genicam/node.hpp"
#include "util/text.hpp"
#include "util/try.hpp"

namespace corvantic::genicam {

namespace {

[[nodiscard]] std::uint64_t assemble(std::span<const std::uint8_t> bytes, bool big_endian) {
  std::uint64_t raw = 0;
  if (big_endian) {
    for (const auto b : bytes) raw = (raw << 8) | b;
  } else {
    for (auto it = bytes.rbegin(); it != bytes.rend(); ++it) raw = (raw << 8) | *it;
  }
  return raw;
}

void disassemble(std::uint64_t raw, bool big_endian, std::span<std::uint8_t> out) {
  const auto n = out.size();
  for (std::size_t i = 0; i < n; ++i) {
    const auto byte = static_cast<std::uint8_t>(raw >> (8 * i));
    out[big_endian ? n - 1 - i : i] = byte;
  }
}

// Wrapping arithmetic on signed 64-bit values (the bit numbers come from the
// document and may be anything).
[[nodiscard]] std::int64_t wrapping_sub(std::int64_t a, std::int64_t b) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}

[[nodiscard]] std::string length_message(std::string_view what, std::int64_t length) {
  std::string message = "unsupported ";
  if (!what.empty()) {
    message.append(what);
    message.push_back(' ');
  }
  message.append("register length ");
  message.append(std::to_string(length));
  return message;
}

struct BitRange {
  std::int64_t low;
  std::int64_t high;
};

// The field low..high (bit 0 least significant) of an n-byte register.
[[nodiscard]] std::expected<BitRange, std::string> bit_range(const RegisterNode& reg, std::size_t n) {
  const auto width = static_cast<std::int64_t>(8 * n);
  const auto low_end = reg.lsb ? reg.lsb : reg.bit;
  const auto high_end = reg.msb ? reg.msb : reg.bit;
  BitRange range{0, width - 1};
  if (reg.big_endian) {
    if (low_end) {
      range.low = wrapping_sub(width - 1, *low_end);
      range.high = wrapping_sub(width - 1, high_end.value_or(*low_end));
    } else if (high_end) {
      range.low = range.high = wrapping_sub(width - 1, *high_end);
    }
  } else {
    if (low_end) {
      range.low = *low_end;
      range.high = high_end.value_or(*low_end);
    } else if (high_end) {
      range.high = *high_end;
    }
  }
  if (range.low < 0 || range.low > range.high || range.high >= width) {
    return std::unexpected("bad bit range " + std::to_string(range.low) + ".." + std::to_string(range.high) +
                           " for " + std::to_string(n) + " bytes");
  }
  return range;
}

[[nodiscard]] bool has_bit_field(const RegisterNode& reg) {
  return reg.bit || reg.lsb || reg.msb;
}

}  // namespace

GenicamResult<std::int64_t> FeatureModel::register_address(const RegisterNode& reg, RegisterPort& port) {
  std::uint64_t address = 0;
  for (const auto& term : reg.address) {
    CORVANTIC_TRY(const std::int64_t value, integer_source(term, port));
    address += static_cast<std::uint64_t>(value);
  }
  return static_cast<std::int64_t>(address);
}

GenicamResult<std::int64_t> FeatureModel::register_length(const RegisterNode& reg, RegisterPort& port) {
  if (reg.length.form == ValueSource::Form::Absent) return 4;
  return integer_source(reg.length, port);
}

GenicamResult<FeatureModel::RegisterBytes> FeatureModel::read_register(std::uint32_t index,
                                                                       std::string_view what,
                                                                       RegisterPort& port) {
  auto& node = nodes_[index];
  auto* reg = std::get_if<RegisterNode>(&node.payload);
  if (reg == nullptr) return std::unexpected(GenicamError::wrong_type(node.name));
  if (reg->access == AccessMode::WO) return std::unexpected(GenicamError::access_denied(node.name));
  if (const auto buffer = buffer_port(index)) return read_buffer_register(index, *reg, *buffer, what, port);
  if (reg->cache_mode != CacheMode::NoCache && reg->cache) return RegisterBytes{{}, *reg->cache};
  if (!port.reaches_device()) return std::unexpected(GenicamError::access_denied(node.name));

  CORVANTIC_TRY(const std::int64_t address, register_address(*reg, port));
  CORVANTIC_TRY(const std::int64_t length, register_length(*reg, port));
  if (length < 0 || length > MAX_REGISTER_LENGTH) {
    return std::unexpected(GenicamError::evaluation(node.name, length_message(what, length)));
  }
  CORVANTIC_TRY(auto bytes, port.read(static_cast<std::uint64_t>(address), static_cast<std::size_t>(length)));
  if (reg->cache_mode == CacheMode::NoCache) {
    RegisterBytes result{std::move(bytes), {}};
    result.view = result.owned;
    return result;
  }
  reg->cache = std::move(bytes);
  return RegisterBytes{{}, *reg->cache};
}

GenicamResult<FeatureModel::RegisterBytes> FeatureModel::read_buffer_register(std::uint32_t index,
                                                                              const RegisterNode& reg,
                                                                              BufferPort buffer,
                                                                              std::string_view what,
                                                                              RegisterPort& port) {
  const std::string& name = nodes_[index].name;
  const BufferData* data = port.buffer_data();
  if (data == nullptr) return std::unexpected(GenicamError::access_denied(name));
  const char* source = buffer.kind == BufferKind::Chunk ? "chunk " : "event ";
  const auto bytes = data->kind() == buffer.kind ? data->find(buffer.id) : std::nullopt;
  if (!bytes) {
    return std::unexpected(GenicamError::evaluation(name, source + util::hex(buffer.id) + " is not in the data"));
  }
  CORVANTIC_TRY(const std::int64_t offset, register_address(reg, port));
  CORVANTIC_TRY(const std::int64_t length, register_length(reg, port));
  if (length < 0 || length > MAX_REGISTER_LENGTH) {
    return std::unexpected(GenicamError::evaluation(name, length_message(what, length)));
  }
  // Compared as unsigned: a negative offset is beyond any span.
  const auto start = static_cast<std::uint64_t>(offset);
  const auto size = static_cast<std::uint64_t>(length);
  if (start > bytes->size() || size > bytes->size() - start) {
    return std::unexpected(GenicamError::evaluation(
        name, std::to_string(size) + " bytes at offset " + std::to_string(offset) + " run past the " +
                  std::to_string(bytes->size()) + " bytes of " + source + util::hex(buffer.id)));
  }
  return RegisterBytes{{}, bytes->subspan(start, size)};
}

GenicamResult<void> FeatureModel::write_register(std::uint32_t index, std::vector<std::uint8_t> bytes,
                                                 RegisterPort& port) {
  auto& reg = std::get<RegisterNode>(nodes_[index].payload);
  // Chunk and event data are the device's report, not its memory.
  if (buffer_port(index) || !port.reaches_device()) {
    return std::unexpected(GenicamError::access_denied(nodes_[index].name));
  }
  CORVANTIC_TRY(const std::int64_t address, register_address(reg, port));
  CORVANTIC_TRY_VOID(port.write(static_cast<std::uint64_t>(address), bytes));
  // Registers that name the written register, or a node on the way to it,
  // in their pInvalidator drop their bytes: the operation's node, then the
  // nodes it went through, which the evaluation stack holds while the write
  // runs (reads on the way have been popped again). Dependents of those
  // registers are not visited.
  const auto invalidate_dependents = [&](std::uint32_t node) {
    for (const auto dependent : dependents(node)) {
      if (auto* other = std::get_if<RegisterNode>(&nodes_[dependent].payload)) other->cache.reset();
    }
  };
  if (operation_root_ != NO_NODE) invalidate_dependents(operation_root_);
  for (const auto node : stack_) invalidate_dependents(node);
  invalidate_dependents(index);
  // The written bytes are the register's own, even when it names itself.
  if (reg.cache_mode == CacheMode::WriteThrough) {
    reg.cache = std::move(bytes);
  } else {
    reg.cache.reset();
  }
  return {};
}

GenicamResult<std::int64_t> FeatureModel::read_int_register(std::uint32_t index, RegisterPort& port) {
  CORVANTIC_TRY(const RegisterBytes bytes, read_register(index, "integer", port));
  const auto& reg = std::get<RegisterNode>(nodes_[index].payload);
  const auto n = bytes.view.size();
  if (n < 1 || n > 8) {
    return std::unexpected(GenicamError::evaluation(nodes_[index].name,
                                                    length_message("integer", static_cast<std::int64_t>(n))));
  }
  const auto range = bit_range(reg, n);
  if (!range) return std::unexpected(GenicamError::evaluation(nodes_[index].name, range.error()));
  const std::uint64_t raw = assemble(bytes.view, reg.big_endian);
  const auto width = range->high - range->low + 1;
  if (width == 64) return static_cast<std::int64_t>(raw);
  const std::uint64_t mask = (std::uint64_t{1} << width) - 1;
  std::uint64_t field = (raw >> range->low) & mask;
  if (reg.is_signed && ((field >> (width - 1)) & 1U) != 0) field |= ~mask;
  return static_cast<std::int64_t>(field);
}

GenicamResult<void> FeatureModel::write_int_register(std::uint32_t index, std::int64_t value,
                                                     RegisterPort& port) {
  auto& node = nodes_[index];
  const auto& reg = std::get<RegisterNode>(node.payload);
  if (reg.access == AccessMode::RO) return std::unexpected(GenicamError::access_denied(node.name));
  CORVANTIC_TRY(const std::int64_t length, register_length(reg, port));
  if (length < 1 || length > 8) {
    return std::unexpected(GenicamError::evaluation(node.name, length_message("integer", length)));
  }

  if (!has_bit_field(reg)) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length));
    disassemble(static_cast<std::uint64_t>(value), reg.big_endian, bytes);
    return write_register(index, std::move(bytes), port);
  }

  // A write-only register cannot be read: the field is written with the
  // other bits zero (such registers hold commands, whose other bits mean
  // "do nothing"). Any other register is read, modified and written, so
  // that the bits outside the field keep their current value.
  RegisterBytes current;
  if (reg.access == AccessMode::WO) {
    current.owned.assign(static_cast<std::size_t>(length), 0);
    current.view = current.owned;
  } else {
    CORVANTIC_TRY(current, read_register(index, "integer", port));
  }
  const auto n = current.view.size();
  if (n < 1 || n > 8) {
    return std::unexpected(
        GenicamError::evaluation(node.name, length_message("integer", static_cast<std::int64_t>(n))));
  }
  const auto range = bit_range(reg, n);
  if (!range) return std::unexpected(GenicamError::evaluation(node.name, range.error()));
  std::uint64_t raw = assemble(current.view, reg.big_endian);
  const auto width = range->high - range->low + 1;
  if (width == 64) {
    raw = static_cast<std::uint64_t>(value);
  } else {
    const std::uint64_t mask = ((std::uint64_t{1} << width) - 1) << range->low;
    raw = (raw & ~mask) | ((static_cast<std::uint64_t>(value) << range->low) & mask);
  }
  std::vector<std::uint8_t> bytes(n);
  disassemble(raw, reg.big_endian, bytes);
  return write_register(index, std::move(bytes), port);
}

GenicamResult<double> FeatureModel::read_float_register(std::uint32_t index, RegisterPort& port) {
  CORVANTIC_TRY(const RegisterBytes bytes, read_register(index, "float", port));
  const auto& reg = std::get<RegisterNode>(nodes_[index].payload);
  const auto n = bytes.view.size();
  const std::uint64_t raw = assemble(bytes.view, reg.big_endian);
  if (n == 4) return static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(raw)));
  if (n == 8) return std::bit_cast<double>(raw);
  return std::unexpected(
      GenicamError::evaluation(nodes_[index].name, length_message("float", static_cast<std::int64_t>(n))));
}

GenicamResult<void> FeatureModel::write_float_register(std::uint32_t index, double value,
                                                       RegisterPort& port) {
  auto& node = nodes_[index];
  const auto& reg = std::get<RegisterNode>(node.payload);
  if (reg.access == AccessMode::RO) return std::unexpected(GenicamError::access_denied(node.name));
  CORVANTIC_TRY(const std::int64_t length, register_length(reg, port));
  std::uint64_t raw = 0;
  if (length == 4) {
    raw = std::bit_cast<std::uint32_t>(static_cast<float>(value));
  } else if (length == 8) {
    raw = std::bit_cast<std::uint64_t>(value);
  } else {
    return std::unexpected(GenicamError::evaluation(node.name, length_message("float", length)));
  }
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length));
  disassemble(raw, reg.big_endian, bytes);
  return write_register(index, std::move(bytes), port);
}

GenicamResult<std::string> FeatureModel::read_string_register(std::uint32_t index, RegisterPort& port) {
  CORVANTIC_TRY(const RegisterBytes bytes, read_register(index, "string", port));
  return util::decode_text_field(bytes.view);
}

GenicamResult<void> FeatureModel::write_string_register(std::uint32_t index, std::string_view text,
                                                        RegisterPort& port) {
  auto& node = nodes_[index];
  const auto& reg = std::get<RegisterNode>(node.payload);
  if (reg.access == AccessMode::RO) return std::unexpected(GenicamError::access_denied(node.name));
  CORVANTIC_TRY(const std::int64_t length, register_length(reg, port));
  if (length < 0 || length > MAX_REGISTER_LENGTH) {
    return std::unexpected(GenicamError::evaluation(node.name, length_message("string", length)));
  }
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length), 0);
  if (!bytes.empty() && !text.empty()) {
    std::memcpy(bytes.data(), text.data(), std::min(bytes.size(), text.size()));
  }
  return write_register(index, std::move(bytes), port);
}

}  // namespace corvantic::genicam
