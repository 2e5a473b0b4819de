#include "apdu.h"

namespace virtual_key {

std::variant<Command, uint16_t> parse_command(const uint8_t* data, size_t size) {
  if (size < 4)
    return sw::wrong_length;
  Command command;
  command.cla = data[0];
  command.ins = data[1];
  command.p1 = data[2];
  command.p2 = data[3];
  if (size == 4)
    return command;
  if (size == 5) {
    command.le = data[4] == 0 ? 256u : data[4];
    return command;
  }
  const size_t lc = data[4];
  // Lc 0 with more bytes after it starts an extended length, which this key
  // does not take.
  if (lc == 0)
    return sw::wrong_length;
  if (size == 5 + lc) {
    command.data.assign(data + 5, data + 5 + lc);
    return command;
  }
  if (size == 6 + lc) {
    command.data.assign(data + 5, data + 5 + lc);
    command.le = data[5 + lc] == 0 ? 256u : data[5 + lc];
    return command;
  }
  return sw::wrong_length;
}

std::optional<std::vector<Tlv>> parse_tlvs(const uint8_t* data, size_t size) {
  std::vector<Tlv> result;
  size_t at = 0;
  while (at < size) {
    Tlv tlv;
    tlv.tag = data[at++];
    if (tlv.tag == tag::property) {
      if (at >= size)
        return std::nullopt;
      tlv.value.push_back(data[at++]);
      result.push_back(std::move(tlv));
      continue;
    }
    if (at >= size)
      return std::nullopt;
    size_t length = data[at++];
    if (length == 0x81) {
      if (at + 1 > size)
        return std::nullopt;
      length = data[at++];
    } else if (length == 0x82) {
      if (at + 2 > size)
        return std::nullopt;
      length = size_t{data[at]} << 8 | data[at + 1];
      at += 2;
    } else if (length >= 0x80) {
      return std::nullopt;
    }
    if (length > size - at)
      return std::nullopt;
    tlv.value.assign(data + at, data + at + length);
    at += length;
    result.push_back(std::move(tlv));
  }
  return result;
}

void append_tlv(Bytes& out, uint8_t tag, const uint8_t* value, size_t size) {
  out.push_back(tag);
  if (size < 0x80) {
    out.push_back(static_cast<uint8_t>(size));
  } else if (size <= 0xFF) {
    out.push_back(0x81);
    out.push_back(static_cast<uint8_t>(size));
  } else {
    out.push_back(0x82);
    out.push_back(static_cast<uint8_t>(size >> 8));
    out.push_back(static_cast<uint8_t>(size));
  }
  out.insert(out.end(), value, value + size);
}

Bytes response(const Bytes& data, uint16_t status) {
  Bytes out = data;
  out.push_back(static_cast<uint8_t>(status >> 8));
  out.push_back(static_cast<uint8_t>(status));
  return out;
}

uint16_t status_of(const Bytes& response) {
  if (response.size() < 2)
    return 0;
  return static_cast<uint16_t>(response[response.size() - 2] << 8 | response.back());
}

}  // namespace virtual_key
