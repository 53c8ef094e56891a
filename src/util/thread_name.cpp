#include "util/thread_name.hpp"

#include <pthread.h>

namespace corvantic::util {

void set_current_thread_name(const std::string& name) {
  // A failure only leaves the default name, so it is ignored.
  [[maybe_unused]] const int rc = pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

}  // namespace corvantic::util
