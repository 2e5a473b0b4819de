#pragma once

// What the PIN pages' worker threads share: how they are started, how PINs
// reach them and are wiped after them, the guard that gives the page its
// button back, and the one way they speak to a page.

#include <array>
#include <cstddef>
#include <exception>
#include <functional>
#include <string>
#include <thread>
#include <utility>

#include <spdlog/spdlog.h>

#include "caf/actor.hpp"
#include "caf/send.hpp"

#include <QByteArray>
#include <QString>

#include "crypto/secure_clear.h"
#include "vocabulary.h"

// Runs a job on a new detached thread; throws std::system_error when no
// thread can be started.
using thread_starter = std::function<void(std::function<void()>)>;

inline void start_detached(std::function<void()> job) {
  std::thread(std::move(job)).detach();
}

// The UTF-8 text of a PIN field, for a worker; the conversion's own buffer is
// wiped. (The field keeps its text: the pages keep it after a failure.)
inline std::string pin_text(const QString& field_text) {
  QByteArray utf8 = field_text.toUtf8();
  std::string text(utf8.constData(), static_cast<size_t>(utf8.size()));
  if (!utf8.isEmpty())
    crypto::secure_wipe(utf8.data(), static_cast<size_t>(utf8.size()));
  return text;
}

// Wipes a worker's PINs when it ends, however it ends.
template <std::size_t N>
class wipe_on_exit {
public:
  template <class... Texts>
  explicit wipe_on_exit(Texts&... texts) : texts{&texts...} {}
  wipe_on_exit(const wipe_on_exit&) = delete;
  wipe_on_exit& operator=(const wipe_on_exit&) = delete;
  ~wipe_on_exit() {
    for (auto text : texts)
      crypto::secure_clear(*text);
  }

private:
  std::array<std::string*, N> texts;
};

template <class... Texts>
wipe_on_exit(Texts&...) -> wipe_on_exit<sizeof...(Texts)>;

// Gives the page its button back when the worker ends, however it ends: its
// enable_atom is always the worker's last message to the page.
class enable_on_exit {
public:
  explicit enable_on_exit(caf::actor page) : page(std::move(page)) {}
  enable_on_exit(const enable_on_exit&) = delete;
  enable_on_exit& operator=(const enable_on_exit&) = delete;
  ~enable_on_exit() {
    if (page)
      caf::anon_send(page, ::enable_atom{});
  }

private:
  caf::actor page;
};

// A line for the page's message label.
inline void tell(const caf::actor& page, std::string text) {
  if (page)
    caf::anon_send(page, ::msg_atom{}, std::move(text));
}

// Runs a worker's `job`. An exception must neither end the thread without
// unwinding (the guard has to run) nor pass unnoticed: it is logged at error
// level with `worker` and what it says, and the page shows `failure_text`.
template <class Job>
void run_worker(const caf::actor& page, const char* worker, const std::string& failure_text,
                Job&& job) {
  auto report = [&](const char* what) {
    try {
      spdlog::error("[{}] worker failed: {}", worker, what);
      tell(page, failure_text);
    } catch (...) {
    }
  };
  try {
    job();
  } catch (const std::exception& e) {
    report(e.what());
  } catch (...) {
    report("unknown exception");
  }
}
