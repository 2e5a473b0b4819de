#pragma once

// What one input of fuzz_virtual_key_apdu must satisfy; shared by the fuzz
// target and the test that replays its corpus. Returns an empty string, or
// the invariant the input broke.

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz_checks {

// Byte 0 picks the key (bit 0: a password, bit 1: 17-byte responses, bit 2: a
// touch wait that is cut short). Then APDUs, each as a length byte and that
// many bytes (length 0: power off). Every answer must be well-formed, keep
// the key's state valid, and a key with a password must give nothing away
// before a VALIDATE succeeds. The APDU bytes also go through the TLV parser,
// whose result must encode back to what it parses from.
std::string virtual_key_apdus(const uint8_t* data, size_t size);

} // namespace fuzz_checks
