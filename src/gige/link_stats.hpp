// LinkStats: the control channel's counters. The worker updates them one
// counter per lock hold; readers copy a consistent snapshot.
#pragma once

#include <cstdint>

#include "util/mutex.hpp"

namespace corvantic::gige {

struct LinkStats {
  std::uint64_t commands = 0;
  std::uint64_t acks = 0;
  std::uint64_t retries = 0;
  std::uint64_t timeouts = 0;
  std::uint64_t naks = 0;
  std::uint64_t pending_acks = 0;
  std::uint64_t heartbeats = 0;
  std::uint64_t events = 0;
  std::uint64_t unsolicited = 0;
  bool control_lost = false;

  bool operator==(const LinkStats&) const = default;
};

class SharedLinkStats {
 public:
  using Counter = std::uint64_t LinkStats::*;

  void increment(Counter counter) {
    util::MutexLock lock(mutex_);
    ++(stats_.*counter);
  }
  void set_control_lost() {
    util::MutexLock lock(mutex_);
    stats_.control_lost = true;
  }
  [[nodiscard]] LinkStats snapshot() const {
    util::MutexLock lock(mutex_);
    return stats_;
  }

 private:
  mutable util::Mutex mutex_;
  LinkStats stats_ GUARDED_BY(mutex_);
};

}  // namespace corvantic::gige
