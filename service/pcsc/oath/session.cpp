#include "oath/session.h"

#include "oath/apdu.h"

namespace oath {

namespace {

inline constexpr size_t challenge_size = 8;

Failure at(Step step, Failure failure) {
  failure.step = step;
  return failure;
}

Failure status_failure(Step step, uint16_t status_word) {
  const std::string text = "status word " + status_text(status_word);
  switch (step) {
    case Step::select:
      if (status_word == sw::file_not_found || status_word == sw::ins_not_supported
          || status_word == sw::wrong_p1p2)
        return {Fault::no_key, step, "no OATH applet (" + text + ")", status_word};
      break;
    case Step::validate:
      if (status_word == sw::wrong_data)
        return {Fault::wrong_pin, step, text, status_word};
      break;
    case Step::calculate:
      if (status_word == sw::no_such_object)
        return {Fault::unknown_name, step, text, status_word};
      [[fallthrough]];
    case Step::list:
    case Step::calculate_all:
    case Step::set_code:
      if (status_word == sw::security_not_satisfied)
        return {Fault::not_validated, step, text, status_word};
      break;
    default: break;
  }
  return {Fault::status, step, text, status_word};
}

} // namespace

Session::Session(Transport& transport, RandomSource random)
  : transport_(transport), random_(std::move(random)) {}

Result<Bytes> Session::run(Step step, ByteView apdu) {
  auto answer = exchange(transport_, apdu);
  if (!answer)
    return at(step, answer.failure());
  if (answer->sw != sw::ok)
    return status_failure(step, answer->sw);
  return std::move(answer->data);
}

Result<SelectInfo> Session::select() {
  selected_.reset();
  auto data = run(Step::select, select_command());
  if (!data)
    return data.failure();
  auto info = parse_select(*data);
  if (!info)
    return at(Step::select, info.failure());
  selected_ = *info;
  return info;
}

Status Session::validate(const Secret& key) {
  if (!selected_ || !selected_->challenge)
    return Failure{Fault::pin_not_set, Step::validate, "no password challenge to answer"};
  const Bytes response = hmac_sha1(key.view(), *selected_->challenge);
  const Bytes host_challenge = random_(challenge_size);
  auto data = run(Step::validate, validate_command(response, host_challenge));
  if (!data)
    return data.failure();
  auto answer = parse_validate(*data);
  if (!answer)
    return at(Step::validate, answer.failure());
  if (!answer_checks_out(key, host_challenge, *answer))
    return Failure{Fault::bad_answer, Step::validate,
                   "the key's answer to our challenge does not match the password"};
  // The challenge is spent; the key stays validated until the next select.
  selected_->challenge.reset();
  return Done{};
}

Result<std::vector<Credential>> Session::list() {
  auto data = run(Step::list, list_command());
  if (!data)
    return data.failure();
  auto credentials = parse_list(*data);
  if (!credentials)
    return at(Step::list, credentials.failure());
  return credentials;
}

Result<std::string> Session::calculate(std::string_view name, ByteView challenge) {
  if (name.empty() || name.size() > max_name_size)
    return Failure{Fault::unknown_name, Step::calculate,
                   "a name of " + std::to_string(name.size()) + " bytes"};
  auto data = run(Step::calculate, calculate_command(view_of(name), challenge));
  if (!data)
    return data.failure();
  auto code = parse_calculate(*data);
  if (!code)
    return at(Step::calculate, code.failure());
  return code;
}

Result<std::vector<CalculatedEntry>> Session::calculate_all(ByteView challenge) {
  auto data = run(Step::calculate_all, calculate_all_command(challenge));
  if (!data)
    return data.failure();
  auto entries = parse_calculate_all(*data);
  if (!entries)
    return at(Step::calculate_all, entries.failure());
  return entries;
}

Status Session::set_code(const Secret& key) {
  const Bytes challenge = random_(challenge_size);
  const Bytes response = hmac_sha1(key.view(), challenge);
  auto data = run(Step::set_code, set_code_command(key.view(), challenge, response));
  if (!data)
    return data.failure();
  return Done{};
}

} // namespace oath
