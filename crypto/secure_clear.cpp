#include "crypto/secure_clear.h"

#include <atomic>

namespace crypto {

namespace {

std::atomic<wipe_observer> current_observer{nullptr};

} // namespace

void set_wipe_observer(wipe_observer observer) noexcept {
  current_observer.store(observer, std::memory_order_release);
}

void notify_wipe(const char* data, std::size_t size) noexcept {
  if (auto observer = current_observer.load(std::memory_order_acquire))
    observer(data, size);
}

} // namespace crypto
