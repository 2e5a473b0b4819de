#include "sock_diag.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

struct Query {
  nlmsghdr header;
  inet_diag_req_v2 request;
};

bool netlink_denied(int error) {
  return error == EAFNOSUPPORT || error == EPROTONOSUPPORT || error == EPERM || error == EACCES;
}

} // namespace

std::vector<unsigned char> sock_diag_query(const tcp_endpoint& ours, const tcp_endpoint& theirs) {
  Query query{};
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
  auto bytes = reinterpret_cast<const unsigned char*>(&query);
  return {bytes, bytes + sizeof query};
}

std::optional<socket_uid> sock_diag_owner(const unsigned char* reply, size_t size) {
  nlmsghdr header;
  if (size < sizeof header)
    return std::nullopt;
  std::memcpy(&header, reply, sizeof header);
  if (header.nlmsg_type != SOCK_DIAG_BY_FAMILY || header.nlmsg_len > size
      || header.nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
    return std::nullopt; // NLMSG_ERROR: ENOENT, no such connection
  inet_diag_msg diag;
  std::memcpy(&diag, reply + NLMSG_HDRLEN, sizeof diag);
  if (diag.idiag_state != TCP_ESTABLISHED || diag.idiag_inode == 0)
    return std::nullopt;
  return diag.idiag_uid;
}

SockDiagAnswer ask_sock_diag(const tcp_endpoint& ours, const tcp_endpoint& theirs) {
  const int nl = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (nl < 0)
    return {!netlink_denied(errno), std::nullopt,
            std::string{"no netlink socket: "} + std::strerror(errno)};
  const auto query = sock_diag_query(ours, theirs);
  unsigned char reply[1024];
  ssize_t got = -1;
  if (::send(nl, query.data(), query.size(), 0) == static_cast<ssize_t>(query.size())) {
    do
      got = ::recv(nl, reply, sizeof reply, 0);
    while (got < 0 && errno == EINTR);
  }
  const int error = errno;
  ::close(nl);
  if (got < 0)
    return {!netlink_denied(error), std::nullopt,
            std::string{"sock_diag did not answer: "} + std::strerror(error)};
  return {true, sock_diag_owner(reply, static_cast<size_t>(got)), {}};
}
