#include "free_port.h"

#include <stdexcept>

#include "caf/io/network/default_multiplexer.hpp"
#include "caf/io/network/native_socket.hpp"

namespace testing_support {

uint16_t unused_port() {
  namespace net = caf::io::network;
  auto fd = net::new_tcp_acceptor_impl(0, "127.0.0.1", false);
  if (!fd)
    throw std::runtime_error("bind failed");
  auto port = net::local_port_of_fd(*fd);
  net::close_socket(*fd);
  if (!port)
    throw std::runtime_error("bind failed");
  return *port;
}

} // namespace testing_support
