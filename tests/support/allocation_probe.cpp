#include "allocation_probe.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

thread_local bool probing = false;
thread_local size_t largest = 0;
thread_local size_t refused = 0;
std::atomic<int64_t> live{0};

void* allocate(size_t n) {
  if (probing) {
    if (n > largest)
      largest = n;
    if (n > probe::allocation_cap) {
      refused = n;
      throw std::bad_alloc{};
    }
  }
  void* p = std::malloc(n == 0 ? 1 : n);
  if (p == nullptr)
    throw std::bad_alloc{};
  live.fetch_add(1, std::memory_order_relaxed);
  return p;
}

void release(void* p) noexcept {
  if (p == nullptr)
    return;
  live.fetch_sub(1, std::memory_order_relaxed);
  std::free(p);
}

} // namespace

namespace probe {

scope::scope() {
  largest = 0;
  refused = 0;
  probing = true;
}

scope::~scope() {
  probing = false;
}

size_t largest_request() {
  return largest;
}

size_t refused_request() {
  return refused;
}

int64_t live_allocations() {
  return live.load(std::memory_order_relaxed);
}

} // namespace probe

void* operator new(size_t n) { return allocate(n); }
void* operator new[](size_t n) { return allocate(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  try {
    return allocate(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](size_t n, const std::nothrow_t& tag) noexcept {
  return operator new(n, tag);
}
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, size_t) noexcept { release(p); }
void operator delete[](void* p, size_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }
