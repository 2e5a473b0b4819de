#include "otp_test_support.h"

#include <algorithm>
#include <atomic>
#include <iostream>
#include <sstream>

#include "caf/all.hpp"

#include "app_system.h"
#include "otp/otp_widget_actor_detach.h"
#include "otp/unix_clock.h"
#include "vocabulary.h"

namespace otp_testing {

void pump() {
  for (int i = 0; i < 5; ++i) {
    QCoreApplication::sendPostedEvents();
    QApplication::processEvents();
  }
}

// -- FakeUnixClock -------------------------------------------------------------

namespace {
std::atomic<uint64_t> fake_now{0};
uint64_t read_fake_now() {
  return fake_now.load();
}
} // namespace

FakeUnixClock::FakeUnixClock(uint64_t start) {
  fake_now = start;
  unix_clock::set_source(&read_fake_now);
}

FakeUnixClock::~FakeUnixClock() {
  unix_clock::set_source(nullptr);
}

void FakeUnixClock::set(uint64_t now) {
  fake_now = now;
}

// -- TickPacer -----------------------------------------------------------------

namespace {

struct pacer_state {
  mutable std::mutex mtx;
  mutable std::condition_variable cv;
  std::vector<std::chrono::seconds> waits;
  caf::timespan delay{std::chrono::hours(1)};
};

pacer_state pacer;

caf::timespan paced_delay(std::chrono::seconds wanted) {
  std::lock_guard<std::mutex> guard{pacer.mtx};
  pacer.waits.push_back(wanted);
  pacer.cv.notify_all();
  return pacer.delay;
}

} // namespace

TickPacer::TickPacer(mode m) {
  {
    std::lock_guard<std::mutex> guard{pacer.mtx};
    pacer.waits.clear();
    pacer.delay = m == manual ? caf::timespan{std::chrono::hours(1)}
                              : caf::timespan{std::chrono::milliseconds(10)};
  }
  OtpWidgetActorDetach::set_delay_hook(&paced_delay);
}

TickPacer::~TickPacer() {
  OtpWidgetActorDetach::set_delay_hook(nullptr);
}

std::vector<std::chrono::seconds> TickPacer::waits() const {
  std::lock_guard<std::mutex> guard{pacer.mtx};
  return pacer.waits;
}

size_t TickPacer::count() const {
  std::lock_guard<std::mutex> guard{pacer.mtx};
  return pacer.waits.size();
}

bool TickPacer::wait_for_count(size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> guard{pacer.mtx};
  return pacer.cv.wait_for(guard, timeout, [&] { return pacer.waits.size() >= n; });
}

// -- page events ---------------------------------------------------------------

page_event code(std::string text, uint64_t step) {
  return {page_event::kind::code, std::move(text), step, {}};
}

page_event msg(std::string text) {
  return {page_event::kind::msg, std::move(text), 0, {}};
}

page_event list(std::vector<OtpTokenInfo> tokens) {
  return {page_event::kind::list, {}, 0, std::move(tokens)};
}

page_event stop() {
  return {page_event::kind::stop, {}, 0, {}};
}

void PrintTo(const page_event& e, std::ostream* os) {
  switch (e.what) {
    case page_event::kind::code:
      *os << "code(\"" << e.text << "\", " << e.step << ")";
      break;
    case page_event::kind::msg:
      *os << "msg(\"" << e.text << "\")";
      break;
    case page_event::kind::list:
      *os << "list(" << e.list.size() << " tokens";
      for (size_t i = 0; i < e.list.size() && i < 5; ++i)
        *os << (i ? ", " : ": ") << e.list[i].name << "/" << e.list[i].period;
      *os << ")";
      break;
    case page_event::kind::stop:
      *os << "stop";
      break;
  }
}

// -- PageRecorder --------------------------------------------------------------

struct PageRecorder::state {
  mutable std::mutex mtx;
  std::condition_variable cv;
  std::vector<page_event> events;
  std::vector<std::string> unexpected;
  size_t markers = 0;

