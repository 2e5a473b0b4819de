#pragma once

// Who runs the service the application is about to send the PIN to: the
// owner of the socket that listens on the service's loopback port, and once
// connected, the owner of the service's end of the connection.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "tcp_table.h"

// The uids as this process sees them.
struct uid_view {
  socket_uid user = 0;           // the user running the application
  socket_uid first_regular = 1000;
  bool identity_map = false;
  socket_uid overflow = 65534;   // what the kernel shows for an owner it cannot map
};

// Only root can start a process as root, as a system account or as nobody;
// the user running the application is trusted too. Inside a user namespace
// 65534 and the overflow uid stand for any owner outside it: not trusted.
bool trusted_owner(socket_uid owner, const uid_view& uids);

// Where the check reads this machine's state; tests point it elsewhere.
struct proc_sources {
  std::string tcp = "/proc/net/tcp";
  std::string tcp6 = "/proc/net/tcp6";
  std::string login_defs = "/etc/login.defs";
  std::string uid_map = "/proc/self/uid_map";
  std::string overflow_uid = "/proc/sys/kernel/overflowuid";
  std::string fd_dir = "/proc/self/fd";
};

// Why a listener on 127.0.0.1:`port` is not trusted, as one line for the
// log; none when every listener is trusted or nothing listens. A table that
// cannot be read is not trusted; a missing tcp6 (no IPv6) is an empty one.
// Always none when the build turned the check off. (On Windows, `from` is
// not used: see service_owner_windows.cpp.)
std::optional<std::string> untrusted_service_listener(uint16_t port,
                                                      const proc_sources& from = {});

// Why the service's end of this process's connection to 127.0.0.1:`port`
// is not trusted, as one line for the log; none when it is. A connection
// that cannot be found is not trusted, nor are tables that cannot be read.
// Always none when the build turned the check off.
std::optional<std::string> untrusted_service_connection(uint16_t port,
                                                        const proc_sources& from = {});

// Runs after the listener check, just before the connection is made; empty
// in the application (tests replace the listener here).
extern std::function<void()> service_connect_hook;

// The rule on Linux's tables, for the platform files: the uids as seen from
// `from` by `user`, and why a listener on 127.0.0.1:`port` or the service's
// end of one of `ours` (our connections to it) is not trusted.
uid_view uids_seen(const proc_sources& from, socket_uid user);
std::optional<std::string> listener_distrust(uint16_t port, const proc_sources& from,
                                             socket_uid user);
std::optional<std::string> connection_distrust(
  uint16_t port, const proc_sources& from, socket_uid user,
  const std::function<bool(const tcp_socket_row&)>& ours);

// The rule on Windows: a socket's owner process, its account (none when its
// token cannot be read) and, for a running service of a system account,
// that account. Trusted: our own account, or such a service; no owner
// process (0) is not trusted. `what` names the socket in the reason.
struct windows_owner {
  uint32_t pid = 0;
  std::optional<std::string> account;
  std::optional<std::string> service_account;
  std::string why; // why the account is unknown
};
std::optional<std::string> windows_distrust(const std::string& what, const windows_owner& owner,
                                            const std::string& own);
