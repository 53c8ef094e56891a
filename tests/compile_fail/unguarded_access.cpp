// Proof that the lock annotations are checked: ctest compiles this file twice
// in the clang thread-safety build. With HOLD_LOCK the guarded field is
// written under its lock and the file must compile; without it the same write
// is unguarded and clang must reject it. The twin keeps the failing case from
// passing merely because the file does not compile at all.
#include "util/mutex.hpp"

namespace {

class Counter {
 public:
  void increment() {
#if defined(HOLD_LOCK)
    corvantic::util::MutexLock lock(mutex_);
#endif
    ++count_;
  }

 private:
  corvantic::util::Mutex mutex_;
  int count_ GUARDED_BY(mutex_) = 0;
};

}  // namespace

int main() {
  Counter counter;
  counter.increment();
}
