// HMAC, PBKDF2 and wiping through Windows' CNG (bcrypt) and SecureZeroMemory.
#include "crypto/secure_clear.h"
#include "crypto/totp.h"

#include <windows.h>
#include <bcrypt.h>

#include <stdexcept>

namespace crypto {

namespace {

LPCWSTR algorithm_id(Algorithm algorithm) {
  switch (algorithm) {
    case Algorithm::sha1: return BCRYPT_SHA1_ALGORITHM;
    case Algorithm::sha256: return BCRYPT_SHA256_ALGORITHM;
    case Algorithm::sha512: return BCRYPT_SHA512_ALGORITHM;
  }
  throw std::invalid_argument("unknown algorithm");
}

// An HMAC provider for one hash, closed when done.
class HmacProvider {
public:
  explicit HmacProvider(Algorithm algorithm) {
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&handle_, algorithm_id(algorithm), nullptr,
                                                    BCRYPT_ALG_HANDLE_HMAC_FLAG)))
      throw std::runtime_error("HMAC computation failed");
  }
  ~HmacProvider() { BCryptCloseAlgorithmProvider(handle_, 0); }
  HmacProvider(const HmacProvider&) = delete;
  HmacProvider& operator=(const HmacProvider&) = delete;
  BCRYPT_ALG_HANDLE get() const { return handle_; }

private:
  BCRYPT_ALG_HANDLE handle_ = nullptr;
};

// CNG takes no null pointer for empty input: point at a real byte.
PUCHAR bytes_of(const uint8_t* data, size_t size) {
  static UCHAR empty = 0;
  return size == 0 ? &empty : const_cast<PUCHAR>(data);
}

}  // namespace

std::vector<uint8_t> hmac(Algorithm algorithm, const uint8_t* key, size_t key_size,
                          const uint8_t* message, size_t message_size) {
  HmacProvider provider{algorithm};
  DWORD length = 0, got = 0;
  if (!BCRYPT_SUCCESS(BCryptGetProperty(provider.get(), BCRYPT_HASH_LENGTH,
                                        reinterpret_cast<PUCHAR>(&length), sizeof length, &got, 0)))
    throw std::runtime_error("HMAC computation failed");
  std::vector<uint8_t> mac(length);
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = BCRYPT_SUCCESS(BCryptCreateHash(provider.get(), &hash, nullptr, 0,
                                            bytes_of(key, key_size),
                                            static_cast<ULONG>(key_size), 0));
  ok = ok && BCRYPT_SUCCESS(BCryptHashData(hash, bytes_of(message, message_size),
                                           static_cast<ULONG>(message_size), 0));
  ok = ok && BCRYPT_SUCCESS(BCryptFinishHash(hash, mac.data(), length, 0));
  if (hash)
    BCryptDestroyHash(hash);
  if (!ok)
    throw std::runtime_error("HMAC computation failed");
  return mac;
}

std::vector<uint8_t> pbkdf2_hmac_sha1(std::string_view password, const std::vector<uint8_t>& salt,
                                      unsigned iterations, size_t size) {
  if (iterations == 0)
    throw std::runtime_error("PBKDF2 computation failed");
  HmacProvider provider{Algorithm::sha1};
  std::vector<uint8_t> out(size);
  auto pass = reinterpret_cast<const uint8_t*>(password.data());
  if (!BCRYPT_SUCCESS(BCryptDeriveKeyPBKDF2(
        provider.get(), bytes_of(pass, password.size()), static_cast<ULONG>(password.size()),
        bytes_of(salt.data(), salt.size()), static_cast<ULONG>(salt.size()), iterations,
        out.data(), static_cast<ULONG>(size), 0)))
    throw std::runtime_error("PBKDF2 computation failed");
  return out;
}

std::vector<uint8_t> random_bytes(size_t size) {
  std::vector<uint8_t> out(size);
  if (size > 0 && !BCRYPT_SUCCESS(BCryptGenRandom(nullptr, out.data(), static_cast<ULONG>(size),
                                                  BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
    throw std::runtime_error("no random bytes");
  return out;
}

void secure_wipe(void* data, std::size_t size) noexcept {
  if (size != 0)
    SecureZeroMemory(data, size);
}

}  // namespace crypto
