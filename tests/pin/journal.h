#pragma once

// Helpers of the PIN page tests: an actor that records, in arrival order,
// everything a worker sends to it, and a wait that keeps Qt's events flowing.

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "caf/all.hpp"

#include <QApplication>
#include <QElapsedTimer>

#include "fido_otp_actor.h"

namespace pin_test {

using clock = std::chrono::steady_clock;

// Runs the Qt event loop until `done` holds or `limit_ms` have passed.
template <class Predicate>
bool wait_for(Predicate done, int limit_ms = 3000) {
  QElapsedTimer timer;
  timer.start();
  while (!done() && timer.elapsed() < limit_ms)
    QApplication::processEvents(QEventLoop::AllEvents, 10);
  return done();
}

struct entry {
  std::string kind; // "msg", "enable", "pin", "verify", "has_access", "compliant", "change"
  std::vector<std::string> args;
  clock::time_point at;
};

// How a journal answers when it stands for the service.
struct journal_script {
  std::string pin = "1234"; // verify answers true for exactly this text
  bool has_access = true;
  PinPolicyResult compliance{true, ""};
  std::optional<caf::error> change_error; // unset: the change succeeds
  std::string hold;         // "verify" or "change": answered only by release()
};

// One actor that can stand for a page, the main window and the service at
// once: whatever one worker sends to it lands in one mailbox, so the journal
// shows the order in which the worker sent it.
class Journal {
public:
  using script = journal_script;

  explicit Journal(caf::actor_system& sys, script s = {})
    : st_(std::make_shared<state>()) {
    st_->plan = std::move(s);
    handle_ = sys.spawn(behavior, st_);
  }
  ~Journal() { caf::anon_send_exit(handle_, caf::exit_reason::user_shutdown); }

  caf::actor handle() const { return handle_; }
  fido_otp_actor service() const { return caf::actor_cast<fido_otp_actor>(handle_); }

  // Answers the held request (verify: with `answer`; change: success).
  void release(bool answer = true) { caf::anon_send(handle_, ::done_atom{}, answer); }

  std::vector<entry> entries() const {
    std::lock_guard<std::mutex> guard{st_->mtx};
    return st_->entries;
  }
  std::vector<std::string> kinds() const {
    std::vector<std::string> result;
    for (auto& e : entries())
      result.push_back(e.kind);
    return result;
  }
  int count(const std::string& kind) const {
    int n = 0;
    for (auto& e : entries())
      n += e.kind == kind ? 1 : 0;
    return n;
  }
  std::optional<entry> first(const std::string& kind) const {
    for (auto& e : entries())
      if (e.kind == kind)
        return e;
    return std::nullopt;
  }

private:
  struct state {
    std::mutex mtx;
    script plan;
    std::vector<entry> entries;
    std::optional<caf::response_promise> held;

    void add(std::string kind, std::vector<std::string> args = {}) {
      std::lock_guard<std::mutex> guard{mtx};
      entries.push_back({std::move(kind), std::move(args), clock::now()});
    }
  };

  static caf::behavior behavior(caf::event_based_actor* self, std::shared_ptr<state> st) {
    return {
      [=](::msg_atom, const std::string& text) { st->add("msg", {text}); },
      [=](::enable_atom) { st->add("enable"); },
      [=](::pin_atom, const std::string& pin) { st->add("pin", {pin}); },
      [=](::has_atom, ::access_atom) {
        st->add("has_access");
        return st->plan.has_access;
      },
      [=](::verify_atom, ::access_atom, const std::string& pin) -> caf::result<bool> {
        st->add("verify", {pin});
        if (st->plan.hold == "verify") {
          st->held = self->make_response_promise();
          return caf::delegated<bool>{};
        }
        return pin == st->plan.pin;
      },
      [=](::check_atom, ::compliant_atom, ::policy_atom, const std::string& pin) {
        st->add("compliant", {pin});
        return st->plan.compliance;
      },
      [=](::change_atom, ::access_atom, const std::string& new_pin,
          const std::string& old_pin) -> caf::result<void> {
        st->add("change", {new_pin, old_pin});
        if (st->plan.hold == "change") {
          st->held = self->make_response_promise();
          return caf::delegated<void>{};
        }
        if (st->plan.change_error)
          return *st->plan.change_error;
        return caf::unit;
      },
      [=](::done_atom, bool answer) {
        if (!st->held)
          return;
        if (st->plan.hold == "verify")
          st->held->deliver(answer);
        else
          st->held->deliver(caf::unit);
        st->held.reset();
      },
    };
  }

  std::shared_ptr<state> st_;
  caf::actor handle_;
};

} // namespace pin_test
