// The service's request log: one line per request, its kind and outcome.
// Never a PIN, a secret or a code.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>

namespace otp_service {

// The one writer of the log. Lines come from the service's actors, from
// whatever thread a key backend answers on and from the listener; each line
// is written whole.
class RequestLog {
public:
  using Clock = std::function<std::chrono::system_clock::time_point()>;

  // With a clock, each line begins with its time in UTC
  // ("2026-12-09T16:50:01.042Z ").
  explicit RequestLog(std::ostream& out, Clock clock = {}) : out_(out), clock_(std::move(clock)) {}
  RequestLog(const RequestLog&) = delete;
  RequestLog& operator=(const RequestLog&) = delete;

  // Writes `line` and a newline, then flushes.
  void write(std::string_view line);

private:
  std::mutex mtx_;
  std::ostream& out_;
  Clock clock_;
};

// "2026-12-09T16:50:01.042Z"
std::string utc_text(std::chrono::system_clock::time_point t);

} // namespace otp_service
