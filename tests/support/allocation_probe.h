#pragma once

// Replaces the global operator new and delete of the test executable that
// links it: counts the allocations alive in the whole process and, while a
// thread holds a probe::scope, records that thread's largest request and
// refuses any request above the cap with std::bad_alloc.

#include <cstddef>
#include <cstdint>

namespace probe {

constexpr size_t allocation_cap = size_t{1} << 20;

class scope {
public:
  scope();
  ~scope();
  scope(const scope&) = delete;
  scope& operator=(const scope&) = delete;
};

// The largest request and the last refused one of this thread's latest scope.
size_t largest_request();
size_t refused_request();

// Allocations made with operator new and not yet deleted, all threads.
int64_t live_allocations();

} // namespace probe
