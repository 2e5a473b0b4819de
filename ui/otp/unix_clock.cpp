#include "unix_clock.h"

#include <atomic>
#include <chrono>

namespace unix_clock {

namespace {

uint64_t system_seconds() {
  using namespace std::chrono;
  auto since_epoch = system_clock::now().time_since_epoch();
  auto seconds = duration_cast<std::chrono::seconds>(since_epoch).count();
  return seconds < 0 ? 0 : static_cast<uint64_t>(seconds);
}

std::atomic<source> current{&system_seconds};

} // namespace

uint64_t now() {
  return current.load(std::memory_order_acquire)();
}

void set_source(source fn) {
  current.store(fn ? fn : &system_seconds, std::memory_order_release);
}

} // namespace unix_clock
