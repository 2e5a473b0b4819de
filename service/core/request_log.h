// The service's request log: one line per request, its kind and outcome.
// Never a PIN, a secret or a code.
#pragma once

#include <mutex>
#include <ostream>
#include <string_view>

namespace otp_service {

// The one writer of the log. Lines come from the service's actors and from
// whatever thread a key backend answers on; each line is written whole.
class RequestLog {
public:
  explicit RequestLog(std::ostream& out) : out_(out) {}
  RequestLog(const RequestLog&) = delete;
  RequestLog& operator=(const RequestLog&) = delete;

  // Writes `line` and a newline, then flushes.
  void write(std::string_view line);

private:
  std::mutex mtx_;
  std::ostream& out_;
};

} // namespace otp_service
