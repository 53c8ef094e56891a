// Frames: the record of a closed frame over a recycled payload buffer.
//
// The stream worker takes a FrameBuffer from the channel's BufferPool as a
// PooledBuffer (exclusive and writable), assembles the frame in it, fills its
// FrameInfo and turns it into a Frame when the frame closes. From then on the
// buffer is read-only and shared: copies of a Frame share the buffer through
// an atomic reference count kept inside it, so copying or dropping a Frame
// never allocates. When the last copy goes, the buffer returns to its pool
// without waiting, or is freed when the pool no longer exists.
#pragma once

#include <atomic>
#include <cassert>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "gige/proto/chunk_layout.hpp"
#include "gige/stream/pixel_format.hpp"

namespace corvantic::gige::stream {

class BufferPool;
class PooledBuffer;

// How a frame ended.
enum class FrameStatus : std::uint8_t {
  Complete = 0,
  MissingPackets = 1,
  Timeout = 2,
  Aborted = 3,
  WrongPacketId = 4,
  PayloadUnsupported = 5,
};

// The member's name: "Complete", "MissingPackets", ...
[[nodiscard]] std::string_view frame_status_name(FrameStatus status);

// A device timestamp in nanoseconds: ticks / tick_frequency seconds, truncated,
// in unsigned 64-bit arithmetic (the whole seconds wrap like any uint64 product;
// the fraction is exact for every frequency). A frequency of 0 means the device
// gave none, and the host's time of arrival stands in.
[[nodiscard]] std::uint64_t timestamp_ns(std::uint64_t ticks, std::uint64_t tick_frequency,
                                         std::uint64_t system_timestamp_ns);

// The assembly state of one expected packet.
struct PacketState {
  using Clock = std::chrono::steady_clock;
  // eligible_at when the packet has no eligibility time; it is never earlier
  // than any `now`, so an unset time never makes a packet eligible.
  static constexpr Clock::time_point NO_TIME = Clock::time_point::max();

  Clock::time_point eligible_at = NO_TIME;
  bool received = false;
  bool resend_requested = false;
  bool requested_again = false;  // asked for more than once: two copies prove nothing
  // Its payload was written into the frame buffer; a data packet that
  // arrives after the frame failed early is received but never placed.
  bool placed = false;

  [[nodiscard]] bool has_eligible_at() const { return eligible_at != NO_TIME; }
  bool operator==(const PacketState&) const = default;
};

// What the worker records about a frame. Without a leader every
// leader-derived field (sizes, offsets, pixel format, ticks) stays 0.
struct FrameInfo {
  std::uint64_t frame_id = 0;  // the GVSP block id
  FrameStatus status = FrameStatus::Complete;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t x_offset = 0;
  std::uint32_t y_offset = 0;
  std::uint32_t pixel_format_code = 0;
  std::uint64_t timestamp_ticks = 0;
  std::uint64_t timestamp_ns = 0;
  std::uint64_t system_timestamp_ns = 0;  // host wall clock at the leader's arrival, ns since 1970
  std::uint64_t received_size = 0;        // payload bytes copied into the buffer
  std::uint64_t high_water = 0;           // largest end offset written into the buffer
  // Host monotonic time of the first packet that reached the frame.
  std::chrono::steady_clock::time_point opened_at{};
  // A Complete frame whose leader announced chunk data and whose payload
  // holds a valid chunk layout (FrameBuffer::chunk_layout). A layout that
  // does not parse closes the frame PayloadUnsupported instead.
  bool chunk_data = false;

  bool operator==(const FrameInfo&) const = default;
};

// One frame's payload area with its assembly state. Created by a BufferPool
// and reused for frame after frame.
class FrameBuffer {
 public:
  // A zero-filled data area of `payload_size` bytes and no packet states.
  explicit FrameBuffer(std::size_t payload_size);
  FrameBuffer(const FrameBuffer&) = delete;
  FrameBuffer& operator=(const FrameBuffer&) = delete;

  [[nodiscard]] std::size_t payload_size() const { return data_.size(); }
  [[nodiscard]] std::span<std::uint8_t> data() { return data_; }
  [[nodiscard]] std::span<const std::uint8_t> data() const { return data_; }

  // One entry per expected packet of the frame in assembly. The worker sizes
  // it per frame: reset_packets when the frame opens, resize (fresh entries
  // appended) when the expected count changes. The capacity survives reuse,
  // so once the buffer has held a frame of n packets, no later frame of up to
  // n packets allocates.
  [[nodiscard]] std::vector<PacketState>& packets() { return packets_; }
  [[nodiscard]] const std::vector<PacketState>& packets() const { return packets_; }
  void reset_packets(std::size_t count) { packets_.assign(count, PacketState{}); }

