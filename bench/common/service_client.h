// The bench clients' way to a FIDO OTP service over TCP: an actor system set
// up as the app sets up its own (never destroyed), then the FIDO OTP actor
// through the lookup. Ends the process with `failure` as its exit code (1)
// when either fails.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "caf/actor_system.hpp"
#include "caf/actor_system_config.hpp"
#include "caf/io/middleman.hpp"

#include "fido_otp_actor.h"
#include "request.h"
#include "scheduler.h"
#include "vocabulary.h"

struct ServiceClient {
  caf::actor_system* sys;
  fido_otp_actor key;
};

inline ServiceClient connect_to_service(uint16_t port, int failure = 1) {
  auto cfg = new caf::actor_system_config;
  cfg->load<caf::io::middleman>();
  select_scheduler(*cfg);
  init_global_meta_objects(*cfg);
  auto sys = new caf::actor_system{*cfg};
  auto service = sys->middleman().remote_actor("127.0.0.1", port);
  if (!service) {
    std::fprintf(stderr, "no service: %s\n", sys->render(service.error()).c_str());
    std::_Exit(failure);
  }
  auto fido = request_blocking<caf::actor>(*sys, *service, ::get_atom{}, ::actor_fido_otp{});
  if (!fido) {
    std::fprintf(stderr, "no FIDO OTP actor: %s\n", fido.error_text().c_str());
    std::_Exit(failure);
  }
  return {sys, caf::actor_cast<fido_otp_actor>(*fido)};
}
