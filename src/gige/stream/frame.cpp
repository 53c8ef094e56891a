#include "gige/stream/frame.hpp"

#include <algorithm>

#include "gige/stream/buffer_pool.hpp"

namespace corvantic::gige::stream {

namespace {

constexpr std::uint64_t NS_PER_S = 1'000'000'000;

}  // namespace

std::string_view frame_status_name(FrameStatus status) {
  switch (status) {
    case FrameStatus::Complete: return "Complete";
    case FrameStatus::MissingPackets: return "MissingPackets";
    case FrameStatus::Timeout: return "Timeout";
    case FrameStatus::Aborted: return "Aborted";
    case FrameStatus::WrongPacketId: return "WrongPacketId";
    case FrameStatus::PayloadUnsupported: return "PayloadUnsupported";
  }
  return "unknown";
}

std::uint64_t timestamp_ns(std::uint64_t ticks, std::uint64_t tick_frequency,
                           std::uint64_t system_timestamp_ns) {
  if (tick_frequency == 0) return system_timestamp_ns;
  const std::uint64_t whole = (ticks / tick_frequency) * NS_PER_S;
  // ticks % f may be as large as 2^64 - 2, so its product with 10^9 takes
  // 94 bits; the quotient is below 10^9 again.
  const auto fraction =
      static_cast<std::uint64_t>(Uint128{ticks % tick_frequency} * NS_PER_S / tick_frequency);
  return whole + fraction;
}

FrameBuffer::FrameBuffer(std::size_t payload_size) : data_(payload_size) {}

Frame::Frame(PooledBuffer&& buffer) : buffer_(std::exchange(buffer.buffer_, nullptr)) {
  if (buffer_) buffer_->references_.store(1, std::memory_order_relaxed);
}

std::span<const std::uint8_t> Frame::data() const {
  const FrameBuffer& buffer = checked();
  const auto size = std::min<std::uint64_t>(buffer.info.high_water, buffer.data_.size());
  return {buffer.data_.data(), static_cast<std::size_t>(size)};
}

std::span<const std::uint8_t> Frame::image() const {
  const auto all = chunks();
  if (all.empty()) return data();
  return data().subspan(all.front().offset, all.front().length);
}

std::span<const proto::Chunk> Frame::chunks() const {
  const FrameBuffer& buffer = checked();
  if (!buffer.info.chunk_data) return {};
  return buffer.chunk_layout.chunks();
}

std::optional<std::span<const std::uint8_t>> Frame::chunk(std::uint32_t id) const {
  if (!info().chunk_data) return std::nullopt;
  const proto::Chunk* found = checked().chunk_layout.find(id);
  if (found == nullptr) return std::nullopt;
  return data().subspan(found->offset, found->length);
}

void Frame::drop_reference() noexcept {
  // acq_rel: every holder's reads of the buffer happen before the last
  // holder hands it back for rewriting.
  if (buffer_->references_.fetch_sub(1, std::memory_order_acq_rel) == 1) BufferPool::recycle(buffer_);
  buffer_ = nullptr;
}

}  // namespace corvantic::gige::stream
