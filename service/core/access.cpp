#include "core/access.h"

#include <algorithm>

namespace otp_service {

std::optional<Refusal> ConnectionCounts::admit(const std::optional<Account>& owner) {
  if (!owner)
    return Refusal::unknown_owner;
  auto& trusted = policy_.trusted;
  if (std::find(trusted.begin(), trusted.end(), *owner) == trusted.end())
    return Refusal::other_account;
  if (open_ >= policy_.limits.connections)
    return Refusal::service_full;
  auto& mine = per_account_[*owner];
  if (mine >= policy_.limits.connections_per_account)
    return Refusal::account_full;
  ++mine;
  ++open_;
  return std::nullopt;
}

void ConnectionCounts::release(const Account& owner) {
  auto it = per_account_.find(owner);
  if (it == per_account_.end())
    return;
  --open_;
  if (--it->second == 0)
    per_account_.erase(it);
}

std::string refusal_text(Refusal why, const std::optional<Account>& owner, uint16_t port,
                         const AccessLimits& limits, const std::string& detail) {
  std::string text = "refused a connection";
  if (owner)
    text += " from " + *owner;
  text += " (port " + std::to_string(port) + "): ";
  switch (why) {
    case Refusal::unknown_owner:
      return text + "its owner cannot be found" + (detail.empty() ? "" : ": " + detail);
    case Refusal::other_account:
      return text + "not an account this service serves";
    case Refusal::account_full:
      return text + "this account has " + std::to_string(limits.connections_per_account)
             + " connections open";
    case Refusal::service_full:
      return text + std::to_string(limits.connections) + " connections are open";
  }
  return text;
}

std::optional<std::string> LogThrottle::pass(const std::string& key, std::string line,
                                             clock::time_point now) {
  auto [it, first] = seen_.try_emplace(key);
  auto& seen = it->second;
  if (!first && now - seen.last < std::chrono::seconds(1)) {
    ++seen.held;
    return std::nullopt;
  }
  if (seen.held > 0)
    line += " (and " + std::to_string(seen.held) + " more lines about " + key + " held back)";
  seen.last = now;
  seen.held = 0;
  return line;
}

} // namespace otp_service
