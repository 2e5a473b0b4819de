#pragma once

// Helpers for the OTP display tests: a settable UNIX clock, a pacer that
// records and controls the polling actor's waits, a stand-in for the page's
// actor that records what it receives, and a capture of standard output.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "caf/actor.hpp"

#include <QApplication>
#include <QElapsedTimer>

#include "records.h"

namespace otp_testing {

using namespace std::chrono_literals;

// Runs the Qt event loop until `done` holds or `timeout` has passed.
template <class Predicate>
bool wait_until(Predicate done, std::chrono::milliseconds timeout = 3000ms) {
  QElapsedTimer timer;
  timer.start();
  while (!done() && timer.elapsed() < timeout.count())
    QApplication::processEvents(QEventLoop::AllEvents, 10);
  return done();
}

// Handles the Qt events that are already posted, and those they post in turn.
void pump();

// The UNIX time the code under test sees while this object lives.
class FakeUnixClock {
public:
  explicit FakeUnixClock(uint64_t start);
  ~FakeUnixClock();
  void set(uint64_t now);
};

// Replaces the polling actor's waits while it lives. Records the wait each
// tick asks for; `manual` turns every wait into an hour, so that only the
// first tick and the ticks a test sends run, `fast` into 10 ms.
class TickPacer {
public:
  enum mode { manual, fast };
  explicit TickPacer(mode m);
  ~TickPacer();

  std::vector<std::chrono::seconds> waits() const;
  size_t count() const;
  bool wait_for_count(size_t n, std::chrono::milliseconds timeout = 3000ms) const;
};

// What the polling actor told its page.
struct page_event {
  enum class kind { code, list, msg, stop };
  kind what;
  std::string text; // the code or the message
  uint64_t step = 0;
  std::vector<OtpTokenInfo> list;

  friend bool operator==(const page_event& a, const page_event& b) {
    return a.what == b.what && a.text == b.text && a.step == b.step && a.list == b.list;
  }
};

page_event code(std::string text, uint64_t step);
page_event msg(std::string text);
page_event list(std::vector<OtpTokenInfo> tokens);
page_event stop();
void PrintTo(const page_event& e, std::ostream* os);

// Stands in for the OTP page's actor and records every message it gets.
class PageRecorder {
public:
  PageRecorder();
  ~PageRecorder();

  caf::actor handle() const { return actor_; }

  // Waits until everything sent to the recorder before this call is recorded.
  void sync();
  // Waits until at least `n` events are recorded.
  bool wait_for_events(size_t n, std::chrono::milliseconds timeout = 3000ms);
  // The events recorded so far; forgets them.
  std::vector<page_event> take();
  // Messages of a kind no page accepts.
  std::vector<std::string> unexpected() const;

  struct state;

private:
  std::shared_ptr<state> state_;
  caf::actor actor_;
};

// Waits until `actor` has terminated.
bool wait_exit(const caf::actor& actor, std::chrono::milliseconds timeout = 3000ms);

// Collects what is written to std::cout while it lives.
class CoutCapture {
public:
  CoutCapture();
  ~CoutCapture();
  std::vector<std::string> lines() const;
  size_t count(const std::string& line) const;

private:
  class buffer : public std::streambuf {
  public:
    std::string text() const;

  protected:
    int_type overflow(int_type ch) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;

  private:
    mutable std::mutex mtx_;
    std::string data_;
  };
  buffer buf_;
  std::streambuf* old_;
};

} // namespace otp_testing
