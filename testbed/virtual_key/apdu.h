// Bytes in, values out: command APDUs, status words and the TLVs of the OATH
// applet. Pure functions without I/O, so tests and fuzzers can feed them bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

namespace virtual_key {

using Bytes = std::vector<uint8_t>;

// Status words the key answers with.
namespace sw {
constexpr uint16_t ok = 0x9000;
constexpr uint16_t more_data = 0x6100;           // low byte: bytes left (0: 256 or more)
constexpr uint16_t wrong_length = 0x6700;
constexpr uint16_t security_not_satisfied = 0x6982;
constexpr uint16_t no_such_object = 0x6984;
constexpr uint16_t conditions_not_satisfied = 0x6985;
constexpr uint16_t wrong_data = 0x6A80;
constexpr uint16_t file_not_found = 0x6A82;
constexpr uint16_t no_space = 0x6A84;
constexpr uint16_t wrong_p1p2 = 0x6B00;
constexpr uint16_t ins_not_supported = 0x6D00;
constexpr uint16_t cla_not_supported = 0x6E00;
}  // namespace sw

// TLV tags of the applet.
namespace tag {
constexpr uint8_t name = 0x71;
constexpr uint8_t name_list = 0x72;
constexpr uint8_t key = 0x73;
constexpr uint8_t challenge = 0x74;
constexpr uint8_t response = 0x75;
constexpr uint8_t truncated = 0x76;
constexpr uint8_t hotp = 0x77;
constexpr uint8_t property = 0x78;  // followed by one byte, without a length
constexpr uint8_t version = 0x79;
constexpr uint8_t imf = 0x7A;
constexpr uint8_t algorithm = 0x7B;
constexpr uint8_t touch = 0x7C;
}  // namespace tag

// A short command APDU: CLA INS P1 P2 [Lc data] [Le].
struct Command {
  uint8_t cla = 0;
  uint8_t ins = 0;
  uint8_t p1 = 0;
  uint8_t p2 = 0;
  Bytes data;
  std::optional<unsigned> le;  // 1..256
};

// The command, or the status word for bytes that are no short APDU
// (fewer than 4 bytes, an Lc that does not match, extended lengths: 6700).
// A 5-byte APDU is CLA INS P1 P2 Le: "00 A1 00 00 00" carries no data.
std::variant<Command, uint16_t> parse_command(const uint8_t* data, size_t size);

struct Tlv {
  uint8_t tag = 0;
  Bytes value;
};

// Splits a sequence of one-byte tags with BER lengths (below 0x80, `81 LL`,
// `82 HH LL`). A property tag takes the next byte as its value. nullopt when a
// length runs past the end or uses any other form.
std::optional<std::vector<Tlv>> parse_tlvs(const uint8_t* data, size_t size);

// Appends tag, BER length and value.
void append_tlv(Bytes& out, uint8_t tag, const uint8_t* value, size_t size);
inline void append_tlv(Bytes& out, uint8_t tag, const Bytes& value) {
  append_tlv(out, tag, value.data(), value.size());
}

// Response data followed by the status word.
Bytes response(const Bytes& data, uint16_t status);
inline Bytes response(uint16_t status) { return response({}, status); }

// The status word at the end of a response (0 when there are fewer than 2 bytes).
uint16_t status_of(const Bytes& response);

}  // namespace virtual_key
