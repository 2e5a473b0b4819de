#include "pcsc_key_backend.h"

#include "caf/message.hpp"

#include "errors.h"

namespace pcsc_service {

namespace {

// The answer of a backend outcome, converted by `convert`.
template <class T, class U, class F>
void answer(const otp_service::Reply<U>& reply, backend::Outcome<T> outcome, F convert) {
  if (outcome.index() == 0)
    reply(convert(std::move(std::get<0>(outcome))));
  else
    reply(to_caf_error(std::get<1>(outcome)));
}

} // namespace

caf::error to_caf_error(const backend::ServiceError& error) {
  const auto category = error.category == backend::ServiceError::Category::fido
                          ? error_category::fido
                          : error_category::pcsc;
  if (error.context.empty())
    return caf::error{error.code, category};
  return caf::error{error.code, category, caf::make_message(error.context)};
}

PcscKeyBackend::PcscKeyBackend(backend::Options options, card::PcscOptions pcsc)
  : monitor_(std::make_unique<card::PresenceMonitor>()),
    card_(std::make_unique<card::CardThread>(
      [pcsc] { return std::make_unique<card::PcscReaders>(pcsc); })),
    key_(std::make_unique<backend::OathBackend>(std::move(options), *card_, *monitor_)) {}

PcscKeyBackend::~PcscKeyBackend() {
  card_.reset();
  key_.reset();
  monitor_.reset();
}

void PcscKeyBackend::token_info(otp_service::Reply<std::vector<OtpTokenInfo>> reply) {
  key_->info([reply](backend::Outcome<std::vector<backend::Token>> outcome) {
    answer(reply, std::move(outcome), [](std::vector<backend::Token> tokens) {
      std::vector<OtpTokenInfo> infos;
      infos.reserve(tokens.size());
      for (auto& token : tokens)
        infos.push_back(OtpTokenInfo{std::move(token.name), token.period});
      return infos;
    });
  });
}

void PcscKeyBackend::otp(const std::string& name, uint64_t time, const std::string& pin, bool,
                         otp_service::Reply<std::string> reply) {
  key_->code(name, time, oath::SecretText{pin}, [reply](backend::Outcome<std::string> outcome) {
    answer(reply, std::move(outcome), [](std::string code) { return code; });
  });
}

void PcscKeyBackend::has_access(otp_service::Reply<bool> reply) {
  key_->access([reply](backend::Outcome<bool> outcome) {
    answer(reply, outcome, [](bool value) { return value; });
  });
}

void PcscKeyBackend::verify_pin(const std::string& pin, otp_service::Reply<bool> reply) {
  key_->verify(oath::SecretText{pin}, [reply](backend::Outcome<bool> outcome) {
    answer(reply, outcome, [](bool value) { return value; });
  });
}

void PcscKeyBackend::change_pin(const std::string& new_pin, const std::string& old_pin,
                                otp_service::Reply<void> reply) {
  key_->change(oath::SecretText{new_pin}, oath::SecretText{old_pin},
               [reply](backend::Outcome<oath::Done> outcome) {
                 if (outcome.index() == 0)
                   reply({});
                 else
                   reply(to_caf_error(std::get<1>(outcome)));
               });
}

void PcscKeyBackend::pin_expired(otp_service::Reply<bool> reply) { reply(key_->expired()); }

void PcscKeyBackend::hardware_access(otp_service::Reply<bool> reply) {
  reply(key_->hardware_access());
}

void PcscKeyBackend::policy_enabled(otp_service::Reply<bool> reply) { reply(key_->policy()); }

void PcscKeyBackend::check_compliant(const std::string& new_pin,
                                     otp_service::Reply<PinPolicyResult> reply) {
  const auto verdict = key_->compliance(new_pin);
  reply(PinPolicyResult{verdict.is_compliant, verdict.reason});
}

} // namespace pcsc_service
