// What a service executable does besides choosing its key: its actor
// system's configuration and publishing the lookup actor on 127.0.0.1.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string_view>
#include <vector>

#include "caf/actor_system_config.hpp"

#include "core/access.h"
#include "core/peer_accounts.h"
#include "core/request_log.h"
#include "core/service.h"

namespace otp_service {

// The network layer, the same scheduler as the application, and the shared
// vocabulary.
class ServiceConfig : public caf::actor_system_config {
public:
  ServiceConfig();
};

// "12900" as a port; nullopt for anything else.
std::optional<uint16_t> parse_port(std::string_view text);

// Who may connect besides the service's own account (and root).
struct AccessOptions {
  std::vector<Account> allowed;        // --allow-user
  std::shared_ptr<PeerAccounts> peers; // told each client's account
  AccessLimits limits;
};

// Publishes the lookup actor on 127.0.0.1:`port` (0 picks a free port)
// behind the access check, writes "<program>: serving on
// 127.0.0.1:<port>" to the log and serves until every actor is done;
// returns 0 then. A port that cannot be had is one line on `err`,
// "<program>: cannot listen on 127.0.0.1:<port>: <reason>", and exit code 1.
int serve(caf::actor_system& sys, const Service& service, uint16_t port, std::string_view program,
          std::shared_ptr<RequestLog> log, std::ostream& err, const AccessOptions& access = {});

} // namespace otp_service
