#pragma once

// Linux's TCP socket tables (/proc/net/tcp and /proc/net/tcp6) read as text:
// the rows, and the rows that answer "who owns this socket". No I/O here.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

// A uid as the tables print it (uid_t on Linux; the same numbers under Wine).
using socket_uid = uint32_t;

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
  socket_uid uid = 0;
  uint64_t inode = 0;
};

constexpr unsigned tcp_established = 0x01;
constexpr unsigned tcp_listen = 0x0A;

// An IPv4 address (network byte order) in the IPv6 form the rows use.
tcp_socket_row::address ipv4_in_ipv6(uint32_t ipv4);

// The rows in the text of /proc/net/tcp or /proc/net/tcp6; lines that do not
// parse are skipped.
std::vector<tcp_socket_row> parse_tcp_table(std::string_view text);

// The owners (uids) of the TCP sockets in the state LISTEN, in the text of
// /proc/net/tcp or /proc/net/tcp6, that accept connections to
// 127.0.0.1:`port`: bound to 127.0.0.1 or to the wildcard address (also
// IPv6's, and IPv6's form of 127.0.0.1). Lines that do not parse are skipped.
std::vector<socket_uid> loopback_listener_owners(std::string_view proc_net_tcp, uint16_t port);

// Whether a listener bound to `local` takes connections to 127.0.0.1.
bool reaches_loopback(const tcp_socket_row::address& local);

// One end of a TCP connection.
struct tcp_endpoint {
  tcp_socket_row::address address{};
  uint16_t port = 0;
};

// The owner of the other end of an established connection whose end here is
// `ours` and whose other end is `theirs`: the established row with those
// ends swapped. None when that row is missing, or when it belongs to no
// process any more (inode 0: the kernel then shows uid 0 for it).
std::optional<socket_uid> peer_owner(const std::vector<tcp_socket_row>& rows,
                                     const tcp_endpoint& ours, const tcp_endpoint& theirs);

// The inode of a socket from the target of a link in /proc/PID/fd
// ("socket:[12345]"); none for anything else.
std::optional<uint64_t> socket_inode(std::string_view link_target);

// The service's end of one of our connections to 127.0.0.1:`port`.
struct service_end {
  uint16_t our_port = 0;
  std::optional<socket_uid> owner; // none: the other end is not in the tables
};

// Our established connections to 127.0.0.1:`port` among `rows` (both tables)
// that are one of `our_sockets` (inodes), each with the owner of the row at
// its other end: local port `port`, remote port ours, addresses swapped.
std::vector<service_end> service_ends(const std::vector<tcp_socket_row>& rows,
                                      const std::vector<uint64_t>& our_sockets, uint16_t port);
// The same for the rows that `ours` picks as ours.
std::vector<service_end> service_ends(const std::vector<tcp_socket_row>& rows,
                                      const std::function<bool(const tcp_socket_row&)>& ours,
                                      uint16_t port);

// The first uid of a regular account: UID_MIN in the text of
// /etc/login.defs, 1000 when it sets none.
socket_uid first_regular_uid(std::string_view login_defs);

// Whether the text of /proc/self/uid_map maps every uid to itself: this
// process is in no user namespace of its own, so uids mean what they say.
bool identity_uid_map(std::string_view uid_map);

// The number in the text of /proc/sys/kernel/overflowuid (65534 when the
// text holds none): the uid the tables show for an owner that this user
// namespace cannot map.
socket_uid overflow_uid(std::string_view text);

// The effective uid in the text of /proc/PID/status (the second number of
// its "Uid:" line); none without one.
std::optional<socket_uid> status_effective_uid(std::string_view status);
