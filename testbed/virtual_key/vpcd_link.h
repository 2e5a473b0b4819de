// The virtual key as a card of vpcd, the virtual smart-card reader driver of
// pcscd: vpcd listens on TCP and the card connects to it. Every message in
// both directions is a 2-byte big-endian length and the bytes.
#pragma once

#include "oath_applet.h"

#include <chrono>
#include <cstdint>
#include <optional>

namespace virtual_key {

Bytes frame(const Bytes& payload);

// Cuts a byte stream into vpcd messages.
class FrameReader {
public:
  void feed(const uint8_t* data, size_t size);
  // The next whole message, if one has arrived.
  std::optional<Bytes> next();

private:
  Bytes buffer_;
  size_t start_ = 0;
};

// A T=1 answer to reset with TA1 13, IFSC 254 and the historical bytes
// "80 73 C0 21 C0" (card capabilities) and "56 'Tovrin'" (issuer), with TCK.
const Bytes& card_atr();

// What a message from vpcd asks of the card: one-byte control codes
// (0 power off, 1 power on, 2 reset, 4 send the ATR) or a command APDU.
class VirtualCard {
public:
  explicit VirtualCard(OathApplet& applet) : applet_(applet) {}

  enum class Action { none, send, drop };
  struct Reply {
    Action action = Action::none;
    Bytes bytes;
  };
  Reply on_message(const Bytes& message);
  // The key leaves the reader.
  void removed() { applet_.power_off(); }

private:
  OathApplet& applet_;
};

struct LinkOptions {
  uint16_t port = 35963;
  bool quickack = true;  // off only to measure what it saves
  bool trace = false;    // each message and answer on stderr
};

// The connection to vpcd on 127.0.0.1. SIGUSR1 pulls the key (the connection
// closes, also during a touch wait), SIGUSR2 inserts it again (connects),
// SIGTERM, SIGINT and SIGHUP end run(). Until vpcd listens the link keeps
// trying to connect; when vpcd goes away it tries again.
class VpcdLink {
public:
  explicit VpcdLink(LinkOptions options);
  ~VpcdLink();
  VpcdLink(const VpcdLink&) = delete;
  VpcdLink& operator=(const VpcdLink&) = delete;

  // The applet's wait: false when a signal or vpcd cut it short.
  bool wait(std::chrono::milliseconds duration);
  // Serves the card until asked to stop. Returns the exit status.
  int run(VirtualCard& card);

private:
  enum class Event { none, removed, inserted, stop };
  enum class End { removed, stop, closed };

  Event read_signal();
  void apply(Event event);
  bool connect_when_listening();
  End serve(VirtualCard& card);
  void quickack() const;

  LinkOptions options_;
  int signal_fd_ = -1;
  int socket_ = -1;
  bool removed_ = false;
  bool stop_ = false;
  End cut_ = End::closed;  // why the last wait ended early
};

}  // namespace virtual_key
