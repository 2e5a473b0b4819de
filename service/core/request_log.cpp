#include "core/request_log.h"

namespace otp_service {

void RequestLog::write(std::string_view line) {
  std::lock_guard<std::mutex> guard{mtx_};
  out_ << line << std::endl;
}

} // namespace otp_service
