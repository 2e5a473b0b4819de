#include "access_gate.h"

#include <spdlog/spdlog.h>

#include "caf/actor_system.hpp"

#include "request.h"

namespace {

access_verdict refused(std::string text) {
  return {false, std::move(text)};
}

} // namespace

access_verdict check_access(caf::actor_system& sys, const fido_otp_actor& service,
                            const std::string& pin) {
  auto has_access = request_blocking<bool>(sys, service, ::has_atom{}, ::access_atom{});
  if (!has_access) {
    spdlog::error("[OtpWidget::get_access] failed to get has access");
    return refused(has_access.error_text());
  }
  auto policy = request_blocking<bool>(sys, service, ::check_atom{}, ::pin_atom{},
                                       ::policy_atom{});
  if (!policy) {
    spdlog::error("[OtpWidget::get_access] failed to check if pin policy enabled.");
    return refused(policy.error_text());
  }
  const bool pin_set = *has_access;
  if (*policy && !pin_set) {
    spdlog::info("[OtpWidget::get_access] PIN policy enabled but PIN is empty.");
    return refused("Please set a PIN first as PIN policy is enabled.");
  }
  if (!pin_set)
    return {true, std::nullopt};

  auto expired = request_blocking<bool>(sys, service, ::check_atom{}, ::pin_atom{},
                                        ::expire_atom{});
  if (!expired)
    return refused(expired.error_text());
  if (*expired) {
    spdlog::info("PIN expired");
    return refused("PIN has been expired. Please change PIN.");
  }

  auto correct = request_blocking<bool>(sys, service, ::verify_atom{}, ::access_atom{}, pin);
  if (!correct) {
    spdlog::error("[OtpWidget::get_access] Failed to verify pin. Error={}",
                  correct.error_text());
    return refused(correct.error_text());
  }
  if (*correct)
    return {true, std::nullopt};
  spdlog::error("[OtpWidget::get_access] PIN is incorrect");
  return refused("PIN is incorrect.");
}
