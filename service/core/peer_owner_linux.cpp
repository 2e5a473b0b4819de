// Linux: the kernel's socket diagnostics (sock_diag over netlink) tell who
// owns the other end; where netlink cannot be had, the socket tables in
// /proc/net do, at a cost of some milliseconds each (they walk the whole
// connection hash table).
#include "core/peer_owner.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "table_files.h"
#include "tcp_table.h"

namespace otp_service {

namespace {

Account uid_account(socket_uid uid) {
  return "uid " + std::to_string(uid);
}

// Set once, when the process enters its user namespace; an unreadable map
// counts as a namespace.
bool identity_map() {
  static const bool identity =
    identity_uid_map(read_text_file("/proc/self/uid_map").text.value_or(""));
  return identity;
}

// Inside a user namespace the tables show every owner outside it as the
// overflow uid (or as nobody): such a uid stands for no account in particular.
bool stands_for_anyone(socket_uid uid) {
  static const socket_uid overflow =
    overflow_uid(read_text_file("/proc/sys/kernel/overflowuid").text.value_or(""));
  return (uid == overflow || uid == 65534) && !identity_map();
}

std::optional<tcp_endpoint> endpoint_of(const sockaddr_storage& addr) {
  tcp_endpoint end;
  if (addr.ss_family == AF_INET) {
    auto& in = reinterpret_cast<const sockaddr_in&>(addr);
    end.address = ipv4_in_ipv6(in.sin_addr.s_addr);
    end.port = ntohs(in.sin_port);
  } else if (addr.ss_family == AF_INET6) {
    auto& in6 = reinterpret_cast<const sockaddr_in6&>(addr);
    std::memcpy(end.address.data(), &in6.sin6_addr, sizeof end.address);
    end.port = ntohs(in6.sin6_port);
  } else {
    return std::nullopt;
  }
  return end;
}

// Our end (getsockname) or theirs (getpeername).
template <class F>
std::optional<tcp_endpoint> end_of(int fd, F get) {
  sockaddr_storage addr{};
  socklen_t size = sizeof addr;
  if (get(fd, reinterpret_cast<sockaddr*>(&addr), &size) != 0)
    return std::nullopt;
  return endpoint_of(addr);
}

// What sock_diag says of the socket at `theirs` connected to `ours`.
struct DiagAnswer {
  bool usable = true;              // false: no netlink here (use /proc)
  std::optional<socket_uid> owner; // none: no such socket, or no process holds it
  std::string why;                 // why it could not be asked
};

bool netlink_denied(int error) {
  return error == EAFNOSUPPORT || error == EPROTONOSUPPORT || error == EPERM || error == EACCES;
}

DiagAnswer ask_sock_diag(const tcp_endpoint& ours, const tcp_endpoint& theirs) {
  const int nl = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (nl < 0)
    return {!netlink_denied(errno), std::nullopt,
            std::string{"no netlink socket: "} + std::strerror(errno)};
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } query{};
  query.header.nlmsg_len = sizeof query;
  query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  query.header.nlmsg_flags = NLM_F_REQUEST;
  auto& req = query.request;
  // An IPv4 connection (an IPv6 socket reaching 127.0.0.1 holds the same
  // addresses, ::ffff:127.0.0.1, and is found by the IPv4 lookup too).
  const bool ipv4 = ours.address == ipv4_in_ipv6(ours.address[3]);
  req.sdiag_family = ipv4 ? AF_INET : AF_INET6;
  req.sdiag_protocol = IPPROTO_TCP;
  req.idiag_states = 1u << TCP_ESTABLISHED;
  req.id.idiag_sport = htons(theirs.port);
  req.id.idiag_dport = htons(ours.port);
  if (ipv4) {
    req.id.idiag_src[0] = theirs.address[3];
    req.id.idiag_dst[0] = ours.address[3];
  } else {
    std::memcpy(req.id.idiag_src, theirs.address.data(), sizeof req.id.idiag_src);
    std::memcpy(req.id.idiag_dst, ours.address.data(), sizeof req.id.idiag_dst);
  }
  req.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  req.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  DiagAnswer answer;
  alignas(nlmsghdr) char buf[1024];
  ssize_t got = -1;
  if (::send(nl, &query, sizeof query, 0) == static_cast<ssize_t>(sizeof query)) {
    do
      got = ::recv(nl, buf, sizeof buf, 0);
    while (got < 0 && errno == EINTR);
  }
  const int error = errno;
  ::close(nl);
  if (got < 0)
    return {!netlink_denied(error), std::nullopt,
            std::string{"sock_diag did not answer: "} + std::strerror(error)};
  auto* msg = reinterpret_cast<const nlmsghdr*>(buf);
  if (!NLMSG_OK(msg, static_cast<unsigned>(got)) || msg->nlmsg_type != SOCK_DIAG_BY_FAMILY
      || msg->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
    return answer; // NLMSG_ERROR: ENOENT, no such connection
  auto* diag = static_cast<const inet_diag_msg*>(NLMSG_DATA(msg));
  if (diag->idiag_state == TCP_ESTABLISHED && diag->idiag_inode != 0)
    answer.owner = diag->idiag_uid;
  return answer;
}

// The same answer from /proc/net/tcp and tcp6; none in `owner`, with `why`.
std::optional<socket_uid> owner_in_tables(const tcp_endpoint& ours, const tcp_endpoint& theirs,
                                          std::string& why) {
  auto rows = read_socket_tables("/proc/net/tcp", "/proc/net/tcp6", why);
  if (!rows)
    return std::nullopt;
  return peer_owner(*rows, ours, theirs);
}

} // namespace

PeerOwner owner_of_peer(caf::io::network::native_socket fd) {
  auto ours = end_of(fd, ::getsockname);
  auto theirs = end_of(fd, ::getpeername);
  if (!ours || !theirs)
    return {std::nullopt, std::string{"the connection's ends are unknown: "} + std::strerror(errno)};
  std::string why;
  std::optional<socket_uid> uid;
  if (auto diag = ask_sock_diag(*ours, *theirs); diag.usable) {
    uid = diag.owner;
    why = diag.why;
  } else {
    uid = owner_in_tables(*ours, *theirs, why);
  }
  if (!why.empty())
    return {std::nullopt, why};
  if (!uid)
    return {std::nullopt, "no process holds the other end"};
  if (stands_for_anyone(*uid))
    return {std::nullopt, "uid " + std::to_string(*uid)
                            + " stands for any account outside this user namespace"};
  return {uid_account(*uid), {}};
}

std::vector<Account> own_accounts() {
  std::vector<Account> accounts{uid_account(::geteuid())};
  if (::geteuid() != 0 && identity_map())
    accounts.push_back(uid_account(0));
  return accounts;
}

std::optional<Account> account_named(std::string_view name) {
  socket_uid uid = 0;
  auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), uid);
  if (!name.empty() && ec == std::errc{} && end == name.data() + name.size())
    return uid_account(uid);
  std::string text{name};
  passwd entry{};
  passwd* found = nullptr;
  char buf[4096];
  if (::getpwnam_r(text.c_str(), &entry, buf, sizeof buf, &found) != 0 || !found)
    return std::nullopt;
  return uid_account(found->pw_uid);
}

} // namespace otp_service
