// POSIX: fork and exec, the output through a pipe.
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
  const pid_t pid = ::fork();
  if (pid == 0) {
    // The child dies with the test process, even when that one crashes.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    ::dup2(fds[1], STDOUT_FILENO);
    ::dup2(fds[1], STDERR_FILENO);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  if (pid < 0) {
    ::close(fds[0]);
    throw std::runtime_error("cannot start " + args[0]);
  }
  process_ = pid;
  reader_ = std::thread{[this, fd = fds[0]] { read_output(fd); }};
}

ChildProcess::~ChildProcess() {
  if (!exited_) {
    ::kill(static_cast<pid_t>(process_), SIGTERM);
    if (wait(std::chrono::seconds(5)) == -1 && !exited_) {
      ::kill(static_cast<pid_t>(process_), SIGKILL);
      ::waitpid(static_cast<pid_t>(process_), &status_, 0);
    }
  }
  if (reader_.joinable())
    reader_.join();
}

void ChildProcess::read_output(std::intptr_t pipe) {
  const int fd = static_cast<int>(pipe);
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

int ChildProcess::wait(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!exited_) {
    auto rc = ::waitpid(static_cast<pid_t>(process_), &status_, WNOHANG);
    if (rc == static_cast<pid_t>(process_)) {
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
    ::kill(static_cast<pid_t>(process_), SIGKILL);
    wait(std::chrono::seconds(5));
  }
}

} // namespace testing_support
