// The FIDO OTP service over a key backend: the lookup actor, which answers
// (get_atom, actor_fido_otp) with the FIDO OTP actor, and that actor, which
// answers requests 2 to 10 by asking the backend. Both write the request log.
#pragma once

#include <memory>

#include "caf/actor.hpp"
#include "caf/fwd.hpp"

#include "core/key_backend.h"
#include "core/request_log.h"
#include "fido_otp_actor.h"

namespace otp_service {

struct Service {
  caf::actor lookup;   // answers (get_atom, actor_fido_otp)
  fido_otp_actor fido; // answers the key requests
};

// Spawns the service's actors in `sys`. They keep `backend` and `log` alive.
Service spawn_service(caf::actor_system& sys, std::shared_ptr<KeyBackend> backend,
                      std::shared_ptr<RequestLog> log);

// Ends both actors; requests still waiting for their backend stay unanswered.
void stop_service(const Service& service);

} // namespace otp_service
