#include "core/serve.h"

#include <string>

#include "caf/all.hpp"
#include "caf/io/all.hpp"

#include "core/accept.h"
#include "core/listener.h"
#include "core/peer_owner.h"
#include "scheduler.h"
#include "vocabulary.h"

namespace otp_service {

ServiceConfig::ServiceConfig() {
  load<caf::io::middleman>();
  select_scheduler(*this);
  init_global_meta_objects(*this);
}

std::optional<uint16_t> parse_port(std::string_view text) {
  if (text.empty())
    return std::nullopt;
  unsigned long port = 0;
  for (char c : text) {
    if (c < '0' || c > '9')
      return std::nullopt;
    port = port * 10 + static_cast<unsigned long>(c - '0');
    if (port > 65535)
      return std::nullopt;
  }
  return static_cast<uint16_t>(port);
}

int serve(caf::actor_system& sys, const Service& service, uint16_t port, std::string_view program,
          std::shared_ptr<RequestLog> log, std::ostream& err, const AccessOptions& access) {
  ListenerOptions listener;
  listener.policy.trusted = own_accounts();
  listener.policy.trusted.insert(listener.policy.trusted.end(), access.allowed.begin(),
                                 access.allowed.end());
  listener.policy.limits = access.limits;
  listener.reuse_address = share_listening_port;
  listener.log = log;
  listener.peers = access.peers ? access.peers : std::make_shared<PeerAccounts>();
  auto published = publish_guarded(sys, service.lookup, port, std::move(listener));
  if (!published) {
    err << program << ": cannot listen on " << fido_service_host << ":" << port << ": "
        << sys.render(published.error()) << std::endl;
    stop_service(service);
    return 1;
  }
  log->write(std::string{program} + ": serving on " + fido_service_host + ":"
             + std::to_string(*published));
  // Runs until the process is stopped.
  sys.await_all_actors_done();
  return 0;
}

} // namespace otp_service
