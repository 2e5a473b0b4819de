#include "backend/error_table.h"

#include "backend/middleware.h"

namespace backend {

namespace {

using oath::Fault;
using oath::Step;
constexpr auto fido = ServiceError::Category::fido;
constexpr auto pcsc = ServiceError::Category::pcsc;
constexpr std::nullopt_t any = std::nullopt;

// fido_error codes
constexpr uint8_t no_token = 2;
constexpr uint8_t multiple_tokens = 3;
constexpr uint8_t pin_incorrect = 4;
constexpr uint8_t open_device_failed = 5;
constexpr uint8_t key_timed_out = 7;
constexpr uint8_t pin_empty_not_allowed = 11;
constexpr uint8_t pin_not_set = 13;
constexpr uint8_t reset_pin_failed = 14;
constexpr uint8_t uv_required_pin_empty = 15;
constexpr uint8_t get_otp_failed = 16;
constexpr uint8_t list_otp_failed = 17;
constexpr uint8_t no_otp_token = 18;
constexpr uint8_t operation_denied = 19;
// pcsc_error codes
constexpr uint8_t reader_connect_failed = 3;
constexpr uint8_t card_connect_failed = 4;

std::string fill(const char* context, const std::string& detail) {
  std::string text = context;
  const auto at = text.find("{}");
  if (at != std::string::npos)
    text.replace(at, 2, detail);
  return text;
}

} // namespace

const char* to_string(Request request) {
  switch (request) {
    case Request::info: return "info";
    case Request::code: return "code";
    case Request::access: return "access";
    case Request::verify: return "verify";
    case Request::change: return "change";
  }
  return "?";
}

const std::vector<ErrorRow>& error_table() {
  static const std::vector<ErrorRow> rows = {
    // The middleware.
    {Fault::no_service, any, any, pcsc, reader_connect_failed, middleware_unreachable},
    {Fault::sharing_violation, any, any, pcsc, card_connect_failed,
     "{}: another program is using the key (gpg's scdaemon holds it exclusively by "
     "default); end that program or let it share the key"},
    {Fault::reset, any, any, pcsc, card_connect_failed,
     "another program keeps resetting the key ({})"},
    // No key, or more than one.
    {Fault::no_reader, any, any, fido, no_token, "{}"},
    {Fault::no_matching_reader, any, any, fido, no_token, "{}"},
    {Fault::no_key, any, any, fido, no_token, "{}"},
    {Fault::removed, any, any, fido, no_token, "the key was removed ({})"},
    {Fault::several_keys, any, any, fido, multiple_tokens, "{}"},
    {Fault::reader_failure, any, any, fido, open_device_failed, "{}"},
    // PINs.
    {Fault::empty_pin, Request::change, any, fido, pin_empty_not_allowed, nullptr},
    {Fault::empty_pin, any, any, fido, uv_required_pin_empty, nullptr},
    {Fault::wrong_pin, any, any, fido, pin_incorrect, nullptr},
    {Fault::pin_not_set, any, any, fido, pin_not_set, nullptr},
    {Fault::bad_answer, any, any, fido, operation_denied,
     "the key's answer to the PIN check does not match: it may not be genuine"},
    {Fault::locked, any, any, fido, list_otp_failed,
     "the key has a PIN that was not verified since the key was inserted"},
    {Fault::not_validated, Request::info, any, fido, list_otp_failed,
     "the key asks for its PIN"},
    {Fault::not_validated, any, any, fido, pin_incorrect, "the key asks for its PIN"},
    // Codes.
    {Fault::touch_timeout, any, any, fido, key_timed_out, nullptr},
    {Fault::unknown_name, any, any, fido, get_otp_failed, "{}"},
    {Fault::no_totp, any, any, fido, no_otp_token, nullptr},
    // Anything else, by the step it happened in.
    {Fault::status, any, Step::list, fido, list_otp_failed, "{}"},
    {Fault::malformed, any, Step::list, fido, list_otp_failed, "{}"},
    {Fault::status, any, Step::calculate, fido, get_otp_failed, "{}"},
    {Fault::malformed, any, Step::calculate, fido, get_otp_failed, "{}"},
    {Fault::status, any, Step::calculate_all, fido, get_otp_failed, "{}"},
    {Fault::malformed, any, Step::calculate_all, fido, get_otp_failed, "{}"},
    {Fault::status, any, Step::set_code, fido, reset_pin_failed, "{}"},
    {Fault::malformed, any, Step::set_code, fido, reset_pin_failed, "{}"},
    {Fault::status, any, any, fido, open_device_failed, "{}"},
    {Fault::malformed, any, any, fido, open_device_failed, "{}"},
  };
  return rows;
}

ServiceError to_service_error(Request request, const oath::Failure& failure) {
  // Steps of the protocol are worth naming; connecting is not.
  const std::string detail = failure.step == Step::connect || failure.step == Step::none
                               ? (failure.detail.empty() ? oath::to_string(failure.fault)
                                                         : failure.detail)
                               : oath::describe(failure);
  for (const auto& row : error_table()) {
    if (row.fault != failure.fault || (row.request && *row.request != request)
        || (row.step && *row.step != failure.step))
      continue;
    return ServiceError{row.category, row.code,
                        row.context == nullptr ? std::string{} : fill(row.context, detail)};
  }
  return ServiceError{fido, open_device_failed, detail};
}

} // namespace backend
