#include "oath/tlv.h"

#include <stdexcept>

namespace oath {

void put_tlv(Bytes& out, uint8_t tag_byte, ByteView value) {
  const size_t size = value.size();
  out.push_back(tag_byte);
  if (size < 0x80) {
    out.push_back(static_cast<uint8_t>(size));
  } else if (size <= 0xFF) {
    out.push_back(0x81);
    out.push_back(static_cast<uint8_t>(size));
  } else if (size <= 0xFFFF) {
    out.push_back(0x82);
    out.push_back(static_cast<uint8_t>(size >> 8));
    out.push_back(static_cast<uint8_t>(size));
  } else {
    throw std::length_error("TLV value longer than 65535 bytes");
  }
  append(out, value);
}

Bytes tlv(uint8_t tag_byte, ByteView value) {
  Bytes out;
  put_tlv(out, tag_byte, value);
  return out;
}

Result<std::vector<Tlv>> parse_tlvs(ByteView data) {
  std::vector<Tlv> records;
  size_t pos = 0;
  while (pos < data.size()) {
    const size_t start = pos;
    const uint8_t tag_byte = data[pos++];
    if (pos >= data.size())
      return Failure{Fault::malformed, Step::none,
                     "TLV at offset " + std::to_string(start) + " has no length"};
    size_t length = data[pos++];
    if (length >= 0x80) {
      const size_t count = length - 0x80;
      if (count == 0 || count > 2)
        return Failure{Fault::malformed, Step::none,
                       "TLV at offset " + std::to_string(start) + " has length form "
                         + hex(data.sub(pos - 1, 1))};
      if (data.size() - pos < count)
        return Failure{Fault::malformed, Step::none,
                       "TLV at offset " + std::to_string(start) + " has a truncated length"};
      length = 0;
      for (size_t i = 0; i < count; ++i)
        length = (length << 8) | data[pos++];
    }
    if (data.size() - pos < length)
      return Failure{Fault::malformed, Step::none,
                     "TLV at offset " + std::to_string(start) + " claims "
                       + std::to_string(length) + " bytes, "
                       + std::to_string(data.size() - pos) + " left"};
    records.push_back(Tlv{tag_byte, data.sub(pos, length)});
    pos += length;
  }
  return records;
}

} // namespace oath
