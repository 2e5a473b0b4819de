// The OATH applet of a security key as a state machine: command APDU bytes in,
// response bytes out. No I/O; the touch wait and the random source are seams.
#pragma once

#include "apdu.h"
#include "crypto/totp.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace virtual_key {

enum class OathType : uint8_t { hotp = 0x10, totp = 0x20 };

// The applet's identifier: A0 00 00 05 27 21 01.
extern const Bytes kOathAid;

// Credentials a key holds at most (PUT of one more answers 6A84).
constexpr size_t kMaxCredentials = 64;
// Bytes of a credential name, period prefix included.
constexpr size_t kMaxNameSize = 64;

struct Credential {
  std::string name;  // as stored and listed: "60/Bank:carol" for a 60-s TOTP
  OathType type = OathType::totp;
  crypto::Algorithm algorithm = crypto::Algorithm::sha1;
  int digits = 6;
  Bytes secret;
  bool touch = false;
  bool increasing_only = false;
  uint64_t counter = 0;  // HOTP: the next moving factor
};

// The access key that a password derives to (PBKDF2 over the salt).
struct AccessKey {
  crypto::Algorithm algorithm = crypto::Algorithm::sha1;
  Bytes key;
};

// What survives removal and insertion.
struct KeyState {
  std::array<uint8_t, 3> version{5, 4, 3};
  Bytes salt = Bytes(8, 0);
  std::optional<AccessKey> access;
  std::vector<Credential> credentials;
};

struct AppletOptions {
  // Time until the button is pressed; nullopt: it never is.
  std::optional<std::chrono::milliseconds> touch_delay;
  // A touch wait gives up with 6982 after this long.
  std::chrono::milliseconds touch_timeout{15000};
  // Response bytes per APDU before the rest is chained with 61xx.
  size_t max_response = 256;
};

struct AppletSeams {
  // Waits this long; false when the wait was cut short (the key was pulled).
  std::function<bool(std::chrono::milliseconds)> wait;
  // Fills the bytes with random values (challenges, the salt after RESET).
  std::function<void(uint8_t*, size_t)> random;
};

class OathApplet {
public:
  OathApplet(KeyState state, AppletOptions options, AppletSeams seams);

  // The response (data and status word) to one command APDU. nullopt when a
  // touch wait was cut short: the key is gone and answers nothing.
  std::optional<Bytes> process(const uint8_t* apdu, size_t size);
  std::optional<Bytes> process(const Bytes& apdu) { return process(apdu.data(), apdu.size()); }

  // Power off, reset or removal: deselects, forgets the validation, the
  // challenge and response data still to be sent. The key state stays.
  void power_off();

  const KeyState& state() const { return state_; }
  bool selected() const { return selected_; }

private:
  struct Answer {
    Bytes data;
    uint16_t status = sw::ok;
  };

  std::optional<Answer> dispatch(const Command& command);
  Answer select(const Command& command);
  Answer list() const;
  Answer put(const Command& command);
  Answer remove(const Command& command);
  Answer rename(const Command& command);
  Answer set_code(const Command& command);
  Answer reset(const Command& command);
  Answer validate(const Command& command);
  std::optional<Answer> calculate(const Command& command);
  Answer calculate_all(const Command& command) const;
  Bytes send_remaining();
  Bytes chunk(Bytes data);

  Credential* find(const Bytes& name);
  bool locked() const;

  KeyState state_;
  AppletOptions options_;
  AppletSeams seams_;
  bool selected_ = false;
  bool validated_ = false;
  std::optional<Bytes> challenge_;  // for the next VALIDATE
  Bytes pending_;                   // response data left for SEND REMAINING
};

// A full HMAC response and its truncation: the 4 bytes of RFC 4226's
// dynamic truncation with the top bit cleared.
uint32_t truncate(const Bytes& mac);

}  // namespace virtual_key
