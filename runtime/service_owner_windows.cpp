// Windows: the owner process of each socket from the system's TCP table, and
// its account from its token; a running service of a system account is
// recognised through the service manager. Under Wine, which knows no owner
// processes, the Linux rule on the Linux tables (through Z:\proc), our own
// end found as a connection of our Unix uid.
#include "service_owner.h"

#include <windows.h>

#include "windows_owners.h"

namespace {

proc_sources linux_sources() {
  proc_sources from;
  for (auto* path : {&from.tcp, &from.tcp6, &from.login_defs, &from.uid_map, &from.overflow_uid})
    *path = linux_path(*path);
  return from;
}

windows_owner owner_of(uint32_t pid) {
  windows_owner owner{pid, std::nullopt, std::nullopt, {}};
  if (pid == 0)
    return owner;
  owner.account = process_account(pid, owner.why);
  if (!owner.account || *owner.account != own_account())
    owner.service_account = system_service_account(pid);
  return owner;
}

std::string cannot_tell(const std::string& what, const std::string& why) {
  return what + " cannot be checked: " + why;
}

} // namespace

std::optional<std::string> untrusted_service_listener(uint16_t port, const proc_sources&) {
  if (under_wine()) {
    auto uid = wine_unix_uid();
    if (!uid)
      return cannot_tell("The listener on 127.0.0.1:" + std::to_string(port),
                         "this process's Unix uid is unknown");
    return listener_distrust(port, linux_sources(), *uid);
  }
  const auto where = "The listener on 127.0.0.1:" + std::to_string(port);
  std::string why;
  auto rows = windows_tcp_rows(why);
  if (!rows)
    return cannot_tell(where, why);
  const auto own = own_account();
  for (auto& row : *rows)
    if (row.state == tcp_listen && row.local_port == port && reaches_loopback(row.local_address))
      if (auto distrust = windows_distrust(where, owner_of(row.uid), own))
        return distrust;
  return std::nullopt;
}

std::optional<std::string> untrusted_service_connection(uint16_t port, const proc_sources&) {
  const auto where = "The service's end of the connection to 127.0.0.1:" + std::to_string(port);
  if (under_wine()) {
    auto uid = wine_unix_uid();
    if (!uid)
      return cannot_tell(where, "this process's Unix uid is unknown");
    return connection_distrust(port, linux_sources(), *uid,
                               [&](const tcp_socket_row& row) { return row.uid == *uid; });
  }
  std::string why;
  auto rows = windows_tcp_rows(why);
  if (!rows)
    return cannot_tell(where, why);
  const uint32_t self = GetCurrentProcessId();
  auto ends =
    service_ends(*rows, [&](const tcp_socket_row& row) { return row.uid == self; }, port);
  if (ends.empty())
    return where + " cannot be found";
  const auto own = own_account();
  for (auto& end : ends)
    if (auto distrust = windows_distrust(where, owner_of(end.owner.value_or(0)), own))
      return distrust;
  return std::nullopt;
}
