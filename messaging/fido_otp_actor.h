#pragma once

// The FIDO OTP service as the application sees it: the typed handle of the
// service's FIDO OTP actor. The service actor itself answers
// (get_atom, actor_fido_otp) with this actor as a dynamically typed handle.

#include <cstdint>
#include <string>
#include <vector>

#include "caf/replies_to.hpp"
#include "caf/typed_actor.hpp"

#include "vocabulary.h"

using fido_otp_actor = caf::typed_actor<
  // the key's OTP tokens, in the service's order
  caf::replies_to<::get_atom, ::info_atom>::with<std::vector<OtpTokenInfo>>,
  // the code of a token: name, UNIX time in seconds, PIN, hardware access
  caf::replies_to<::get_atom, ::otp_atom, std::string, uint64_t, std::string,
                  bool>::with<std::string>,
  // true: a PIN is set on the key
  caf::replies_to<::has_atom, ::access_atom>::with<bool>,
  // true: the PIN is correct
  caf::replies_to<::verify_atom, ::access_atom, std::string>::with<bool>,
  // sets the new PIN (first) in place of the old one (second)
  caf::reacts_to<::change_atom, ::access_atom, std::string, std::string>,
  // true: the PIN has expired
  caf::replies_to<::check_atom, ::pin_atom, ::expire_atom>::with<bool>,
  // true: the key supports hardware access
  caf::replies_to<::check_atom, ::hwaccess_atom>::with<bool>,
  // true: the PIN policy is enabled
  caf::replies_to<::check_atom, ::pin_atom, ::policy_atom>::with<bool>,
  // the policy's verdict on a new PIN
  caf::replies_to<::check_atom, ::compliant_atom, ::policy_atom,
                  std::string>::with<PinPolicyResult>>;

// Where the service listens.
constexpr const char* fido_service_host = "127.0.0.1";
constexpr uint16_t fido_service_port = 12900;
