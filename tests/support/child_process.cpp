#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

namespace testing_support {

ChildProcess::ChildProcess(std::vector<std::string> args) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  std::vector<char*> argv;
  for (auto& arg : args)
    argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    // The child dies with the test process, even when that one crashes.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    ::dup2(fds[1], STDOUT_FILENO);
    ::dup2(fds[1], STDERR_FILENO);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  if (pid_ < 0) {
    ::close(fds[0]);
    throw std::runtime_error("cannot start " + args[0]);
  }
  reader_ = std::thread{[this, fd = fds[0]] { read_output(fd); }};
}

ChildProcess::~ChildProcess() {
  if (!exited_) {
    ::kill(pid_, SIGTERM);
    if (wait(std::chrono::seconds(5)) == -1 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status_, 0);
    }
  }
  if (reader_.joinable())
    reader_.join();
}

void ChildProcess::read_output(int fd) {
  char buf[4096];
  for (;;) {
    auto n = ::read(fd, buf, sizeof(buf));
    if (n <= 0)
      break;
    std::lock_guard<std::mutex> guard{mtx_};
    output_.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
}

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

int ChildProcess::wait(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!exited_) {
    auto rc = ::waitpid(pid_, &status_, WNOHANG);
    if (rc == pid_) {
      exited_ = true;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline)
      return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

void ChildProcess::kill_now() {
  if (!exited_) {
    ::kill(pid_, SIGKILL);
    wait(std::chrono::seconds(5));
  }
}

} // namespace testing_support
