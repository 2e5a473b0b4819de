#include "core/accept.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace otp_service {

const bool share_listening_port = true;

Accepted accept_connection(caf::io::network::native_socket listener) {
  const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd >= 0)
    return {Accepted::connection, fd, {}};
  const int error = errno;
  switch (error) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
      return {};
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
      return {Accepted::out_of_descriptors, fd, std::strerror(error)};
    default:
      return {Accepted::failed, fd, std::strerror(error)};
  }
}

} // namespace otp_service
