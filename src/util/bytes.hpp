// Byte access for codecs, big-endian unless named otherwise. ByteReader never reads past its span:
// every fetch checks the remaining length first and reports failure instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace corvantic::util {

[[nodiscard]] constexpr std::uint16_t load_be16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
[[nodiscard]] constexpr std::uint32_t load_be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}
[[nodiscard]] constexpr std::uint64_t load_be64(const std::uint8_t* p) {
  return (std::uint64_t{load_be32(p)} << 32) | load_be32(p + 4);
}
// Little-endian loads, for the few formats that store fields that way (zip).
[[nodiscard]] constexpr std::uint16_t load_le16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
[[nodiscard]] constexpr std::uint32_t load_le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
         (std::uint32_t{p[3]} << 24);
}
constexpr void store_be16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}
constexpr void store_be32(std::uint8_t* p, std::uint32_t v) {
  store_be16(p, static_cast<std::uint16_t>(v >> 16));
  store_be16(p + 2, static_cast<std::uint16_t>(v));
}
constexpr void store_be64(std::uint8_t* p, std::uint64_t v) {
  store_be32(p, static_cast<std::uint32_t>(v >> 32));
  store_be32(p + 4, static_cast<std::uint32_t>(v));
}

// A cursor over untrusted bytes.
class ByteReader {
 public:
  explicit ByteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  [[nodiscard]] std::size_t remaining() const { return bytes_.size() - pos_; }
  [[nodiscard]] std::size_t position() const { return pos_; }

  [[nodiscard]] std::optional<std::uint8_t> u8() {
    if (remaining() < 1) return std::nullopt;
    return bytes_[pos_++];
  }
  [[nodiscard]] std::optional<std::uint16_t> be16() {
    if (remaining() < 2) return std::nullopt;
    const auto v = load_be16(bytes_.data() + pos_);
    pos_ += 2;
    return v;
  }
  [[nodiscard]] std::optional<std::uint32_t> be32() {
    if (remaining() < 4) return std::nullopt;
    const auto v = load_be32(bytes_.data() + pos_);
    pos_ += 4;
    return v;
  }
  [[nodiscard]] std::optional<std::uint64_t> be64() {
    if (remaining() < 8) return std::nullopt;
    const auto v = load_be64(bytes_.data() + pos_);
    pos_ += 8;
    return v;
  }
  // The next `n` bytes, or nothing when fewer remain.
  [[nodiscard]] std::optional<std::span<const std::uint8_t>> bytes(std::size_t n) {
    if (remaining() < n) return std::nullopt;
    auto s = bytes_.subspan(pos_, n);
    pos_ += n;
    return s;
  }
  [[nodiscard]] bool skip(std::size_t n) {
    if (remaining() < n) return false;
    pos_ += n;
    return true;
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
};

// Appends big-endian fields to a growing datagram.
class ByteWriter {
 public:
  explicit ByteWriter(std::vector<std::uint8_t>& out) : out_(out) {}
  void u8(std::uint8_t v) { out_.push_back(v); }
  void be16(std::uint16_t v) {
    out_.push_back(static_cast<std::uint8_t>(v >> 8));
    out_.push_back(static_cast<std::uint8_t>(v));
  }
  void be32(std::uint32_t v) {
    be16(static_cast<std::uint16_t>(v >> 16));
    be16(static_cast<std::uint16_t>(v));
  }
  void be64(std::uint64_t v) {
    be32(static_cast<std::uint32_t>(v >> 32));
    be32(static_cast<std::uint32_t>(v));
  }
  void bytes(std::span<const std::uint8_t> b) { out_.insert(out_.end(), b.begin(), b.end()); }

 private:
  std::vector<std::uint8_t>& out_;
};

}  // namespace corvantic::util
