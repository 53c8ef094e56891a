// BufferPool: the FrameBuffers of one stream channel, created when the
// channel opens and recycled frame after frame.
//
// The pool is owned through a std::shared_ptr; each buffer holds a weak_ptr
// back to it. A buffer is owned by the pool while it is free, by a
// PooledBuffer while the worker assembles a frame in it, and by the Frames of
// that frame once delivered. Whoever lets go of it last gives it back to the
// pool, or frees it when the pool is gone. Nothing waits on the pool: take and
// give back each hold its mutex for one push or pop.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "gige/stream/frame.hpp"
#include "util/mutex.hpp"

namespace corvantic::gige::stream {

// A buffer taken from its pool, owned by the worker alone while it assembles
// a frame. Dropping it (or reset()) gives the buffer back, as for a frame
// that is abandoned before delivery; Frame(std::move(pooled)) delivers it.
class PooledBuffer {
 public:
  PooledBuffer() = default;
  PooledBuffer(PooledBuffer&& other) noexcept : buffer_(std::exchange(other.buffer_, nullptr)) {}
  PooledBuffer& operator=(PooledBuffer&& other) noexcept {
    if (this != &other) {
      reset();
      buffer_ = std::exchange(other.buffer_, nullptr);
    }
    return *this;
  }
  ~PooledBuffer() { reset(); }

  explicit operator bool() const { return buffer_ != nullptr; }
  [[nodiscard]] FrameBuffer& operator*() const { return *buffer_; }
  [[nodiscard]] FrameBuffer* operator->() const { return buffer_; }
  [[nodiscard]] FrameBuffer* get() const { return buffer_; }

  // Gives the buffer back now; the handle is empty afterwards.
  void reset() noexcept;

 private:
  friend class BufferPool;
  friend class Frame;
  explicit PooledBuffer(FrameBuffer* buffer) : buffer_(buffer) {}

  FrameBuffer* buffer_ = nullptr;
};

class BufferPool {
  struct PrivateTag {};

 public:
  // `n_buffers` buffers of `payload_size` zero-filled bytes, all free.
  [[nodiscard]] static std::shared_ptr<BufferPool> create(std::size_t n_buffers, std::size_t payload_size);

  BufferPool(PrivateTag, std::size_t n_buffers, std::size_t payload_size);
  BufferPool(const BufferPool&) = delete;
  BufferPool& operator=(const BufferPool&) = delete;

  // A free buffer without waiting, or nothing when every buffer is out. Its
  // FrameInfo is reset to zeros; its data and packet states are as the last
  // frame left them.
  [[nodiscard]] std::optional<PooledBuffer> take() EXCLUDES(mutex_);

  [[nodiscard]] std::size_t free_count() const EXCLUDES(mutex_);
  [[nodiscard]] std::size_t n_buffers() const { return n_buffers_; }
  [[nodiscard]] std::size_t payload_size() const { return payload_size_; }

 private:
  friend class PooledBuffer;
  friend class Frame;

  // The end of a buffer's use: back to its pool if that still exists, freed
  // otherwise.
  static void recycle(FrameBuffer* buffer) noexcept;
  void give_back(std::unique_ptr<FrameBuffer> buffer) EXCLUDES(mutex_);

  const std::size_t n_buffers_;
  const std::size_t payload_size_;
  mutable util::Mutex mutex_;
  // Reserved for every buffer at creation, so giving back never allocates.
  std::vector<std::unique_ptr<FrameBuffer>> free_ GUARDED_BY(mutex_);
};

}  // namespace corvantic::gige::stream
