// Windows: CreateProcess, the output through an inherited pipe.
#include "child_process.h"

#include <windows.h>

#include <stdexcept>
#include <thread>

namespace testing_support {

namespace {

// One argument as CreateProcess's command line parser reads it back.
std::string quoted(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos)
    return arg;
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(2 * backslashes, '\\');
  return out + "\"";
}

HANDLE handle_of(std::intptr_t process) {
  return reinterpret_cast<HANDLE>(process);
}

} // namespace

ChildProcess::ChildProcess(std::vector<std::string> args) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0))
    throw std::runtime_error("pipe failed");
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  std::string command;
  for (auto& arg : args)
    command += (command.empty() ? "" : " ") + quoted(arg);
  STARTUPINFOA start{};
  start.cb = sizeof start;
  start.dwFlags = STARTF_USESTDHANDLES;
  start.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  start.hStdOutput = write_end;
  start.hStdError = write_end;
  PROCESS_INFORMATION info{};
  const BOOL started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      nullptr, &start, &info);
  CloseHandle(write_end);
  if (!started) {
    CloseHandle(read_end);
    throw std::runtime_error("cannot start " + args[0]);
  }
  CloseHandle(info.hThread);
  process_ = reinterpret_cast<std::intptr_t>(info.hProcess);
  HANDLE peek = nullptr;
  DuplicateHandle(GetCurrentProcess(), read_end, GetCurrentProcess(), &peek, 0, FALSE,
                  DUPLICATE_SAME_ACCESS);
  peek_ = reinterpret_cast<std::intptr_t>(peek);
  reader_ = std::thread{[this, pipe = reinterpret_cast<std::intptr_t>(read_end)] {
    read_output(pipe);
  }};
}

ChildProcess::~ChildProcess() {
  kill_now();
  if (reader_.joinable())
    reader_.join();
  CloseHandle(handle_of(peek_));
  CloseHandle(handle_of(process_));
}

void ChildProcess::read_output(std::intptr_t pipe) {
  char buf[4096];
  DWORD n = 0;
  while (ReadFile(reinterpret_cast<HANDLE>(pipe), buf, sizeof buf, &n, nullptr) && n > 0) {
    std::lock_guard<std::mutex> guard{mtx_};
    output_.append(buf, n);
  }
  CloseHandle(reinterpret_cast<HANDLE>(pipe));
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
  if (!exited_) {
    if (WaitForSingleObject(handle_of(process_), static_cast<DWORD>(timeout.count()))
        != WAIT_OBJECT_0)
      return -1;
    DWORD code = 0;
    GetExitCodeProcess(handle_of(process_), &code);
    status_ = static_cast<int>(code);
    exited_ = true;
    // What it wrote last may still be in the pipe: let the reader take it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    DWORD waiting = 1;
    while (std::chrono::steady_clock::now() < deadline
           && PeekNamedPipe(handle_of(peek_), nullptr, 0, nullptr, &waiting, nullptr) && waiting)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return status_;
}

void ChildProcess::kill_now() {
  // Windows has no SIGTERM: ending it at once is what it can do.
  if (!exited_) {
    TerminateProcess(handle_of(process_), 1);
    wait(std::chrono::seconds(5));
  }
}

} // namespace testing_support
