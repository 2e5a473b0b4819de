#include "oath/apdu.h"

#include <cstdio>
#include <stdexcept>

#include "oath/tlv.h"

namespace oath {

std::string hex(ByteView bytes) {
  std::string out;
  out.reserve(bytes.size() * 3);
  char buf[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(buf, sizeof buf, i == 0 ? "%02X" : " %02X", bytes[i]);
    out += buf;
  }
  return out;
}

const char* status_name(uint16_t status_word) {
  switch (status_word) {
    case sw::ok: return "ok";
    case sw::wrong_length: return "wrong length";
    case sw::security_not_satisfied: return "security status not satisfied";
    case sw::no_such_object: return "no such object";
    case sw::wrong_data: return "wrong data";
    case sw::file_not_found: return "applet not found";
    case sw::no_space: return "no space";
    case sw::wrong_p1p2: return "wrong P1 P2";
    case sw::ins_not_supported: return "instruction not supported";
  }
  return "";
}

std::string status_text(uint16_t status_word) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04X", status_word);
  std::string text = buf;
  const std::string name = status_name(status_word);
  if (!name.empty())
    text += " (" + name + ")";
  return text;
}

Bytes command(uint8_t ins_byte, uint8_t p1, uint8_t p2, ByteView data) {
  if (data.size() > 0xFF)
    throw std::length_error("command data longer than 255 bytes");
  Bytes out{0x00, ins_byte, p1, p2, static_cast<uint8_t>(data.size())};
  append(out, data);
  return out;
}

Bytes select_command() {
  return command(ins::select, 0x04, 0x00, ByteView{applet_id, sizeof applet_id});
}

Bytes list_command() { return command(ins::list, 0x00, 0x00); }

Bytes send_remaining_command() { return command(ins::send_remaining, 0x00, 0x00); }

Bytes calculate_command(ByteView name, ByteView challenge, bool truncate) {
  Bytes data;
  put_tlv(data, tag::name, name);
  put_tlv(data, tag::challenge, challenge);
  return command(ins::calculate, 0x00, truncate ? 0x01 : 0x00, data);
}

Bytes calculate_all_command(ByteView challenge) {
  return command(ins::calculate_all, 0x00, 0x01, tlv(tag::challenge, challenge));
}

Bytes validate_command(ByteView response, ByteView host_challenge) {
  Bytes data;
  put_tlv(data, tag::response, response);
  put_tlv(data, tag::challenge, host_challenge);
  return command(ins::validate, 0x00, 0x00, data);
}

Bytes set_code_command(ByteView key, ByteView challenge, ByteView response) {
  Bytes typed_key{0x21};  // TOTP type, SHA-1
  append(typed_key, key);
  Bytes data;
  put_tlv(data, tag::key, typed_key);
  put_tlv(data, tag::challenge, challenge);
  put_tlv(data, tag::response, response);
  return command(ins::set_code, 0x00, 0x00, data);
}

Bytes time_challenge(uint64_t unix_time, uint32_t period) {
  if (period == 0)
    throw std::invalid_argument("period 0");
  const uint64_t step = unix_time / period;
  Bytes out(8);
  for (int i = 0; i < 8; ++i)
    out[i] = static_cast<uint8_t>(step >> (56 - 8 * i));
  return out;
}

} // namespace oath
