// The FIDO OTP service over a key backend: the lookup actor, which answers
// (get_atom, actor_fido_otp) with the FIDO OTP actor, and that actor, which
// answers requests 2 to 10 by asking the backend. Both write the request log.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "caf/actor.hpp"
#include "caf/fwd.hpp"

#include "core/key_backend.h"
#include "core/peer_accounts.h"
#include "core/request_log.h"
#include "fido_otp_actor.h"

namespace otp_service {

struct Service {
  caf::actor lookup;   // answers (get_atom, actor_fido_otp)
  fido_otp_actor fido; // answers the key requests
};

struct CoreOptions {
  // The service's clock, in seconds since 1970 (the system's when empty): a
  // code is given only for a time near it.
  std::function<uint64_t()> clock;
  // The accounts of remote callers, for the log (none: not told).
  std::shared_ptr<const PeerAccounts> peers;
  // After three wrong PINs in a row, the answers to requests that carry a
  // PIN wait: first this long, then twice as long each time, up to longest.
  std::chrono::milliseconds first_pin_wait{1000};
  std::chrono::milliseconds longest_pin_wait{30000};
};

// Spawns the service's actors in `sys`. They keep `backend` and `log` alive.
Service spawn_service(caf::actor_system& sys, std::shared_ptr<KeyBackend> backend,
                      std::shared_ptr<RequestLog> log, CoreOptions options = {});

// Ends both actors; requests still waiting for their backend stay unanswered.
void stop_service(const Service& service);

} // namespace otp_service
