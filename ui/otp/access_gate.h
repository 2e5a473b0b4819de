#pragma once

#include <optional>
#include <string>

#include "caf/fwd.hpp"

#include "fido_otp_actor.h"

// The outcome of the PIN access gate: whether codes may be shown, and the
// text for the page's message label when it must change.
struct access_verdict {
  bool granted = false;
  std::optional<std::string> message;
};

// Applies the key's PIN policy with up to four blocking requests to
// `service`: PIN set?, policy enabled?, PIN expired?, PIN correct?
access_verdict check_access(caf::actor_system& sys, const fido_otp_actor& service,
                            const std::string& pin);
