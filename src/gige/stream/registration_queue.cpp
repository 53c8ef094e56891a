#include "gige/stream/registration_queue.hpp"

namespace corvantic::gige::stream {

bool RegistrationQueue::send(Registration registration) {
  {
    util::MutexLock lock(mutex_);
    if (closed_) {
      // `registration` is released after the lock (a parameter outlives the
      // locals): a refused subscription ends at once.
      return false;
    }
    pending_.push_back(std::move(registration));
  }
  wake();
  return true;
}

void RegistrationQueue::wake() const {
  // Best effort: a worker that misses the wake sees the queue at its next
  // poll time-out.
  [[maybe_unused]] auto woken = waker_.wake();
}

void RegistrationQueue::take(std::vector<Registration>& into) {
  into.clear();
  util::MutexLock lock(mutex_);
  into.swap(pending_);
}

void RegistrationQueue::close() {
  std::vector<Registration> left;
  {
    util::MutexLock lock(mutex_);
    closed_ = true;
    left.swap(pending_);
  }
  // `left` releases its senders here, outside the lock.
}

}  // namespace corvantic::gige::stream
