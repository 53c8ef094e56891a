// Names the calling thread, as tools like top and gdb show it.
#pragma once

#include <string>

namespace corvantic::util {

// Linux keeps at most 15 characters; longer names are cut.
void set_current_thread_name(const std::string& name);

}  // namespace corvantic::util
