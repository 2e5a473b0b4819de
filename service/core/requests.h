// The ten requests of the FIDO OTP service, by the names its log and the
// simulator's key files use. No actors here.
#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace otp_service {

enum class Request {
  has_access,
  check_policy,
  check_expire,
  verify_pin,
  check_hwaccess,
  get_info,
  get_otp,
  check_compliant,
  change_pin,
  lookup,
};

inline constexpr std::array<Request, 10> kAllRequests = {
  Request::has_access,     Request::check_policy, Request::check_expire, Request::verify_pin,
  Request::check_hwaccess, Request::get_info,     Request::get_otp,      Request::check_compliant,
  Request::change_pin,     Request::lookup,
};

// "has_access", "get_otp", ...
std::string_view request_name(Request request);
std::optional<Request> parse_request(std::string_view name);

} // namespace otp_service
