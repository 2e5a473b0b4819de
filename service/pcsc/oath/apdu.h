// Command APDUs of the OATH applet, encoded as clients send them: CLA 00,
// short form, no Le; an instruction without data is five bytes ending in 00.
#pragma once

#include <cstdint>

#include "oath/bytes.h"

namespace oath {

namespace ins {
inline constexpr uint8_t put = 0x01;
inline constexpr uint8_t set_code = 0x03;
inline constexpr uint8_t list = 0xA1;
inline constexpr uint8_t calculate = 0xA2;
inline constexpr uint8_t validate = 0xA3;
inline constexpr uint8_t select = 0xA4;  // and CALCULATE ALL, with P1 00
inline constexpr uint8_t calculate_all = 0xA4;
inline constexpr uint8_t send_remaining = 0xA5;
} // namespace ins

namespace sw {
inline constexpr uint16_t ok = 0x9000;
inline constexpr uint8_t more_data = 0x61;  // SW1; SW2 says how much
inline constexpr uint16_t wrong_length = 0x6700;
inline constexpr uint16_t security_not_satisfied = 0x6982;
inline constexpr uint16_t no_such_object = 0x6984;
inline constexpr uint16_t wrong_data = 0x6A80;
inline constexpr uint16_t file_not_found = 0x6A82;
inline constexpr uint16_t no_space = 0x6A84;
inline constexpr uint16_t wrong_p1p2 = 0x6B00;
inline constexpr uint16_t ins_not_supported = 0x6D00;
} // namespace sw

// "the key has no such object", "wrong data", ... or "" for words without a name.
const char* status_name(uint16_t status_word);
// "6A80 (wrong data)" or "6F00".
std::string status_text(uint16_t status_word);

// The applet's identifier.
inline constexpr uint8_t applet_id[] = {0xA0, 0x00, 0x00, 0x05, 0x27, 0x21, 0x01};

// 00 INS P1 P2 Lc data (Lc 00 when there is no data). Throws
// std::length_error for more than 255 bytes of data.
Bytes command(uint8_t ins, uint8_t p1, uint8_t p2, ByteView data = {});

Bytes select_command();
Bytes list_command();
Bytes send_remaining_command();
// CALCULATE of one credential; `truncate` asks for the 4-byte code.
Bytes calculate_command(ByteView name, ByteView challenge, bool truncate = true);
// CALCULATE ALL with truncated answers.
Bytes calculate_all_command(ByteView challenge);
// VALIDATE: our response to the key's challenge, then our own challenge.
Bytes validate_command(ByteView response, ByteView host_challenge);
// SET CODE with a 16-byte key (TOTP + SHA-1), a challenge and its HMAC.
Bytes set_code_command(ByteView key, ByteView challenge, ByteView response);

// floor(unix_time / period) as 8 bytes, big-endian. Throws std::invalid_argument
// for a period of 0.
Bytes time_challenge(uint64_t unix_time, uint32_t period);

} // namespace oath
