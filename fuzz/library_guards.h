#pragma once

// Checks for values the actor library loads from the wire but then mishandles.
// Both cases are the library's own code; see fuzz/regressions/fuzz_vocabulary_load/.
//  - Printing a duration indexes a table with its time unit, unchecked: a unit
//    outside the enumeration reads out of bounds. The default handler for
//    unexpected messages prints them that way.
//  - Saving an infinite float or double loops forever (its exponent search
//    never ends). Loading maps an all-ones exponent to infinity, so a message
//    can load fine and then hang when it is sent on.

#include <cmath>
#include <cstdint>

#include "caf/config_value.hpp"
#include "caf/duration.hpp"
#include "caf/error.hpp"
#include "caf/message.hpp"
#include "caf/system_messages.hpp"

namespace fuzz_checks {

namespace detail {

// Visits every element of `msg` and of the messages and errors nested in it;
// false as soon as `bad` holds for one element.
template <class Bad>
bool all_elements(const caf::message& msg, Bad& bad);

template <class Bad>
bool all_elements(const caf::error& err, Bad& bad) {
  return !err || all_elements(err.context(), bad);
}

template <class Bad>
bool all_elements(const caf::message& msg, Bad& bad) {
  // An empty message has no content to refer to.
  if (msg.empty())
    return true;
  const auto& xs = msg.content();
  for (size_t i = 0; i < msg.size(); ++i) {
    if (bad(xs, i))
      return false;
    if (xs.match_element<caf::message>(i)) {
      if (!all_elements(xs.get_as<caf::message>(i), bad))
        return false;
    } else if (xs.match_element<caf::error>(i)) {
      if (!all_elements(xs.get_as<caf::error>(i), bad))
        return false;
    } else if (xs.match_element<caf::exit_msg>(i)) {
      if (!all_elements(xs.get_as<caf::exit_msg>(i).reason, bad))
        return false;
    } else if (xs.match_element<caf::down_msg>(i)) {
      if (!all_elements(xs.get_as<caf::down_msg>(i).reason, bad))
        return false;
    }
  }
  return true;
}

inline bool finite(const caf::config_value& x) {
  if (auto real = caf::get_if<double>(&x))
    return std::isfinite(*real);
  if (auto list = caf::get_if<caf::config_value::list>(&x)) {
    for (const auto& y : *list)
      if (!finite(y))
        return false;
  } else if (auto dict = caf::get_if<caf::config_value::dictionary>(&x)) {
    for (const auto& kvp : *dict)
      if (!finite(kvp.second))
        return false;
  }
  return true;
}

} // namespace detail

// False when `msg` holds, at any depth, a duration whose time unit is not
// one of the enumeration's values.
inline bool safe_to_print(const caf::message& msg) {
  auto bad = [](const caf::type_erased_tuple& xs, size_t i) {
    if (!xs.match_element<caf::duration>(i))
      return false;
    const auto unit = static_cast<uint32_t>(xs.get_as<caf::duration>(i).unit);
    return unit > static_cast<uint32_t>(caf::time_unit::nanoseconds);
  };
  return detail::all_elements(msg, bad);
}

// False when `msg` holds, at any depth, an infinite float or double.
inline bool safe_to_save(const caf::message& msg) {
  auto bad = [](const caf::type_erased_tuple& xs, size_t i) {
    if (xs.match_element<double>(i))
      return std::isinf(xs.get_as<double>(i));
    if (xs.match_element<float>(i))
      return std::isinf(xs.get_as<float>(i));
    if (xs.match_element<caf::config_value>(i))
      return !detail::finite(xs.get_as<caf::config_value>(i));
    return false;
  };
  return detail::all_elements(msg, bad);
}

} // namespace fuzz_checks
