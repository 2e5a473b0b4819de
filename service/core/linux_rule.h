// The owner rule on Linux's own files, shared by Linux and by Windows under
// Wine (which reads them as Z:\proc\...): uids as the tables show them, and
// the overflow uid inside a user namespace trusted as nobody in particular.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/access.h"
#include "core/peer_owner.h"
#include "tcp_table.h"

namespace otp_service {

// Where Linux's files are: the path itself on Linux, Z:\... under Wine.
using LinuxPath = std::string (*)(const std::string& path);

Account uid_account(socket_uid uid);

// The owner of the other end of a connection with `ends`, from /proc/net/tcp
// and tcp6; `why` says what went wrong when there is none.
std::optional<socket_uid> owner_in_tables(const tcp_endpoint& ours, const tcp_endpoint& theirs,
                                          LinuxPath at, std::string& why);

// A uid the tables gave (none: with `why`) as the peer's account; the
// overflow uid inside a user namespace is no account.
PeerOwner peer_of_uid(std::optional<socket_uid> uid, std::string why, LinuxPath at);

// The service's uid, and root's when uids mean what they say (no user
// namespace of its own).
std::vector<Account> accounts_of_uid(socket_uid own, LinuxPath at);

} // namespace otp_service
