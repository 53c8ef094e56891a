#include "gige/stream/buffer_pool.hpp"

namespace corvantic::gige::stream {

void PooledBuffer::reset() noexcept {
  if (buffer_) BufferPool::recycle(std::exchange(buffer_, nullptr));
}

std::shared_ptr<BufferPool> BufferPool::create(std::size_t n_buffers, std::size_t payload_size) {
  auto pool = std::make_shared<BufferPool>(PrivateTag{}, n_buffers, payload_size);
  util::MutexLock lock(pool->mutex_);
  for (auto& buffer : pool->free_) buffer->pool_ = pool;
  return pool;
}

BufferPool::BufferPool(PrivateTag, std::size_t n_buffers, std::size_t payload_size)
    : n_buffers_(n_buffers), payload_size_(payload_size) {
  util::MutexLock lock(mutex_);
  free_.reserve(n_buffers);
  for (std::size_t i = 0; i < n_buffers; ++i) free_.push_back(std::make_unique<FrameBuffer>(payload_size));
}

std::optional<PooledBuffer> BufferPool::take() {
  std::unique_ptr<FrameBuffer> buffer;
  {
    util::MutexLock lock(mutex_);
    if (free_.empty()) return std::nullopt;
    buffer = std::move(free_.back());
    free_.pop_back();
  }
  buffer->info = FrameInfo{};
  return PooledBuffer(buffer.release());
}

std::size_t BufferPool::free_count() const {
  util::MutexLock lock(mutex_);
  return free_.size();
}

void BufferPool::recycle(FrameBuffer* buffer) noexcept {
  std::unique_ptr<FrameBuffer> owned(buffer);
  // Copying the weak_ptr's target out does not allocate. When this turns out
  // to be the pool's last owner, the pool (and with it the buffer just given
  // back) is destroyed at the end of this scope.
  if (const auto pool = owned->pool_.lock()) pool->give_back(std::move(owned));
}

void BufferPool::give_back(std::unique_ptr<FrameBuffer> buffer) {
  util::MutexLock lock(mutex_);
  free_.push_back(std::move(buffer));
}

}  // namespace corvantic::gige::stream
