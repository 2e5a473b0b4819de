// Taking one connection off a listening socket, with the failures that
// matter told apart. One source file per platform.
#pragma once

#include <string>

#include "caf/io/network/native_socket.hpp"

namespace otp_service {

struct Accepted {
  enum Status { connection, none_waiting, out_of_descriptors, failed };
  Status status = none_waiting;
  caf::io::network::native_socket socket = caf::io::network::invalid_native_socket;
  std::string error; // for out_of_descriptors and failed
};

Accepted accept_connection(caf::io::network::native_socket listener);

// Whether the listener lets another socket bind its address and port beside
// it (SO_REUSEADDR): yes on Linux, where only the same account may, so that
// a restart finds the port free at once; not on Windows, where any may.
extern const bool share_listening_port;

} // namespace otp_service
