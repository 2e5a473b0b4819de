#pragma once

// What the PIN pages' worker threads share: how they are started, the guard
// that gives the page its button back, and the one way they speak to a page.

#include <functional>
#include <string>
#include <thread>
#include <utility>

#include "caf/actor.hpp"
#include "caf/send.hpp"

#include "vocabulary.h"

// Runs a job on a new detached thread; throws std::system_error when no
// thread can be started.
using thread_starter = std::function<void(std::function<void()>)>;

inline void start_detached(std::function<void()> job) {
  std::thread(std::move(job)).detach();
}

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
