#include "vpcd_link.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

namespace virtual_key {

namespace {

constexpr uint8_t kPowerOff = 0;
constexpr uint8_t kPowerOn = 1;
constexpr uint8_t kReset = 2;
constexpr uint8_t kGetAtr = 4;

constexpr auto kConnectRetry = std::chrono::milliseconds(20);
constexpr auto kSayWaitingAfter = std::chrono::seconds(2);

sigset_t handled_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : {SIGUSR1, SIGUSR2, SIGTERM, SIGINT, SIGHUP})
    sigaddset(&set, signal);
  return set;
}

void trace(const char* direction, const Bytes& bytes) {
  std::string line = direction;
  char hex[4];
  for (uint8_t b : bytes) {
    std::snprintf(hex, sizeof hex, "%02x", b);
    line += hex;
  }
  std::fprintf(stderr, "virtual-oath-key: %s\n", line.c_str());
}

bool write_all(int fd, const Bytes& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

Bytes frame(const Bytes& payload) {
  Bytes out(2 + payload.size());
  out[0] = static_cast<uint8_t>(payload.size() >> 8);
  out[1] = static_cast<uint8_t>(payload.size());
  std::copy(payload.begin(), payload.end(), out.begin() + 2);
  return out;
}

void FrameReader::feed(const uint8_t* data, size_t size) {
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
  start_ = 0;
  buffer_.insert(buffer_.end(), data, data + size);
}

std::optional<Bytes> FrameReader::next() {
  const size_t available = buffer_.size() - start_;
  if (available < 2)
    return std::nullopt;
  const size_t length = size_t{buffer_[start_]} << 8 | buffer_[start_ + 1];
  if (available < 2 + length)
    return std::nullopt;
  Bytes message(buffer_.begin() + static_cast<std::ptrdiff_t>(start_ + 2),
                buffer_.begin() + static_cast<std::ptrdiff_t>(start_ + 2 + length));
  start_ += 2 + length;
  return message;
}

const Bytes& card_atr() {
  static const Bytes atr = [] {
    Bytes bytes{0x3B, 0xFC, 0x13, 0x00, 0x00, 0x81, 0x31, 0xFE, 0x15,
                0x80, 0x73, 0xC0, 0x21, 0xC0, 0x56, 'T', 'o', 'v', 'r', 'i', 'n'};
    uint8_t check = 0;
    for (size_t i = 1; i < bytes.size(); ++i)
      check ^= bytes[i];
    bytes.push_back(check);
    return bytes;
  }();
  return atr;
}

VirtualCard::Reply VirtualCard::on_message(const Bytes& message) {
  if (message.empty())
    return {};
  if (message.size() == 1) {
    switch (message[0]) {
      case kPowerOff:
      case kPowerOn:
      case kReset: applet_.power_off(); return {};
      case kGetAtr: return {Action::send, card_atr()};
      default: return {};
    }
  }
  auto answer = applet_.process(message);
  if (!answer)
    return {Action::drop, {}};
  return {Action::send, std::move(*answer)};
}

VpcdLink::VpcdLink(LinkOptions options) : options_(options) {
  const sigset_t set = handled_signals();
  if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0)
    throw std::runtime_error(std::string("sigprocmask: ") + std::strerror(errno));
  signal_fd_ = signalfd(-1, &set, SFD_CLOEXEC);
  if (signal_fd_ < 0)
    throw std::runtime_error(std::string("signalfd: ") + std::strerror(errno));
}

VpcdLink::~VpcdLink() {
  if (socket_ >= 0)
    ::close(socket_);
  if (signal_fd_ >= 0)
    ::close(signal_fd_);
}

VpcdLink::Event VpcdLink::read_signal() {
  signalfd_siginfo info;
  const ssize_t n = ::read(signal_fd_, &info, sizeof info);
  if (n != static_cast<ssize_t>(sizeof info))
    return Event::none;
  switch (info.ssi_signo) {
    case SIGUSR1: return Event::removed;
    case SIGUSR2: return Event::inserted;
    default: return Event::stop;
  }
}

