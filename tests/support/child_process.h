#pragma once

// A child process for tests: started with its standard output and error
// collected, stopped (SIGTERM) when the object goes away.

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

class ChildProcess {
public:
  // args[0] is looked up in PATH when it names no path.
  explicit ChildProcess(std::vector<std::string> args);
  ~ChildProcess();

  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Everything the process wrote so far (standard output and error, merged).
  std::string output() const;

  // Waits until the output contains `text`; false on timeout or early exit.
  bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout) const;

  // Waits for the process to end; its exit code, or -1 on timeout or signal.
  int wait(std::chrono::milliseconds timeout);

  void kill_now();

private:
  // Appends what the pipe `pipe` delivers to the output until it closes.
  void read_output(std::intptr_t pipe);

  // The pid on POSIX, the process handle on Windows; one source file each.
  std::intptr_t process_ = -1;
  // Windows: a handle on the output pipe, to see that it has been read.
  std::intptr_t peek_ = -1;
  bool exited_ = false;
  int status_ = 0;
  mutable std::mutex mtx_;
  std::string output_;
  std::thread reader_;
};

} // namespace testing_support
