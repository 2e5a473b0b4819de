// HMAC, PBKDF2 and wiping through OpenSSL (Linux).
#include "crypto/secure_clear.h"
#include "crypto/totp.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <stdexcept>

namespace crypto {

namespace {

const EVP_MD* digest(Algorithm algorithm) {
  switch (algorithm) {
    case Algorithm::sha1: return EVP_sha1();
    case Algorithm::sha256: return EVP_sha256();
    case Algorithm::sha512: return EVP_sha512();
  }
  throw std::invalid_argument("unknown algorithm");
}

}  // namespace

std::vector<uint8_t> hmac(Algorithm algorithm, const uint8_t* key, size_t key_size,
                          const uint8_t* message, size_t message_size) {
  // HMAC() treats a null key pointer as "no key given"; point at a real byte.
  static const unsigned char empty = 0;
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int mac_len = 0;
  if (HMAC(digest(algorithm), key_size == 0 ? &empty : key, static_cast<int>(key_size),
           message_size == 0 ? &empty : message, message_size, mac, &mac_len) == nullptr) {
    throw std::runtime_error("HMAC computation failed");
  }
  return std::vector<uint8_t>(mac, mac + mac_len);
}

std::vector<uint8_t> pbkdf2_hmac_sha1(std::string_view password, const std::vector<uint8_t>& salt,
                                      unsigned iterations, size_t size) {
  static const unsigned char empty = 0;
  std::vector<uint8_t> out(size);
  if (iterations == 0 ||
      PKCS5_PBKDF2_HMAC_SHA1(password.empty() ? reinterpret_cast<const char*>(&empty)
                                              : password.data(),
                             static_cast<int>(password.size()),
                             salt.empty() ? &empty : salt.data(), static_cast<int>(salt.size()),
                             static_cast<int>(iterations), static_cast<int>(size),
                             out.data()) != 1) {
    throw std::runtime_error("PBKDF2 computation failed");
  }
  return out;
}

std::vector<uint8_t> random_bytes(size_t size) {
  std::vector<uint8_t> out(size);
  if (size > 0 && RAND_bytes(out.data(), static_cast<int>(size)) != 1)
    throw std::runtime_error("no random bytes");
  return out;
}

void secure_wipe(void* data, std::size_t size) noexcept {
  if (size != 0)
    OPENSSL_cleanse(data, size);
}

}  // namespace crypto
