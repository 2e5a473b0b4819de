#include "oath/secret.h"

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
         && crypto::equal_in_constant_time(answer.data(), expected.data(), expected.size());
}

RandomSource system_random() {
  return [](size_t size) { return crypto::random_bytes(size); };
}

} // namespace oath
