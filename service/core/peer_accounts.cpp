#include "core/peer_accounts.h"

namespace otp_service {

void PeerAccounts::add(const caf::node_id& node, const Account& account) {
  std::lock_guard<std::mutex> guard{mtx_};
  auto& entry = accounts_[node];
  entry.first = account;
  ++entry.second;
}

void PeerAccounts::remove(const caf::node_id& node) {
  std::lock_guard<std::mutex> guard{mtx_};
  auto it = accounts_.find(node);
  if (it != accounts_.end() && --it->second.second == 0)
    accounts_.erase(it);
}

std::optional<Account> PeerAccounts::of(const caf::node_id& node) const {
  std::lock_guard<std::mutex> guard{mtx_};
  auto it = accounts_.find(node);
  if (it == accounts_.end())
    return std::nullopt;
  return it->second.first;
}

} // namespace otp_service
