#include "oath/result.h"

namespace oath {

const char* to_string(Fault fault) {
  switch (fault) {
    case Fault::no_service: return "no_service";
    case Fault::no_reader: return "no_reader";
    case Fault::no_matching_reader: return "no_matching_reader";
    case Fault::no_key: return "no_key";
    case Fault::several_keys: return "several_keys";
    case Fault::sharing_violation: return "sharing_violation";
    case Fault::removed: return "removed";
    case Fault::reset: return "reset";
    case Fault::reader_failure: return "reader_failure";
    case Fault::status: return "status";
    case Fault::malformed: return "malformed";
    case Fault::wrong_pin: return "wrong_pin";
    case Fault::not_validated: return "not_validated";
    case Fault::touch_timeout: return "touch_timeout";
    case Fault::unknown_name: return "unknown_name";
    case Fault::no_totp: return "no_totp";
    case Fault::bad_answer: return "bad_answer";
    case Fault::locked: return "locked";
    case Fault::empty_pin: return "empty_pin";
    case Fault::pin_not_set: return "pin_not_set";
  }
  return "?";
}

const char* to_string(Step step) {
  switch (step) {
    case Step::none: return "";
    case Step::connect: return "connect";
    case Step::select: return "SELECT";
    case Step::validate: return "VALIDATE";
    case Step::list: return "LIST";
    case Step::calculate: return "CALCULATE";
    case Step::calculate_all: return "CALCULATE ALL";
    case Step::set_code: return "SET CODE";
  }
  return "?";
}

std::string describe(const Failure& failure) {
  std::string text = to_string(failure.step);
  if (!text.empty())
    text += ": ";
  text += failure.detail.empty() ? to_string(failure.fault) : failure.detail;
  return text;
}

} // namespace oath
