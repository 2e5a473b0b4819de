#include "vocabulary.h"

#include "caf/actor_system_config.hpp"

const std::vector<vocabulary_entry>& vocabulary() {
#define TOVRIN_ENTRY(id, T, kind) {id, caf::type_name_by_id<id>::value, kind, &typeid(T)},
#define TOVRIN_ATOM(id, name) TOVRIN_ENTRY(id, ::name, type_kind::atom)
#define TOVRIN_RECORD(id, name) TOVRIN_ENTRY(id, ::name, type_kind::record)
#define TOVRIN_LIST(id, element, name) TOVRIN_ENTRY(id, std::vector<element>, type_kind::list)
#define TOVRIN_PAIR(id, name)                                                  \
  {id, caf::type_name_by_id<id>::value, type_kind::pair,                       \
   &typeid(std::tuple<std::string, std::string>)},
#define TOVRIN_ENUM(id, name) TOVRIN_ENTRY(id, ::name, type_kind::plain_enum)
#define TOVRIN_ERROR(id, name) TOVRIN_ENTRY(id, ::name, type_kind::error_enum)
  static const std::vector<vocabulary_entry> entries{TOVRIN_TYPE_ID_BLOCK(
    TOVRIN_ATOM, TOVRIN_RECORD, TOVRIN_LIST, TOVRIN_PAIR, TOVRIN_ENUM, TOVRIN_ERROR)};
#undef TOVRIN_ENTRY
#undef TOVRIN_ATOM
#undef TOVRIN_RECORD
#undef TOVRIN_LIST
#undef TOVRIN_PAIR
#undef TOVRIN_ENUM
#undef TOVRIN_ERROR
  return entries;
}

void init_global_meta_objects(caf::actor_system_config& cfg) {
  cfg.add_message_types<caf::id_block::tovrin>();
  add_error_categories(cfg);
}
