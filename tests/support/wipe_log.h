#pragma once

// Records the texts that crypto::secure_clear() wipes, from any thread, while
// it lives: which holders wipe their secrets, and when.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "crypto/secure_clear.h"

namespace testing_support {

class WipeLog {
public:
  WipeLog() {
    {
      std::lock_guard<std::mutex> guard{st().mtx};
      st().texts.clear();
    }
    crypto::set_wipe_observer(&record);
  }
  ~WipeLog() { crypto::set_wipe_observer(nullptr); }
  WipeLog(const WipeLog&) = delete;
  WipeLog& operator=(const WipeLog&) = delete;

  // How often `text` has been wiped so far.
  size_t count(const std::string& text) const {
    std::lock_guard<std::mutex> guard{st().mtx};
    return static_cast<size_t>(std::count(st().texts.begin(), st().texts.end(), text));
  }

  // Waits until `text` has been wiped `n` times (other threads wipe too).
  bool wait_for_count(const std::string& text, size_t n,
                      std::chrono::milliseconds timeout = std::chrono::seconds(3)) const {
    std::unique_lock<std::mutex> lock{st().mtx};
    return st().cv.wait_for(lock, timeout, [&] {
      return static_cast<size_t>(std::count(st().texts.begin(), st().texts.end(), text)) >= n;
    });
  }

private:
  struct state {
    std::mutex mtx;
    std::condition_variable cv;
    std::vector<std::string> texts;
  };
  static state& st() {
    static state s;
    return s;
  }
  static void record(const char* data, std::size_t size) {
    std::lock_guard<std::mutex> guard{st().mtx};
    st().texts.emplace_back(data, size);
    st().cv.notify_all();
  }
};

} // namespace testing_support
