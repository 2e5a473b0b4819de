// Who may connect to the service, and how much of it a connection may take:
// the decisions, free of sockets and actors, so that tests can drive them.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace otp_service {

// An account as the platform names it: "uid 1000" on Linux.
using Account = std::string;

struct AccessLimits {
  // Open connections in all, and of one account.
  size_t connections = 128;
  size_t connections_per_account = 32;
  // A connection that has not finished its handshake by then is closed.
  std::chrono::milliseconds handshake{5000};
  // The largest message a client may send, payload after its 32-byte
  // header: above the largest request the application can make (a Change
  // request with two PINs of 32,767 characters, up to 3 bytes each).
  size_t message = 256 * 1024;
  // Out of file descriptors: how long the listener stops accepting.
  std::chrono::milliseconds pause{250};
};

struct AccessPolicy {
  std::vector<Account> trusted; // the service's own account first
  AccessLimits limits;
};

// Why a connection was refused; none when it is let in.
enum class Refusal { unknown_owner, other_account, account_full, service_full };

// The open connections, counted per account. Used on one thread.
class ConnectionCounts {
public:
  explicit ConnectionCounts(AccessPolicy policy) : policy_(std::move(policy)) {}

  // Counts the connection in when it is let in.
  std::optional<Refusal> admit(const std::optional<Account>& owner);
  void release(const Account& owner);

  size_t open() const { return open_; }
  const AccessPolicy& policy() const { return policy_; }

private:
  AccessPolicy policy_;
  std::map<Account, size_t> per_account_;
  size_t open_ = 0;
};

// "refused a connection from uid 4242 (port 51234): not an account this
// service serves"; `detail` says why an owner is unknown.
std::string refusal_text(Refusal why, const std::optional<Account>& owner, uint16_t port,
                         const AccessLimits& limits, const std::string& detail = {});

// At most one log line a second for each account; the lines held back are
// counted and told with the next one that is written.
class LogThrottle {
public:
  using clock = std::chrono::steady_clock;

  // `line` as it should be written now, or none when it is held back.
  std::optional<std::string> pass(const std::string& key, std::string line, clock::time_point now);

private:
  struct Seen {
    clock::time_point last;
    size_t held = 0;
  };
  std::map<std::string, Seen> seen_;
};

} // namespace otp_service
