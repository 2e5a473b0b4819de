#include "core/accept.h"

#include <winsock2.h>

namespace otp_service {

// SO_REUSEADDR on Windows lets a socket of any account bind the same address
// and port beside ours.
const bool share_listening_port = false;

Accepted accept_connection(caf::io::network::native_socket listener) {
  const SOCKET s = ::accept(listener, nullptr, nullptr);
  if (s != INVALID_SOCKET)
    return {Accepted::connection, s, {}};
  const int error = WSAGetLastError();
  switch (error) {
    case WSAEWOULDBLOCK:
    case WSAEINTR:
    case WSAECONNRESET:
      return {};
    case WSAEMFILE:
    case WSAENOBUFS:
      return {Accepted::out_of_descriptors, caf::io::network::invalid_native_socket,
              "out of sockets (" + std::to_string(error) + ")"};
    default:
      return {Accepted::failed, caf::io::network::invalid_native_socket,
              "accept failed (" + std::to_string(error) + ")"};
  }
}

} // namespace otp_service
