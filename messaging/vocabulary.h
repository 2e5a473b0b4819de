#pragma once

// The shared message vocabulary: atoms, records, enumerations and their type
// IDs 200..464, as registered on both sides of the service connection.

#include <cstdint>
#include <string>
#include <tuple>
#include <typeinfo>
#include <vector>

#include "caf/detail/pp.hpp"
#include "caf/fwd.hpp"
#include "caf/meta/type_name.hpp"
#include "caf/type_id.hpp"

#include "errors.h"
#include "records.h"
#include "type_id_block.def"

// Atoms are empty tag types at global scope: no state, nothing on the wire,
// printed as their name followed by "()".
#define TOVRIN_DECLARE_ATOM(id, name)                                          \
  struct name {                                                                \
    friend constexpr bool operator==(name, name) { return true; }              \
    friend constexpr bool operator!=(name, name) { return false; }             \
  };                                                                           \
  template <class Inspector>                                                   \
  typename Inspector::result_type inspect(Inspector& f, name&) {               \
    return f(caf::meta::type_name(#name));                                     \
  }
#define TOVRIN_IGNORE(...)
TOVRIN_TYPE_ID_BLOCK(TOVRIN_DECLARE_ATOM, TOVRIN_IGNORE, TOVRIN_IGNORE, TOVRIN_IGNORE,
                     TOVRIN_IGNORE, TOVRIN_IGNORE)
#undef TOVRIN_DECLARE_ATOM

// Type IDs with the exact registered names. The types are qualified with ::
// because the specialisations live in namespace caf, whose own atoms share
// several of these names.
#define TOVRIN_TYPE_ID(id, T, type_name_text)                                  \
  namespace caf {                                                              \
  template <>                                                                  \
  struct type_id<CAF_PP_EXPAND T> {                                            \
    static constexpr type_id_t value = id;                                     \
  };                                                                           \
  template <>                                                                  \
  struct type_by_id<id> {                                                      \
    using type = CAF_PP_EXPAND T;                                              \
  };                                                                           \
  template <>                                                                  \
  struct type_name<CAF_PP_EXPAND T> {                                          \
    static constexpr const char* value = type_name_text;                       \
  };                                                                           \
  template <>                                                                  \
  struct type_name_by_id<id> : type_name<CAF_PP_EXPAND T> {};                  \
  }
#define TOVRIN_NAMED_TYPE_ID(id, name) TOVRIN_TYPE_ID(id, (::name), #name)
#define TOVRIN_LIST_TYPE_ID(id, element, name)                                 \
  TOVRIN_TYPE_ID(id, (std::vector<element>), name)
#define TOVRIN_PAIR_TYPE_ID(id, name)                                          \
  TOVRIN_TYPE_ID(id, (std::tuple<std::string, std::string>), name)
TOVRIN_TYPE_ID_BLOCK(TOVRIN_NAMED_TYPE_ID, TOVRIN_NAMED_TYPE_ID, TOVRIN_LIST_TYPE_ID,
                     TOVRIN_PAIR_TYPE_ID, TOVRIN_NAMED_TYPE_ID, TOVRIN_NAMED_TYPE_ID)
#undef TOVRIN_NAMED_TYPE_ID
#undef TOVRIN_LIST_TYPE_ID
#undef TOVRIN_PAIR_TYPE_ID
#undef TOVRIN_TYPE_ID
#undef TOVRIN_IGNORE

namespace caf::id_block {
struct tovrin {
  static constexpr type_id_t begin = 200;
  static constexpr type_id_t end = 465;
};
} // namespace caf::id_block

enum class type_kind { atom, record, list, pair, plain_enum, error_enum };

// One entry of the block: what the actor system registers under an ID.
struct vocabulary_entry {
  uint16_t id;
  const char* name;
  type_kind kind;
  const std::type_info* rtti;
};

// The 265 entries in ID order.
const std::vector<vocabulary_entry>& vocabulary();

// Registers the block with an actor-system configuration, before the system
// is built. Types are registered per configuration in this actor library, so
// the configuration to fill is passed in.
void init_global_meta_objects(caf::actor_system_config& cfg);
