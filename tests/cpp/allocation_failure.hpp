// Allocation failures on demand, for tests of the paths that must survive
// them. The test binary replaces the global operator new and delete
// (allocation_failure.cpp) with pass-throughs to malloc and free; while a
// FailLargeAllocations guard lives, every allocation of at least `min_bytes`
// made on a thread of the given name throws std::bad_alloc instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace corvantic::testing {

class FailLargeAllocations {
 public:
  FailLargeAllocations(std::string thread_name, std::size_t min_bytes);
  ~FailLargeAllocations();
  FailLargeAllocations(const FailLargeAllocations&) = delete;
  FailLargeAllocations& operator=(const FailLargeAllocations&) = delete;

  // How many allocations were refused so far.
  [[nodiscard]] std::uint64_t refused() const;
};

}  // namespace corvantic::testing
