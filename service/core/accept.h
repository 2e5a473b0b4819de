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

} // namespace otp_service