void VpcdLink::apply(Event event) {
  if (event == Event::removed)
    removed_ = true;
  else if (event == Event::inserted)
    removed_ = false;
  else if (event == Event::stop)
    stop_ = true;
}

void VpcdLink::quickack() const {
  // Without it the kernel holds back the ACK of each command for about 40 ms.
  if (options_.quickack) {
    const int on = 1;
    ::setsockopt(socket_, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
  }
}

bool VpcdLink::wait(std::chrono::milliseconds duration) {
  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + duration;
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now()).count();
    if (left <= 0)
      return true;
    pollfd fds[2] = {{signal_fd_, POLLIN, 0}, {socket_, POLLRDHUP, 0}};
    const int ready = ::poll(fds, 2, static_cast<int>(left));
    if (ready < 0 && errno == EINTR)
      continue;
    if (fds[0].revents & POLLIN) {
      const Event event = read_signal();
      apply(event);
      if (event == Event::removed || event == Event::stop) {
        cut_ = event == Event::removed ? End::removed : End::stop;
        return false;
      }
    }
    if (fds[1].revents & (POLLRDHUP | POLLHUP | POLLERR)) {
      cut_ = End::closed;
      return false;
    }
  }
}

bool VpcdLink::connect_when_listening() {
  using clock = std::chrono::steady_clock;
  const auto started = clock::now();
  bool said = false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(options_.port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  while (!removed_ && !stop_) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0)
      throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
      const int on = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      socket_ = fd;
      if (said || options_.trace)
        std::fprintf(stderr, "virtual-oath-key: connected to vpcd on 127.0.0.1:%u\n",
                     unsigned{options_.port});
      return true;
    }
    ::close(fd);
    if (!said && clock::now() - started >= kSayWaitingAfter) {
      std::fprintf(stderr, "virtual-oath-key: waiting for vpcd on 127.0.0.1:%u\n",
                   unsigned{options_.port});
      said = true;
    }
    pollfd fds[1] = {{signal_fd_, POLLIN, 0}};
    if (::poll(fds, 1, static_cast<int>(kConnectRetry.count())) > 0)
      apply(read_signal());
  }
  return false;
}

VpcdLink::End VpcdLink::serve(VirtualCard& card) {
  FrameReader reader;
  uint8_t buffer[4096];
  for (;;) {
    quickack();
    pollfd fds[2] = {{signal_fd_, POLLIN, 0}, {socket_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR)
        continue;
      return End::closed;
    }
    if (fds[0].revents & POLLIN) {
      const Event event = read_signal();
      apply(event);
      if (event == Event::removed)
        return End::removed;
      if (event == Event::stop)
        return End::stop;
    }
    if (!(fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
      continue;
    quickack();
    const ssize_t n = ::recv(socket_, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return End::closed;
    reader.feed(buffer, static_cast<size_t>(n));
    while (auto message = reader.next()) {
      if (options_.trace)
        trace("> ", *message);
      auto reply = card.on_message(*message);
      if (reply.action == VirtualCard::Action::drop)
        return cut_;
      if (reply.action == VirtualCard::Action::send) {
        if (options_.trace)
          trace("< ", reply.bytes);
        if (!write_all(socket_, frame(reply.bytes)))
          return End::closed;
      }
    }
  }
}

int VpcdLink::run(VirtualCard& card) {
  while (!stop_) {
    if (removed_) {
      pollfd fds[1] = {{signal_fd_, POLLIN, 0}};
      if (::poll(fds, 1, -1) > 0)
        apply(read_signal());
      continue;
    }
    if (!connect_when_listening())
      continue;
    const End end = serve(card);
    ::close(socket_);
    socket_ = -1;
    card.removed();
    if (end == End::closed && !stop_ && !removed_)
      std::fprintf(stderr, "virtual-oath-key: vpcd closed the connection; connecting again\n");
  }
  return 0;
}

}  // namespace virtual_key
