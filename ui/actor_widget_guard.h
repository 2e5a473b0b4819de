#pragma once

#include "caf/actor_companion.hpp"

// Called first in the destructor of every actor widget. The companion of
// caf::mixin::actor_widget keeps posting what reaches it to the widget as Qt
// events, and the mixin's own clean-up leaves that handler in place: a
// delayed message arriving after the widget is gone would be posted to freed
// memory. Once this returns, no further message reaches the widget (it waits
// for a post in progress), and Qt drops the events already queued for it.
inline void stop_widget_delivery(caf::actor_companion* self) {
  if (self)
    self->on_enqueue([](caf::mailbox_element_ptr) {});
}
