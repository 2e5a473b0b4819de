#pragma once

// Who runs the service the application is about to send the PIN to: the
// owner of the socket that listens on the service's loopback port, and once
// connected, the owner of the service's end of the connection.

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One row of /proc/net/tcp or tcp6. An address is four 32-bit words in
// network byte order, as the kernel keeps it; an IPv4 address takes its
// IPv6 form ::ffff:a.b.c.d, so that rows of both tables compare.
struct tcp_socket_row {
  using address = std::array<uint32_t, 4>;
  address local_address{};
  uint16_t local_port = 0;
  address remote_address{};
  uint16_t remote_port = 0;
  unsigned state = 0;
  uid_t uid = 0;
  uint64_t inode = 0;
};

// The rows in the text of /proc/net/tcp or /proc/net/tcp6; lines that do not
// parse are skipped.
std::vector<tcp_socket_row> parse_tcp_table(std::string_view text);

// The owners (uids) of the TCP sockets in the state LISTEN, in the text of
// /proc/net/tcp or /proc/net/tcp6, that accept connections to
// 127.0.0.1:`port`: bound to 127.0.0.1 or to the wildcard address (also
// IPv6's, and IPv6's form of 127.0.0.1). Lines that do not parse are skipped.
std::vector<uid_t> loopback_listener_owners(std::string_view proc_net_tcp, uint16_t port);

// The inode of a socket from the target of a link in /proc/PID/fd
// ("socket:[12345]"); none for anything else.
std::optional<uint64_t> socket_inode(std::string_view link_target);

// The service's end of one of our connections to 127.0.0.1:`port`.
struct service_end {
  uint16_t our_port = 0;
  std::optional<uid_t> owner; // none: the other end is not in the tables
};

// Our established connections to 127.0.0.1:`port` among `rows` (both tables)
// that are one of `our_sockets` (inodes), each with the owner of the row at
// its other end: local port `port`, remote port ours, addresses swapped.
std::vector<service_end> service_ends(const std::vector<tcp_socket_row>& rows,
                                      const std::vector<uint64_t>& our_sockets, uint16_t port);

// The first uid of a regular account: UID_MIN in the text of
// /etc/login.defs, 1000 when it sets none.
uid_t first_regular_uid(std::string_view login_defs);

// Whether the text of /proc/self/uid_map maps every uid to itself: this
// process is in no user namespace of its own, so uids mean what they say.
bool identity_uid_map(std::string_view uid_map);

// The uids as this process sees them.
struct uid_view {
  uid_t user = 0;           // the user running the application
  uid_t first_regular = 1000;
  bool identity_map = false;
  uid_t overflow = 65534;   // what the kernel shows for an owner it cannot map
};

// Only root can start a process as root, as a system account or as nobody;
// the user running the application is trusted too. Inside a user namespace
// 65534 and the overflow uid stand for any owner outside it: not trusted.
bool trusted_owner(uid_t owner, const uid_view& uids);

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
// Always none where the check does not apply (not Linux, or the build
// turned it off).
std::optional<std::string> untrusted_service_listener(uint16_t port,
                                                      const proc_sources& from = {});

// Why the service's end of this process's connection to 127.0.0.1:`port`
// is not trusted, as one line for the log; none when it is. A connection
// that cannot be found is not trusted, nor are tables that cannot be read.
// Always none where the check does not apply.
std::optional<std::string> untrusted_service_connection(uint16_t port,
                                                        const proc_sources& from = {});

// Runs after the listener check, just before the connection is made; empty
// in the application (tests replace the listener here).
extern std::function<void()> service_connect_hook;
