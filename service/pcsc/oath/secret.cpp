#include "oath/secret.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <stdexcept>

#include "crypto/totp.h"

namespace oath {

void Secret::wipe() {
  crypto::secure_wipe(bytes_.data(), bytes_.size());
  bytes_.clear();
}

Secret derive_key(std::string_view pin, ByteView salt) {
  return Secret{crypto::pbkdf2_hmac_sha1(pin, salt.copy(), 1000, 16)};
}

Bytes hmac_sha1(ByteView key, ByteView message) {
  return crypto::hmac(crypto::Algorithm::sha1, key.data(), key.size(), message.data(),
                      message.size());
}

bool answer_checks_out(const Secret& key, ByteView challenge, ByteView answer) {
  const Bytes expected = hmac_sha1(key.view(), challenge);
  return answer.size() == expected.size()
         && CRYPTO_memcmp(answer.data(), expected.data(), expected.size()) == 0;
}

RandomSource system_random() {
  return [](size_t size) {
    Bytes out(size);
    if (size > 0 && RAND_bytes(out.data(), static_cast<int>(size)) != 1)
      throw std::runtime_error("no random bytes");
    return out;
  };
}

} // namespace oath
