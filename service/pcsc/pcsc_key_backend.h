// The key behind fido-otp-service: a real key through PC/SC. Joins the
// presence monitor, the card thread and the OATH backend, and answers the
// service core's requests with the core's types and errors.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "caf/error.hpp"

#include "backend/oath_backend.h"
#include "card/card_thread.h"
#include "card/pcsc_readers.h"
#include "card/presence_monitor.h"
#include "core/key_backend.h"

namespace pcsc_service {

// The error as it travels: its code in the fido_error or pcsc_error
// category, the context (when there is one) as one text.
caf::error to_caf_error(const backend::ServiceError& error);

class PcscKeyBackend : public otp_service::KeyBackend {
public:
  explicit PcscKeyBackend(backend::Options options, card::PcscOptions pcsc = {});
  ~PcscKeyBackend() override;

  void token_info(otp_service::Reply<std::vector<OtpTokenInfo>> reply) override;
  void otp(const std::string& name, uint64_t time, const std::string& pin, bool hardware_access,
           otp_service::Reply<std::string> reply) override;
  void has_access(otp_service::Reply<bool> reply) override;
  void verify_pin(const std::string& pin, otp_service::Reply<bool> reply) override;
  void change_pin(const std::string& new_pin, const std::string& old_pin,
                  otp_service::Reply<void> reply) override;
  void pin_expired(otp_service::Reply<bool> reply) override;
  void hardware_access(otp_service::Reply<bool> reply) override;
  void policy_enabled(otp_service::Reply<bool> reply) override;
  void check_compliant(const std::string& new_pin,
                       otp_service::Reply<PinPolicyResult> reply) override;

private:
  // In this order: the card thread's jobs use the backend, which reads the
  // monitor; they go in the reverse order.
  std::unique_ptr<card::PresenceMonitor> monitor_;
  std::unique_ptr<card::CardThread> card_;
  std::unique_ptr<backend::OathBackend> key_;
};

} // namespace pcsc_service
