// Wiping secrets (PINs) from memory when their holder lets go of them.
#pragma once

#include <cstddef>
#include <string>
#include <utility>

namespace crypto {

// Overwrites `size` bytes at `data` in a way the compiler does not drop.
void secure_wipe(void* data, std::size_t size) noexcept;

// Sees every text that secure_clear() is about to wipe (tests: which holders
// wipe what). nullptr, the default, sees nothing.
using wipe_observer = void (*)(const char* data, std::size_t size);
void set_wipe_observer(wipe_observer observer) noexcept;
void notify_wipe(const char* data, std::size_t size) noexcept;

// Wipes every byte `text` holds, the spare capacity behind its end included,
// and leaves it empty. Its buffer stays where it is (no reallocation), so no
// unwiped copy is left behind; a moved-from string may still hold the bytes
// of a short text in that capacity, and this wipes them too.
template <class Allocator>
void secure_clear(std::basic_string<char, std::char_traits<char>, Allocator>& text) noexcept {
  if (!text.empty())
    notify_wipe(text.data(), text.size());
  text.resize(text.capacity()); // within the capacity: the same buffer
  secure_wipe(text.data(), text.size());
  text.clear();
}

// A secret on its way somewhere (a PIN captured by a worker's job): wipes its
// bytes when it is destroyed, assigned over or moved from, so that none of
// the copies that moving a job around makes keeps the text.
class secret_string {
public:
  secret_string() = default;
  // Takes the text and wipes what moving it left behind in `text`.
  explicit secret_string(std::string&& text) noexcept : text_(std::move(text)) {
    secure_clear(text);
  }
  secret_string(const secret_string& other) : text_(other.text_) {}
  secret_string(secret_string&& other) noexcept : text_(std::move(other.text_)) {
    secure_clear(other.text_);
  }
  secret_string& operator=(const secret_string& other) {
    if (this != &other) {
      secure_clear(text_);
      text_ = other.text_;
    }
    return *this;
  }
  secret_string& operator=(secret_string&& other) noexcept {
    if (this != &other) {
      secure_clear(text_);
      text_ = std::move(other.text_);
      secure_clear(other.text_);
    }
    return *this;
  }
  ~secret_string() { secure_clear(text_); }

  const std::string& str() const noexcept { return text_; }

private:
  std::string text_;
};

} // namespace crypto
