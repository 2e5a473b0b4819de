// TLV records of the OATH applet: a one-byte tag, a BER length, the value.
#pragma once

#include <cstdint>
#include <vector>

#include "oath/bytes.h"
#include "oath/result.h"

namespace oath {

namespace tag {
inline constexpr uint8_t name = 0x71;
inline constexpr uint8_t name_list = 0x72;
inline constexpr uint8_t key = 0x73;
inline constexpr uint8_t challenge = 0x74;
inline constexpr uint8_t response = 0x75;
inline constexpr uint8_t truncated = 0x76;
inline constexpr uint8_t hotp = 0x77;
inline constexpr uint8_t property = 0x78;
inline constexpr uint8_t version = 0x79;
inline constexpr uint8_t imf = 0x7A;
inline constexpr uint8_t algorithm = 0x7B;
inline constexpr uint8_t touch = 0x7C;
} // namespace tag

struct Tlv {
  uint8_t tag = 0;
  ByteView value;
};

// Appends tag, length and value. Lengths below 0x80 take one byte, up to 0xFF
// `81 LL`, up to 0xFFFF `82 HH LL`. Throws std::length_error beyond that.
void put_tlv(Bytes& out, uint8_t tag, ByteView value);
Bytes tlv(uint8_t tag, ByteView value);

// Splits `data` into its records, which view into `data`. A truncated record,
// a length past the end, and the length forms 80 and 83 and up are malformed.
Result<std::vector<Tlv>> parse_tlvs(ByteView data);

} // namespace oath
