#pragma once

// What one fuzz input must satisfy. Shared by the libFuzzer entry points and
// the regression test that replays the corpus and saved findings. Each check
// returns an empty string, or a description of the invariant the input broke.

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz_checks {

// Inputs for vocabulary_load start with this many selector bytes: a
// little-endian number that, modulo the vocabulary size, picks the entry.
// Two bytes, because one byte cannot reach the entries past index 255.
constexpr size_t selector_bytes = 2;

// Loads the bytes after the selector as the picked vocabulary type and as a
// whole message; a value that loads must save, reload and print consistently.
std::string vocabulary_load(const uint8_t* data, size_t size);

// Parses the bytes as a key config; an accepted config must be valid.
std::string sim_config(const uint8_t* data, size_t size);

// Parses the bytes as answers of the OATH applet (the first byte picks the
// parser, or a whole session); what parses must be well formed.
std::string oath_responses(const uint8_t* data, size_t size);

// Parses the bytes as a socket table's text (first byte 0) or as the
// kernel's sock_diag answer (any other first byte); what parses must print
// and parse again the same, and an owner found must be a row's.
std::string peer_owner(const uint8_t* data, size_t size);

} // namespace fuzz_checks
