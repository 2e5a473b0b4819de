#pragma once

// The actor library's binary deserializer with one more check: a sequence may
// not claim more elements than bytes are left. The library's own loader for
// byte vectors (e.g. the built-in "@charbuf" inside a message) resizes to the
// claimed length before reading, so 26 bytes can make it allocate 4 GiB; see
// fuzz/regressions/fuzz_vocabulary_load/. Every element of the vocabulary's
// lists takes at least one byte, so valid input is never refused.

#include <cstdint>
#include <string>

#include "caf/actor_system.hpp"
#include "caf/binary_deserializer.hpp"
#include "caf/deserializer.hpp"
#include "caf/error.hpp"
#include "caf/sec.hpp"
#include "caf/span.hpp"

namespace fuzz_checks {

class bounded_deserializer final : public caf::deserializer {
public:
  bounded_deserializer(caf::actor_system& sys, caf::span<const caf::byte> bytes)
    : caf::deserializer(sys), inner_(sys, bytes) {
  }

  size_t remaining() const noexcept {
    return inner_.remaining();
  }

  caf::error begin_object(uint16_t& typenr, std::string& name) override {
    return inner_.begin_object(typenr, name);
  }

  caf::error end_object() override {
    return inner_.end_object();
  }

  caf::error begin_sequence(size_t& list_size) override {
    if (auto err = inner_.begin_sequence(list_size))
      return err;
    if (list_size > inner_.remaining())
      return caf::make_error(caf::sec::end_of_stream,
                             "sequence claims more elements than bytes left");
    return caf::none;
  }

  caf::error end_sequence() override {
    return inner_.end_sequence();
  }

  caf::error apply_raw(size_t num_bytes, void* data) override {
    return inner_.apply_raw(num_bytes, data);
  }

protected:
  caf::error apply_impl(int8_t& x) override { return inner_.apply(x); }
  caf::error apply_impl(uint8_t& x) override { return inner_.apply(x); }
  caf::error apply_impl(int16_t& x) override { return inner_.apply(x); }
  caf::error apply_impl(uint16_t& x) override { return inner_.apply(x); }
  caf::error apply_impl(int32_t& x) override { return inner_.apply(x); }
  caf::error apply_impl(uint32_t& x) override { return inner_.apply(x); }
  caf::error apply_impl(int64_t& x) override { return inner_.apply(x); }
  caf::error apply_impl(uint64_t& x) override { return inner_.apply(x); }
  caf::error apply_impl(float& x) override { return inner_.apply(x); }
  caf::error apply_impl(double& x) override { return inner_.apply(x); }
  caf::error apply_impl(long double& x) override { return inner_.apply(x); }
  caf::error apply_impl(std::string& x) override { return inner_.apply(x); }
  caf::error apply_impl(std::u16string& x) override { return inner_.apply(x); }
  caf::error apply_impl(std::u32string& x) override { return inner_.apply(x); }

private:
  caf::binary_deserializer inner_;
};

} // namespace fuzz_checks
