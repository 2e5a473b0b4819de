// Which account each connected node belongs to, for the request log. The
// listener fills it as clients finish their handshake; the service's actors
// read it from their own threads.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <utility>

#include "caf/node_id.hpp"

#include "core/access.h"

namespace otp_service {

class PeerAccounts {
public:
  void add(const caf::node_id& node, const Account& account);
  void remove(const caf::node_id& node);
  std::optional<Account> of(const caf::node_id& node) const;

private:
  mutable std::mutex mtx_;
  // A node may hold several connections: counted.
  std::map<caf::node_id, std::pair<Account, size_t>> accounts_;
};

} // namespace otp_service
