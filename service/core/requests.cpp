#include "core/requests.h"

#include <iterator>

namespace otp_service {

namespace {

constexpr std::string_view kRequestNames[] = {
  "has_access", "check_policy", "check_expire",    "verify_pin", "check_hwaccess",
  "get_info",   "get_otp",      "check_compliant", "change_pin", "lookup",
};
static_assert(std::size(kRequestNames) == kAllRequests.size());

} // namespace

std::string_view request_name(Request request) {
  const auto index = static_cast<size_t>(request);
  return index < std::size(kRequestNames) ? kRequestNames[index] : "unknown";
}

std::optional<Request> parse_request(std::string_view name) {
  for (Request request : kAllRequests) {
    if (request_name(request) == name)
      return request;
  }
  return std::nullopt;
}

} // namespace otp_service
