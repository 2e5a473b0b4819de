// Who owns the other end of a connection: the row in the socket tables, and
// the kernel's sock_diag answer, on recorded bytes and on a real connection.
#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "sock_diag.h"
#include "table_files.h"
#include "tcp_table.h"

namespace {

const auto lo = ipv4_in_ipv6(htonl(INADDR_LOOPBACK));

// Port 12900 is 3264 in hex; 50000 is C350.
const char* const table =
  "   0: 0100007F:3264 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000        0 81 1\n"
  "   1: 0100007F:3264 0100007F:C350 01 00000000:00000000 00:00000000 00000000  1000        0 83 1\n"
  "   2: 0100007F:C350 0100007F:3264 01 00000000:00000000 00:00000000 00000000  4242        0 84 1\n"
  "   3: 0100007F:C351 0100007F:3264 06 00000000:00000000 03:00000000 00000000     0        0 0 3\n"
  "   4: 0100007F:C352 0100007F:3264 01 00000000:00000000 00:00000000 00000000     0        0 0 3\n";

std::vector<unsigned char> diag_reply(uint8_t state, uint32_t uid, uint32_t inode) {
  struct {
    nlmsghdr header;
    inet_diag_msg msg;
  } reply{};
  reply.header.nlmsg_len = sizeof reply;
  reply.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  reply.msg.idiag_state = state;
  reply.msg.idiag_uid = uid;
  reply.msg.idiag_inode = inode;
  auto bytes = reinterpret_cast<const unsigned char*>(&reply);
  return {bytes, bytes + sizeof reply};
}

} // namespace

TEST(PeerOwner, TheEstablishedRowWithTheEndsSwappedAndAProcessHoldingIt) {
  const auto rows = parse_tcp_table(table);
  ASSERT_EQ(rows.size(), 5u);
  const tcp_endpoint service{lo, 12900};
  EXPECT_EQ(peer_owner(rows, service, {lo, 50000}), 4242u);
  // Our own end is not the peer's; a closing socket and an orphan (inode 0,
  // which the kernel shows as uid 0) are nobody's; an unknown port neither.
  EXPECT_EQ(peer_owner(rows, {lo, 50000}, service), 1000u);
  EXPECT_EQ(peer_owner(rows, service, {lo, 50001}), std::nullopt);
  EXPECT_EQ(peer_owner(rows, service, {lo, 50002}), std::nullopt);
  EXPECT_EQ(peer_owner(rows, service, {lo, 50003}), std::nullopt);
  EXPECT_EQ(peer_owner(rows, service, {ipv4_in_ipv6(htonl(0x7F000002)), 50000}), std::nullopt);
}

TEST(PeerOwner, SockDiagAnswersGiveAnOwnerOnlyForAHeldEstablishedSocket) {
  auto owner = [](std::vector<unsigned char> bytes) {
    return sock_diag_owner(bytes.data(), bytes.size());
  };
  EXPECT_EQ(owner(diag_reply(TCP_ESTABLISHED, 4242, 84)), 4242u);
  EXPECT_EQ(owner(diag_reply(TCP_ESTABLISHED, 0, 0)), std::nullopt);
  EXPECT_EQ(owner(diag_reply(TCP_FIN_WAIT1, 4242, 84)), std::nullopt);
  auto truncated = diag_reply(TCP_ESTABLISHED, 4242, 84);
  truncated.resize(truncated.size() - 1);
  EXPECT_EQ(owner(truncated), std::nullopt);
  auto error = diag_reply(TCP_ESTABLISHED, 4242, 84);
  reinterpret_cast<nlmsghdr*>(error.data())->nlmsg_type = NLMSG_ERROR;
  EXPECT_EQ(owner(error), std::nullopt);
}

// A real loopback connection of this process: the kernel and the tables both
// name this process's user as the owner of the connecting end.
TEST(PeerOwner, TheKernelAndTheTablesAgreeOnARealConnection) {
  int server = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(server, 1), 0);
  socklen_t len = sizeof addr;
  ::getsockname(server, reinterpret_cast<sockaddr*>(&addr), &len);
  int client = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  sockaddr_in client_addr{};
  len = sizeof client_addr;
  ::getsockname(client, reinterpret_cast<sockaddr*>(&client_addr), &len);
  const tcp_endpoint ours{lo, ntohs(addr.sin_port)};
  const tcp_endpoint theirs{lo, ntohs(client_addr.sin_port)};

  auto diag = ask_sock_diag(ours, theirs);
  ASSERT_TRUE(diag.usable) << diag.why;
  EXPECT_EQ(diag.owner, ::geteuid()) << diag.why;
  std::string why;
  auto rows = read_socket_tables("/proc/net/tcp", "/proc/net/tcp6", why);
  ASSERT_TRUE(rows) << why;
  EXPECT_EQ(peer_owner(*rows, ours, theirs), ::geteuid());
  // No such connection: no owner.
  EXPECT_EQ(ask_sock_diag(ours, {lo, static_cast<uint16_t>(theirs.port + 1)}).owner,
            std::nullopt);
  ::close(client);
  ::close(server);
}

TEST(PeerOwner, TheEffectiveUidOfAProcessStatus) {
  EXPECT_EQ(status_effective_uid("Name:\twine64\nUid:\t1000\t1001\t1001\t1001\nGid:\t5\n"),
            1001u);
  EXPECT_EQ(status_effective_uid("Name:\tx\nGid:\t5\n"), std::nullopt);
  EXPECT_EQ(status_effective_uid("Uid:\t1000\n"), std::nullopt);
}
