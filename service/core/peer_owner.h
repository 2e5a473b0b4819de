// Whose process is at the other end of a connection to the service, and the
// accounts the service trusts by itself. One source file per platform.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "caf/io/network/native_socket.hpp"

#include "core/access.h"

namespace otp_service {

struct PeerOwner {
  std::optional<Account> account; // none: not known for sure
  std::string why;                // why not, for the log
};

// The owner of the other end of the accepted connection `fd`.
PeerOwner owner_of_peer(caf::io::network::native_socket fd);

// The service's own account, and the accounts trusted along with it (root,
// which can reach the key without the service anyway).
std::vector<Account> own_accounts();

// "uid 1000" for "1000" or for the name of that account; none when there
// is no such account.
std::optional<Account> account_named(std::string_view name);

} // namespace otp_service
