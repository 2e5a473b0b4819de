// Publishing an actor on 127.0.0.1 behind the access check: the service's
// own acceptor takes each connection, finds its owner and closes it, before
// the actor library reads or writes a byte, unless the policy lets it in.
// Connections let in have their reads capped, their handshake timed and
// their number limited; running out of file descriptors pauses accepting
// instead of spinning.
#pragma once

#include <cstdint>
#include <memory>

#include "caf/actor.hpp"
#include "caf/expected.hpp"
#include "caf/fwd.hpp"

#include "core/access.h"
#include "core/peer_accounts.h"
#include "core/request_log.h"

namespace otp_service {

struct ListenerOptions {
  AccessPolicy policy;
  // Lets another socket bind the same address and port (SO_REUSEADDR).
  bool reuse_address = true;
  std::shared_ptr<RequestLog> log;      // refusals and dropped connections
  std::shared_ptr<PeerAccounts> peers;  // filled as clients greet
};

// Publishes `whom` on 127.0.0.1:`port` (0 picks a free port); the port.
caf::expected<uint16_t> publish_guarded(caf::actor_system& sys, const caf::actor& whom,
                                        uint16_t port, ListenerOptions options);

} // namespace otp_service
