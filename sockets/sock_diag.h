#pragma once

// Linux's socket diagnostics (sock_diag over netlink): who owns the socket at
// one end of a TCP connection, asked of the kernel for that socket alone.
// Reading /proc/net/tcp tells the same but walks the whole connection hash
// table (some milliseconds each time, however few sockets there are).

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "tcp_table.h"

// The request for the established socket whose own end is `theirs` and
// whose other end is `ours` (so: the other end of our connection).
std::vector<unsigned char> sock_diag_query(const tcp_endpoint& ours, const tcp_endpoint& theirs);

// The owner in the kernel's answer: none for an error answer (no such
// socket), a malformed one, a socket not established, or one that no
// process holds any more (inode 0).
std::optional<socket_uid> sock_diag_owner(const unsigned char* reply, size_t size);

struct SockDiagAnswer {
  bool usable = true;              // false: netlink is not allowed here
  std::optional<socket_uid> owner; // as sock_diag_owner
  std::string why;                 // why the kernel could not be asked
};

// Asks the kernel (one netlink socket, one request, one answer).
SockDiagAnswer ask_sock_diag(const tcp_endpoint& ours, const tcp_endpoint& theirs);