  // The frame's record; written by the worker before the frame is delivered,
  // reset to zeros when the pool hands the buffer out.
  FrameInfo info;
  // The chunks of the payload when info.chunk_data is set; written by the
  // worker in place (no allocation), reused frame after frame.
  proto::ChunkLayout chunk_layout;

 private:
  friend class BufferPool;
  friend class Frame;

  std::vector<std::uint8_t> data_;
  std::vector<PacketState> packets_;
  std::atomic<std::size_t> references_{0};  // Frames sharing this buffer
  std::weak_ptr<BufferPool> pool_;          // set once by the pool that created it
};

// A delivered frame: an immutable, shared handle to its buffer. Copies may be
// used and dropped from any thread. A default-constructed or moved-from Frame
// is empty (false); nothing but assignment and destruction may be used on it.
class Frame {
 public:
  Frame() = default;
  // The first reference to a buffer the worker has finished: the buffer is
  // read-only from here on. An empty PooledBuffer gives an empty Frame.
  explicit Frame(PooledBuffer&& buffer);
  Frame(const Frame& other) noexcept : buffer_(other.buffer_) {
    // A new reference is made from an existing one, which keeps the buffer
    // alive; no ordering is needed (the release side orders the recycling).
    if (buffer_) buffer_->references_.fetch_add(1, std::memory_order_relaxed);
  }
  Frame(Frame&& other) noexcept : buffer_(std::exchange(other.buffer_, nullptr)) {}
  Frame& operator=(Frame other) noexcept {
    std::swap(buffer_, other.buffer_);
    return *this;
  }
  ~Frame() {
    if (buffer_) drop_reference();
  }

  explicit operator bool() const { return buffer_ != nullptr; }

  [[nodiscard]] const FrameInfo& info() const { return checked().info; }
  [[nodiscard]] std::uint64_t frame_id() const { return info().frame_id; }
  [[nodiscard]] FrameStatus status() const { return info().status; }
  [[nodiscard]] std::uint32_t width() const { return info().width; }
  [[nodiscard]] std::uint32_t height() const { return info().height; }
  [[nodiscard]] std::uint32_t x_offset() const { return info().x_offset; }
  [[nodiscard]] std::uint32_t y_offset() const { return info().y_offset; }
  [[nodiscard]] std::uint32_t pixel_format_code() const { return info().pixel_format_code; }
  [[nodiscard]] std::uint64_t timestamp_ticks() const { return info().timestamp_ticks; }
  [[nodiscard]] std::uint64_t timestamp_ns() const { return info().timestamp_ns; }
  [[nodiscard]] std::uint64_t system_timestamp_ns() const { return info().system_timestamp_ns; }
  [[nodiscard]] std::uint64_t received_size() const { return info().received_size; }
  [[nodiscard]] std::uint64_t high_water() const { return info().high_water; }

  [[nodiscard]] bool is_complete() const { return status() == FrameStatus::Complete; }
  [[nodiscard]] std::uint32_t bits_per_pixel() const { return stream::bits_per_pixel(pixel_format_code()); }
  [[nodiscard]] std::string pixel_format_name() const {
    return stream::pixel_format_name(pixel_format_code());
  }
  // The first min(high_water, payload_size) bytes of the buffer. In a frame
  // that is not Complete, the places of packets that never arrived are zero.
  [[nodiscard]] std::span<const std::uint8_t> data() const;
  // The pixels: the first chunk's data in a frame with chunk data, else data().
  [[nodiscard]] std::span<const std::uint8_t> image() const;
  // The chunks of the payload, in payload order; none without chunk data.
  [[nodiscard]] std::span<const proto::Chunk> chunks() const;
  // The data of the first chunk with this id; nothing when there is none.
  [[nodiscard]] std::optional<std::span<const std::uint8_t>> chunk(std::uint32_t id) const;
  // The buffer itself, read-only.
  [[nodiscard]] const FrameBuffer& buffer() const { return checked(); }

 private:
  [[nodiscard]] const FrameBuffer& checked() const {
    assert(buffer_ != nullptr && "an empty Frame was read");
    return *buffer_;
  }
  // Releases this reference; the last one recycles the buffer.
  void drop_reference() noexcept;

  FrameBuffer* buffer_ = nullptr;  // holds one of buffer_->references_
};

}  // namespace corvantic::gige::stream
