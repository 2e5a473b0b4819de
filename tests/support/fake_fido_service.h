#pragma once

// A scriptable FIDO OTP service for tests: answers every request with a value
// set by the test, fails or never answers on demand, and records what it got.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "caf/actor.hpp"
#include "caf/actor_system.hpp"
#include "caf/error.hpp"

#include "fido_otp_actor.h"

namespace fake {

enum class request {
  lookup,          // (get_atom, actor_fido_otp) to the service actor
  has_access,      // (has_atom, access_atom)
  check_policy,    // (check_atom, pin_atom, policy_atom)
  check_expire,    // (check_atom, pin_atom, expire_atom)
  verify,          // (verify_atom, access_atom, PIN)
  check_hwaccess,  // (check_atom, hwaccess_atom)
  get_info,        // (get_atom, info_atom)
  get_otp,         // (get_atom, otp_atom, name, time, PIN, hw access)
  check_compliant, // (check_atom, compliant_atom, policy_atom, new PIN)
  change,          // (change_atom, access_atom, new PIN, old PIN)
};

struct otp_request {
  std::string name;
  uint64_t time;
  std::string pin;
  bool hw_access;
};

class FidoService {
public:
  explicit FidoService(caf::actor_system& sys);
  ~FidoService();

  FidoService(const FidoService&) = delete;
  FidoService& operator=(const FidoService&) = delete;

  // Answers given while nothing is scripted for a request.
  void set_has_access(bool x);
  void set_policy_enabled(bool x);
  void set_expired(bool x);
  void set_hw_access(bool x);
  void set_pin(std::string pin); // verify answers true for exactly this text
  void set_tokens(std::vector<OtpTokenInfo> tokens);
  void set_compliance(PinPolicyResult verdict);
  // The code for a request; by default "<name>:<time>".
  void set_code(std::function<std::string(const otp_request&)> make_code);

  // The next `times` answers to `kind` are `err`.
  void fail(request kind, caf::error err, int times = 1);
  // Requests of `kind` are never answered from now on.
  void hang(request kind);

  int count(request kind) const;
  std::vector<otp_request> otp_requests() const;
  std::vector<std::string> verified_pins() const;
  std::vector<std::pair<std::string, std::string>> changes() const; // (new, old)

  fido_otp_actor handle() const;
  caf::actor service_actor() const;
  // Publishes the service actor on 127.0.0.1 at a free port; returns it.
  uint16_t publish();

  struct state;

private:
  caf::actor_system& sys_;
  std::shared_ptr<state> state_;
  fido_otp_actor fido_;
  caf::actor service_;
  uint16_t publish_port_ = 0;
};

} // namespace fake
