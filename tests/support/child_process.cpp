#include "child_process.h"

#include <thread>

namespace testing_support {

std::string ChildProcess::output() const {
  std::lock_guard<std::mutex> guard{mtx_};
  return output_;
}

bool ChildProcess::wait_for_output(const std::string& text,
                                   std::chrono::milliseconds timeout) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (output().find(text) != std::string::npos)
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return output().find(text) != std::string::npos;
}

} // namespace testing_support
