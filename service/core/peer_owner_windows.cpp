// Windows: the owner process of the other end from the system's TCP table,
// its account from its token; a system account's service through the service
// manager. Under Wine, which knows no owner processes, the Linux rule on the
// Linux tables (Z:\proc\net\tcp), with this process's Unix uid.
#include "core/peer_owner.h"

#include <charconv>

#include "core/linux_rule.h"
#include "socket_ends.h"
#include "windows_owners.h"

namespace otp_service {

namespace {

// LocalSystem: it can reach the key without the service, as root can.
constexpr const char* local_system = "S-1-5-18";

std::string on_wine(const std::string& path) {
  return linux_path(path);
}

std::optional<Account> windows_owner_of(const connection_ends& ends, std::string& why) {
  auto rows = windows_tcp_rows(why);
  if (!rows)
    return std::nullopt;
  auto pid = peer_owner(*rows, ends.ours, ends.theirs);
  if (!pid) {
    why = "no process holds the other end";
    return std::nullopt;
  }
  if (auto account = process_account(*pid, why))
    return account;
  return system_service_account(*pid);
}

} // namespace

PeerOwner owner_of_peer(caf::io::network::native_socket fd) {
  auto ends = ends_of_socket(static_cast<std::uintptr_t>(fd));
  if (!ends)
    return {std::nullopt, "the connection's ends are unknown"};
  std::string why;
  if (under_wine()) {
    auto uid = owner_in_tables(ends->ours, ends->theirs, on_wine, why);
    return peer_of_uid(uid, why, on_wine);
  }
  auto account = windows_owner_of(*ends, why);
  return {account, account ? std::string{} : why};
}

std::vector<Account> own_accounts() {
  if (under_wine()) {
    if (auto uid = wine_unix_uid())
      return accounts_of_uid(*uid, on_wine);
    return {};
  }
  return {own_account(), local_system};
}

std::optional<Account> account_named(std::string_view name) {
  socket_uid uid = 0;
  auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), uid);
  const bool number = !name.empty() && ec == std::errc{} && end == name.data() + name.size();
  if (under_wine())
    return number ? std::optional<Account>{uid_account(uid)} : std::nullopt;
  return windows_account_named(std::string{name});
}

} // namespace otp_service
