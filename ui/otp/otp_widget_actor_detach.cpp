#include "otp_widget_actor_detach.h"

#include <algorithm>
#include <atomic>
#include <iostream>
#include <utility>

#include <spdlog/spdlog.h>

#include "caf/actor_system.hpp"

#include "crypto/secure_clear.h"

#include "request.h"
#include "unix_clock.h"

namespace {

caf::timespan keep_delay(std::chrono::seconds wanted) {
  return wanted;
}

std::atomic<OtpWidgetActorDetach::delay_hook> current_delay_hook{&keep_delay};

} // namespace

void OtpWidgetActorDetach::set_delay_hook(delay_hook hook) {
  current_delay_hook.store(hook ? hook : &keep_delay);
}

OtpWidgetActorDetach::OtpWidgetActorDetach(caf::actor_config& cfg, caf::actor page,
                                           fido_otp_actor service)
  : caf::event_based_actor(cfg), service(std::move(service)), page(std::move(page)) {
  send(this, ::init_atom{});
  // Runs on the spawning thread: the page's construction waits for the answer.
  auto hw = request_blocking<bool>(system(), this->service, ::check_atom{}, ::hwaccess_atom{});
  if (hw) {
    hw_access_support = *hw;
    spdlog::info("[OtpWidgetActorDetach] hw access support={}", hw_access_support);
  } else {
    send(this->page, ::msg_atom{},
         std::string("Failed to check if the device has hardware access support."));
  }
}

OtpWidgetActorDetach::~OtpWidgetActorDetach() {
  crypto::secure_clear(pin);
}

void OtpWidgetActorDetach::on_exit() {
  std::cout << "OtpWidgetActorDetach exit..." << std::endl;
  service = nullptr;
  page = nullptr;
  crypto::secure_clear(pin);
}

caf::behavior OtpWidgetActorDetach::make_behavior() {
  send(this, ::tick_atom{});
  return {
    [](::init_atom) { std::cout << "init atom" << std::endl; },
    [this](::tick_atom) { tick(); },
    [this](::name_atom, const std::string& name, std::string& new_pin) {
      current_name = name;
      last_cal_step = 0;
      crypto::secure_clear(pin);
      pin = new_pin;
      // The message's copy as well (this handler is its last reader).
      crypto::secure_clear(new_pin);
    },
  };
}

void OtpWidgetActorDetach::schedule_tick(std::chrono::seconds wanted) {
  delayed_send(this, current_delay_hook.load()(wanted), ::tick_atom{});
}

void OtpWidgetActorDetach::tick() {
  std::cout << "get tick atom" << std::endl;
  std::cout << "get tick atom, working" << std::endl;
  const uint64_t now = unix_clock::now();
  uint64_t step = 0;

  if (last_name != current_name)
    send(page, ::set_atom{}, ::otp_atom{}, std::string{}, uint64_t{0});

  auto list = request_blocking<std::vector<OtpTokenInfo>>(system(), service, ::get_atom{},
                                                          ::info_atom{});
  if (!list) {
    spdlog::error("Failed to get otp info, error={}", list.error_text());
    send(page, ::msg_atom{}, list.error_text());
    schedule_tick(retry_interval);
    send(page, ::stop_atom{});
    return;
  }
  if (are_infos_changed(infos, *list)) {
    spdlog::info("info changed.");
    infos = std::move(*list);
    send(page, ::set_atom{}, ::info_atom{}, infos);
  }

  if (current_name.empty()) {
    schedule_tick(tick_interval);
    return;
  }
  const bool token_unchanged = last_name == current_name;
  auto token = std::find_if(infos.begin(), infos.end(),
                            [&](const OtpTokenInfo& x) { return x.name == current_name; });
  if (token == infos.end()) {
    schedule_tick(tick_interval);
    return;
  }
  period = token->period;
  spdlog::info("[OtpWidgetActorDetach] period={}", period);
  if (period != 0) {
    step = now / period;
    spdlog::info("token_unchanged={}, last_cal_step={}, step={}", token_unchanged,
                 last_cal_step, step);
    if (step == last_cal_step && token_unchanged) {
      std::cout << "still step " << step << std::endl;
      schedule_tick(tick_interval);
      return;
    }
  }

  spdlog::info("!! Need calculate OTP !!");
  send(page, ::msg_atom{}, std::string("Please touch the key..."));
  auto code = request_blocking<std::string>(system(), service, ::get_atom{}, ::otp_atom{},
                                            current_name, now, pin, hw_access_support);
  if (code) {
    send(page, ::msg_atom{}, std::string{});
    last_cal_step = step;
    last_name = current_name;
    send(page, ::set_atom{}, ::otp_atom{}, std::move(*code), step);
    std::cout << "try to loop" << std::endl;
    schedule_tick(tick_interval);
    return;
  }
  spdlog::error("Failed to get otp, error={}", code.error_text());
  schedule_tick(retry_interval);
  // A key that was not touched in time only clears the prompt.
  if (is_fido_error(code.error(), fido_error::key_timed_out))
    send(page, ::msg_atom{}, std::string{});
  else
    send(page, ::msg_atom{}, code.error_text());
}

bool OtpWidgetActorDetach::are_infos_changed(const std::vector<OtpTokenInfo>& old,
                                             const std::vector<OtpTokenInfo>& fresh) {
  if (old.size() != fresh.size()) {
    spdlog::debug("[are_infos_changed] size not the same");
    return true;
  }
  for (size_t i = 0; i < old.size(); ++i) {
    if (old[i].name != fresh[i].name) {
      spdlog::debug("[are_infos_changed] name not the same");
      return true;
    }
  }
  return false;
}
