#include "checks.h"

#include <vector>

#include "caf/actor_system.hpp"
#include "caf/actor_system_config.hpp"
#include "caf/binary_deserializer.hpp"
#include "caf/binary_serializer.hpp"
#include "caf/message.hpp"
#include "caf/span.hpp"
#include "caf/type_erased_value.hpp"
#include "caf/uniform_type_info_map.hpp"

#include "bounded_deserializer.h"
#include "library_guards.h"
#include "vocabulary.h"

namespace fuzz_checks {

namespace {

using byte_span = caf::span<const caf::byte>;

// One system for the whole process, never destroyed: building one per input
// would dominate the run time.
caf::actor_system& fuzz_system() {
  static caf::actor_system* sys = [] {
    auto* cfg = new caf::actor_system_config;
    cfg->set("scheduler.max-threads", 1);
    init_global_meta_objects(*cfg);
    return new caf::actor_system(*cfg);
  }();
  return *sys;
}

std::string render(caf::actor_system& sys, const caf::error& err) {
  return err ? sys.render(err) : std::string{"no error"};
}

// Saves a loaded value, loads the saved bytes into a fresh value of the same
// type and saves that again: both saves and the printed forms must agree.
std::string check_value_round_trip(caf::actor_system& sys, const vocabulary_entry& e,
                                   const caf::type_erased_value& value) {
  const std::string where = std::string{e.name} + ": ";
  std::vector<char> first;
  {
    caf::binary_serializer sink{sys, first};
    if (auto err = value.save(sink))
      return where + "save after a successful load failed: " + render(sys, err);
  }
  auto copy = value.copy();
  std::vector<char> copied;
  {
    caf::binary_serializer sink{sys, copied};
    if (auto err = copy->save(sink))
      return where + "save of a copy failed: " + render(sys, err);
  }
  if (copied != first)
    return where + "a copy saves different bytes";
  auto again = sys.types().make_value(e.name);
  caf::binary_deserializer source{sys, first};
  if (auto err = again->load(source))
    return where + "reloading saved bytes failed: " + render(sys, err);
  if (source.remaining() != 0)
    return where + "reloading left " + std::to_string(source.remaining()) + " of "
           + std::to_string(first.size()) + " saved bytes unread";
  std::vector<char> second;
  {
    caf::binary_serializer sink{sys, second};
    if (auto err = again->save(sink))
      return where + "second save failed: " + render(sys, err);
  }
  if (second != first)
    return where + "save -> load -> save changed the bytes";
  if (again->stringify() != value.stringify())
    return where + "printed form changed by a round trip: " + value.stringify() + " vs "
           + again->stringify();
  return {};
}

std::string check_entry(caf::actor_system& sys, const vocabulary_entry& e, byte_span rest) {
  const std::string where = std::string{e.name} + ": ";
  auto value = sys.types().make_value(e.name);
  if (value == nullptr)
    return where + "no factory registered";
  // Types the actor library knows itself carry a number instead of a type_info.
  auto by_rtti = sys.types().make_value(*e.rtti);
  const auto type = value->type();
  const bool same = by_rtti != nullptr && by_rtti->type().first == type.first
                    && (type.second == nullptr ? by_rtti->type().second == nullptr
                                               : *type.second == *e.rtti);
  if (!same)
    return where + "factory makes a value of another type";
  caf::binary_deserializer source{sys, rest};
  auto err = value->load(source);
  if (source.remaining() > rest.size())
    return where + "load read past its input";
  const size_t consumed = rest.size() - source.remaining();
  switch (e.kind) {
    case type_kind::atom:
      if (err)
        return where + "an atom failed to load: " + render(sys, err);
      if (consumed != 0)
        return where + "an atom consumed " + std::to_string(consumed) + " bytes";
      break;
    case type_kind::error_enum:
      if (!err)
        return where + "a bare error enumeration loaded";
      break;
    case type_kind::plain_enum:
      if (rest.size() >= 4 && err)
        return where + "a plain enumeration refused 4 bytes: " + render(sys, err);
      break;
    default:
      break;
  }
  if (err)
    return {};
  // Printing must cope with whatever loaded.
  value->stringify();
  return check_value_round_trip(sys, e, *value);
}

// Messages name their element types on the wire, the library's built-in
// types included, so they are loaded behind the sequence-length guard, and
// printed and saved only where the library's own code copes with the value.
std::string check_message(caf::actor_system& sys, byte_span rest) {
  caf::message msg;
  bounded_deserializer source{sys, rest};
  if (msg.load(source))
    return {};
  if (source.remaining() > rest.size())
    return "message: load read past its input";
  const bool printable = safe_to_print(msg);
  const auto text = printable ? caf::to_string(msg) : std::string{};
  if (!safe_to_save(msg))
    return {};
  std::vector<char> first;
  {
    caf::binary_serializer sink{sys, first};
    if (auto err = msg.save(sink))
      return "message: save after a successful load failed: " + render(sys, err);
  }
  caf::message again;
  bounded_deserializer reload{sys, caf::as_bytes(caf::make_span(first))};
  if (auto err = again.load(reload))
    return "message: reloading saved bytes failed: " + render(sys, err);
  if (reload.remaining() != 0)
    return "message: reloading left saved bytes unread";
  std::vector<char> second;
  {
    caf::binary_serializer sink{sys, second};
    if (auto err = again.save(sink))
      return "message: second save failed: " + render(sys, err);
  }
  if (second != first)
    return "message: save -> load -> save changed the bytes";
  if (safe_to_print(again) != printable)
    return "message: a round trip changed whether it can be printed";
  if (printable && caf::to_string(again) != text)
    return "message: printed form changed by a round trip: " + text + " vs "
           + caf::to_string(again);
  return {};
}

} // namespace

std::string vocabulary_load(const uint8_t* data, size_t size) {
  if (size < selector_bytes)
    return {};
  auto& sys = fuzz_system();
  const auto& entries = vocabulary();
  const size_t selector = static_cast<size_t>(data[0]) | (static_cast<size_t>(data[1]) << 8);
  const auto& entry = entries[selector % entries.size()];
  byte_span rest{reinterpret_cast<const caf::byte*>(data + selector_bytes),
                 size - selector_bytes};
  if (auto failure = check_entry(sys, entry, rest); !failure.empty())
    return failure;
  return check_message(sys, rest);
}

} // namespace fuzz_checks
