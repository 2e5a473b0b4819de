#pragma once

// Both ends of a connected TCP socket, in the form the tables use.

#include <cstdint>
#include <optional>

#include "tcp_table.h"

struct connection_ends {
  tcp_endpoint ours;   // getsockname
  tcp_endpoint theirs; // getpeername
};

// `socket` is the platform's socket (a descriptor, or a Windows SOCKET).
std::optional<connection_ends> ends_of_socket(std::uintptr_t socket);
