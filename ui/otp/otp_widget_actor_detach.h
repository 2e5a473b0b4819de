#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "caf/actor.hpp"
#include "caf/event_based_actor.hpp"
#include "caf/timespan.hpp"

#include "fido_otp_actor.h"

// The OTP page's worker, spawned detached: reads the token list once a
// second, forwards it when it changes and asks for a new code whenever the
// selected token or its time step changes. Talks to the page only in messages.
class OtpWidgetActorDetach : public caf::event_based_actor {
public:
  static constexpr std::chrono::seconds tick_interval{1};
  static constexpr std::chrono::seconds retry_interval{3};

  // Maps the wait a tick asks for (tick_interval or retry_interval) to the
  // delay actually scheduled. The default keeps it; tests replace it to
  // record the waits and to pace the ticks themselves.
  using delay_hook = caf::timespan (*)(std::chrono::seconds wanted);
  static void set_delay_hook(delay_hook hook); // nullptr restores the default

  OtpWidgetActorDetach(caf::actor_config& cfg, caf::actor page, fido_otp_actor service);
  ~OtpWidgetActorDetach() override;

  void on_exit() override;
  caf::behavior make_behavior() override;

  // Whether `fresh` differs from `old` in size or in a name; periods are not compared.
  static bool are_infos_changed(const std::vector<OtpTokenInfo>& old,
                                const std::vector<OtpTokenInfo>& fresh);

private:
  void tick();
  void schedule_tick(std::chrono::seconds wanted);

  fido_otp_actor service;
  caf::actor page;
  uint64_t last_cal_step = 0;
  std::string last_name;
  std::string current_name;
  uint32_t period = 0;
  std::vector<OtpTokenInfo> infos;
  std::string pin;
  bool hw_access_support = false;
};
