#include "core/linux_rule.h"

#include "table_files.h"

namespace otp_service {

namespace {

// An unreadable map counts as a namespace.
bool identity_map(LinuxPath at) {
  return identity_uid_map(read_text_file(at("/proc/self/uid_map")).text.value_or(""));
}

// Inside a user namespace the tables show every owner outside it as the
// overflow uid (or as nobody): such a uid stands for no account in particular.
bool stands_for_anyone(socket_uid uid, LinuxPath at) {
  if (uid != 65534
      && uid != overflow_uid(read_text_file(at("/proc/sys/kernel/overflowuid")).text.value_or("")))
    return false;
  return !identity_map(at);
}

} // namespace

Account uid_account(socket_uid uid) {
  return "uid " + std::to_string(uid);
}

std::optional<socket_uid> owner_in_tables(const tcp_endpoint& ours, const tcp_endpoint& theirs,
                                          LinuxPath at, std::string& why) {
  auto rows = read_socket_tables(at("/proc/net/tcp"), at("/proc/net/tcp6"), why);
  if (!rows)
    return std::nullopt;
  return peer_owner(*rows, ours, theirs);
}

PeerOwner peer_of_uid(std::optional<socket_uid> uid, std::string why, LinuxPath at) {
  if (!why.empty())
    return {std::nullopt, why};
  if (!uid)
    return {std::nullopt, "no process holds the other end"};
  if (stands_for_anyone(*uid, at))
    return {std::nullopt, "uid " + std::to_string(*uid)
                            + " stands for any account outside this user namespace"};
  return {uid_account(*uid), {}};
}

std::vector<Account> accounts_of_uid(socket_uid own, LinuxPath at) {
  std::vector<Account> accounts{uid_account(own)};
  if (own != 0 && identity_map(at))
    accounts.push_back(uid_account(0));
  return accounts;
}

} // namespace otp_service
