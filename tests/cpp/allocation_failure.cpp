#include "allocation_failure.hpp"

#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace corvantic::testing {
namespace {

// Thread names hold at most 15 bytes and the terminating zero.
constexpr std::size_t NAME_SIZE = 16;

std::atomic<bool> armed{false};
std::atomic<std::size_t> threshold{0};
std::atomic<std::uint64_t> refusals{0};
char target_name[NAME_SIZE] = {};  // written only while disarmed

bool refuse(std::size_t size) {
  if (!armed.load(std::memory_order_acquire) || size < threshold.load(std::memory_order_relaxed)) return false;
  char name[NAME_SIZE] = {};
  if (pthread_getname_np(pthread_self(), name, sizeof name) != 0) return false;
  if (std::strncmp(name, target_name, NAME_SIZE) != 0) return false;
  refusals.fetch_add(1, std::memory_order_relaxed);
  return true;
}

void* allocate(std::size_t size) {
  if (refuse(size)) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}

}  // namespace

FailLargeAllocations::FailLargeAllocations(std::string thread_name, std::size_t min_bytes) {
  std::strncpy(target_name, thread_name.c_str(), NAME_SIZE - 1);
  threshold.store(min_bytes, std::memory_order_relaxed);
  refusals.store(0, std::memory_order_relaxed);
  armed.store(true, std::memory_order_release);
}

FailLargeAllocations::~FailLargeAllocations() { armed.store(false, std::memory_order_release); }

std::uint64_t FailLargeAllocations::refused() const { return refusals.load(std::memory_order_relaxed); }

}  // namespace corvantic::testing

// The replaceable global allocation functions, all of the unaligned forms so
// that every allocation and release of the binary meets in malloc and free.
// The aligned forms stay the library's own, which pairs them among
// themselves.
void* operator new(std::size_t size) {
  void* p = corvantic::testing::allocate(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return corvantic::testing::allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return corvantic::testing::allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
