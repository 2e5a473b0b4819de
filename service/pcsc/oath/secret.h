// Password keys of the applet: derived from the PIN, held only in memory and
// wiped when released.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "crypto/secure_clear.h"
#include "oath/bytes.h"

namespace oath {

// Bytes that are wiped (crypto::secure_wipe) when the object lets go of them.
class Secret {
public:
  Secret() = default;
  explicit Secret(Bytes bytes) : bytes_(std::move(bytes)) {}
  Secret(const Secret& other) : bytes_(other.bytes_) {}
  Secret(Secret&& other) noexcept : bytes_(std::move(other.bytes_)) { other.bytes_.clear(); }
  Secret& operator=(Secret other) noexcept {
    wipe();
    bytes_.swap(other.bytes_);
    return *this;
  }
  ~Secret() { wipe(); }

  ByteView view() const { return bytes_; }
  bool empty() const { return bytes_.empty(); }
  void wipe();

private:
  Bytes bytes_;
};

// A PIN text that is wiped when released, moved from or assigned over.
class SecretText {
public:
  SecretText() = default;
  explicit SecretText(std::string text) : text_(std::move(text)) {}

  const std::string& text() const { return text_.str(); }
  bool empty() const { return text_.str().empty(); }

private:
  crypto::secret_string text_;
};

// PBKDF2-HMAC-SHA1 of the PIN (UTF-8) with the key's salt: 1000 rounds, 16 bytes.
Secret derive_key(std::string_view pin, ByteView salt);

Bytes hmac_sha1(ByteView key, ByteView message);

// True when `answer` is HMAC-SHA1(key, challenge), compared in constant time.
bool answer_checks_out(const Secret& key, ByteView challenge, ByteView answer);

// Where host challenges come from: `size` random bytes.
using RandomSource = std::function<Bytes(size_t size)>;
RandomSource system_random();

} // namespace oath
