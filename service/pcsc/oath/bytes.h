// Byte buffers and read-only views over them, for the protocol code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace oath {

using Bytes = std::vector<uint8_t>;

// A view of bytes owned elsewhere (what std::span<const uint8_t> would be).
class ByteView {
public:
  constexpr ByteView() = default;
  constexpr ByteView(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  ByteView(const Bytes& bytes) : data_(bytes.data()), size_(bytes.size()) {}

  constexpr const uint8_t* data() const { return data_; }
  constexpr size_t size() const { return size_; }
  constexpr bool empty() const { return size_ == 0; }
  constexpr const uint8_t* begin() const { return data_; }
  constexpr const uint8_t* end() const { return data_ + size_; }
  constexpr uint8_t operator[](size_t i) const { return data_[i]; }
  // The bytes from `offset` on, at most `count` of them; clamped to the view.
  constexpr ByteView sub(size_t offset, size_t count = static_cast<size_t>(-1)) const {
    if (offset > size_)
      offset = size_;
    if (count > size_ - offset)
      count = size_ - offset;
    return {data_ + offset, count};
  }
  Bytes copy() const { return Bytes(begin(), end()); }
  std::string text() const { return std::string(begin(), end()); }

private:
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

inline bool operator==(ByteView a, ByteView b) {
  if (a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i])
      return false;
  return true;
}
inline bool operator!=(ByteView a, ByteView b) { return !(a == b); }

inline ByteView view_of(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

inline void append(Bytes& out, ByteView bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

// "00 A4 04 00": upper-case hex, one blank between bytes (for logs and tests).
std::string hex(ByteView bytes);

} // namespace oath