  void add(page_event e) {
    std::lock_guard<std::mutex> guard{mtx};
    events.push_back(std::move(e));
    cv.notify_all();
  }
};

namespace {

caf::behavior recorder(caf::event_based_actor* self,
                       std::shared_ptr<PageRecorder::state> st) {
  self->set_default_handler(
    [st](caf::scheduled_actor*, caf::message_view& x) -> caf::result<caf::message> {
      std::lock_guard<std::mutex> guard{st->mtx};
      st->unexpected.push_back(to_string(x.copy_content_to_message()));
      return caf::message{};
    });
  return {
    [st](::set_atom, ::otp_atom, const std::string& text, uint64_t step) {
      st->add(code(text, step));
    },
    [st](::set_atom, ::info_atom, const std::vector<OtpTokenInfo>& tokens) {
      st->add(list(tokens));
    },
    [st](::msg_atom, const std::string& text) { st->add(msg(text)); },
    [st](::stop_atom) { st->add(stop()); },
    [st](::ping_pong_atom) {
      std::lock_guard<std::mutex> guard{st->mtx};
      ++st->markers;
      st->cv.notify_all();
    },
  };
}

} // namespace

PageRecorder::PageRecorder() : state_(std::make_shared<state>()) {
  actor_ = app_system->spawn(recorder, state_);
}

PageRecorder::~PageRecorder() {
  caf::anon_send_exit(actor_, caf::exit_reason::user_shutdown);
}

void PageRecorder::sync() {
  size_t target;
  {
    std::lock_guard<std::mutex> guard{state_->mtx};
    target = state_->markers + 1;
  }
  caf::anon_send(actor_, ::ping_pong_atom{});
  std::unique_lock<std::mutex> guard{state_->mtx};
  state_->cv.wait_for(guard, std::chrono::seconds(3), [&] { return state_->markers >= target; });
}

bool PageRecorder::wait_for_events(size_t n, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard{state_->mtx};
  return state_->cv.wait_for(guard, timeout, [&] { return state_->events.size() >= n; });
}

std::vector<page_event> PageRecorder::take() {
  std::lock_guard<std::mutex> guard{state_->mtx};
  std::vector<page_event> result;
  result.swap(state_->events);
  return result;
}

std::vector<std::string> PageRecorder::unexpected() const {
  std::lock_guard<std::mutex> guard{state_->mtx};
  return state_->unexpected;
}

// -- actors ----------------------------------------------------------------------

bool wait_exit(const caf::actor& actor, std::chrono::milliseconds timeout) {
  if (!actor)
    return true;
  bool down = false;
  caf::scoped_actor self{*app_system};
  self->monitor(actor);
  self->receive([&](caf::down_msg&) { down = true; }, caf::after(timeout) >> [] {});
  return down;
}

// -- CoutCapture -------------------------------------------------------------------

CoutCapture::CoutCapture() {
  std::cout.flush();
  old_ = std::cout.rdbuf(&buf_);
}

CoutCapture::~CoutCapture() {
  std::cout.rdbuf(old_);
}

std::vector<std::string> CoutCapture::lines() const {
  std::vector<std::string> result;
  std::istringstream in{buf_.text()};
  for (std::string line; std::getline(in, line);)
    result.push_back(line);
  return result;
}

size_t CoutCapture::count(const std::string& line) const {
  auto all = lines();
  return static_cast<size_t>(std::count(all.begin(), all.end(), line));
}

std::string CoutCapture::buffer::text() const {
  std::lock_guard<std::mutex> guard{mtx_};
  return data_;
}

CoutCapture::buffer::int_type CoutCapture::buffer::overflow(int_type ch) {
  if (ch != traits_type::eof()) {
    std::lock_guard<std::mutex> guard{mtx_};
    data_ += traits_type::to_char_type(ch);
  }
  return ch;
}

std::streamsize CoutCapture::buffer::xsputn(const char* s, std::streamsize n) {
  std::lock_guard<std::mutex> guard{mtx_};
  data_.append(s, static_cast<size_t>(n));
  return n;
}

} // namespace otp_testing
