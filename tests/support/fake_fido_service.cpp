#include "fake_fido_service.h"

#include <deque>
#include <optional>

#include "caf/all.hpp"
#include "caf/io/middleman.hpp"

namespace fake {

struct FidoService::state {
  mutable std::mutex mtx;
  bool has_access = false;
  bool policy_enabled = false;
  bool expired = false;
  bool hw_access = true;
  std::string pin;
  std::vector<OtpTokenInfo> tokens;
  PinPolicyResult compliance{true, ""};
  std::function<std::string(const otp_request&)> make_code = [](const otp_request& r) {
    return r.name + ":" + std::to_string(r.time);
  };
  std::map<request, std::deque<caf::error>> failures;
  std::map<request, bool> hanging;
  std::map<request, int> counts;
  std::vector<otp_request> otp_requests;
  std::vector<std::string> verified_pins;
  std::vector<std::pair<std::string, std::string>> changes;
  // Promises of requests that are never answered, kept so they never fire.
  std::vector<caf::response_promise> held;

  // Counts the request; returns the scripted failure, if any, and whether to hang.
  std::optional<caf::error> next(request kind, bool& hang) {
    ++counts[kind];
    hang = hanging[kind];
    auto& queue = failures[kind];
    if (queue.empty())
      return std::nullopt;
    auto err = queue.front();
    queue.pop_front();
    return err;
  }
};

namespace {

// Answers one request: a scripted failure, no answer at all, or `value()`.
template <class T, class Self, class F>
caf::result<T> answer(Self* self, FidoService::state& st, request kind, F value) {
  std::unique_lock<std::mutex> guard{st.mtx};
  bool hang = false;
  if (auto err = st.next(kind, hang))
    return std::move(*err);
  if (hang) {
    st.held.push_back(self->make_response_promise());
    return caf::delegated<T>{};
  }
  return value();
}

using fido_pointer = fido_otp_actor::pointer;

fido_otp_actor::behavior_type fido_behavior(fido_pointer self,
                                            std::shared_ptr<FidoService::state> st) {
  return {
    [=](::get_atom, ::info_atom) -> caf::result<std::vector<OtpTokenInfo>> {
      return answer<std::vector<OtpTokenInfo>>(self, *st, request::get_info,
                                               [&] { return st->tokens; });
    },
    [=](::get_atom, ::otp_atom, const std::string& name, uint64_t time, const std::string& pin,
        bool hw) -> caf::result<std::string> {
      return answer<std::string>(self, *st, request::get_otp, [&] {
        otp_request r{name, time, pin, hw};
        st->otp_requests.push_back(r);
        return st->make_code(r);
      });
    },
    [=](::has_atom, ::access_atom) -> caf::result<bool> {
      return answer<bool>(self, *st, request::has_access, [&] { return st->has_access; });
    },
    [=](::verify_atom, ::access_atom, const std::string& pin) -> caf::result<bool> {
      return answer<bool>(self, *st, request::verify, [&] {
        st->verified_pins.push_back(pin);
        return pin == st->pin;
      });
    },
    [=](::change_atom, ::access_atom, const std::string& new_pin,
        const std::string& old_pin) -> caf::result<void> {
      std::unique_lock<std::mutex> guard{st->mtx};
      bool hang = false;
      if (auto err = st->next(request::change, hang))
        return std::move(*err);
      if (hang) {
        st->held.push_back(self->make_response_promise());
        return caf::delegated<void>{};
      }
      st->changes.emplace_back(new_pin, old_pin);
      st->pin = new_pin;
      st->has_access = true;
      return caf::unit;
    },
    [=](::check_atom, ::pin_atom, ::expire_atom) -> caf::result<bool> {
      return answer<bool>(self, *st, request::check_expire, [&] { return st->expired; });
    },
    [=](::check_atom, ::hwaccess_atom) -> caf::result<bool> {
      return answer<bool>(self, *st, request::check_hwaccess, [&] { return st->hw_access; });
    },
    [=](::check_atom, ::pin_atom, ::policy_atom) -> caf::result<bool> {
      return answer<bool>(self, *st, request::check_policy,
                          [&] { return st->policy_enabled; });
    },
    [=](::check_atom, ::compliant_atom, ::policy_atom,
        const std::string&) -> caf::result<PinPolicyResult> {
      return answer<PinPolicyResult>(self, *st, request::check_compliant,
                                     [&] { return st->compliance; });
    },
  };
}

caf::behavior service_behavior(caf::event_based_actor* self,
                               std::shared_ptr<FidoService::state> st, caf::actor fido) {
  return {
    [=](::get_atom, ::actor_fido_otp) -> caf::result<caf::actor> {
      return answer<caf::actor>(self, *st, request::lookup, [&] { return fido; });
    },
  };
}

} // namespace

FidoService::FidoService(caf::actor_system& sys)
  : sys_(sys), state_(std::make_shared<state>()) {
  fido_ = sys.spawn(fido_behavior, state_);
  service_ = sys.spawn(service_behavior, state_, caf::actor_cast<caf::actor>(fido_));
}

FidoService::~FidoService() {
  if (publish_port_)
    sys_.middleman().unpublish(service_, publish_port_);
  caf::anon_send_exit(fido_, caf::exit_reason::user_shutdown);
  caf::anon_send_exit(service_, caf::exit_reason::user_shutdown);
}

#define FAKE_SETTER(fn, member, type)                                          \
  void FidoService::fn(type x) {                                               \
    std::lock_guard<std::mutex> guard{state_->mtx};                            \
    state_->member = std::move(x);                                             \
  }
FAKE_SETTER(set_has_access, has_access, bool)
FAKE_SETTER(set_policy_enabled, policy_enabled, bool)
FAKE_SETTER(set_expired, expired, bool)
FAKE_SETTER(set_hw_access, hw_access, bool)
FAKE_SETTER(set_pin, pin, std::string)
FAKE_SETTER(set_tokens, tokens, std::vector<OtpTokenInfo>)
FAKE_SETTER(set_compliance, compliance, PinPolicyResult)
FAKE_SETTER(set_code, make_code, std::function<std::string(const otp_request&)>)
#undef FAKE_SETTER

void FidoService::fail(request kind, caf::error err, int times) {
  std::lock_guard<std::mutex> guard{state_->mtx};
  for (int i = 0; i < times; ++i)
    state_->failures[kind].push_back(err);
}

void FidoService::hang(request kind) {
  std::lock_guard<std::mutex> guard{state_->mtx};
  state_->hanging[kind] = true;
}

int FidoService::count(request kind) const {
  std::lock_guard<std::mutex> guard{state_->mtx};
  auto i = state_->counts.find(kind);
  return i == state_->counts.end() ? 0 : i->second;
}

std::vector<otp_request> FidoService::otp_requests() const {
  std::lock_guard<std::mutex> guard{state_->mtx};
  return state_->otp_requests;
}

std::vector<std::string> FidoService::verified_pins() const {
  std::lock_guard<std::mutex> guard{state_->mtx};
  return state_->verified_pins;
}

std::vector<std::pair<std::string, std::string>> FidoService::changes() const {
  std::lock_guard<std::mutex> guard{state_->mtx};
  return state_->changes;
}

fido_otp_actor FidoService::handle() const {
  return fido_;
}

caf::actor FidoService::service_actor() const {
  return service_;
}

uint16_t FidoService::publish() {
  auto port = sys_.middleman().publish(service_, 0, "127.0.0.1");
  if (!port)
    throw std::runtime_error("cannot publish the fake service: " + sys_.render(port.error()));
  publish_port_ = *port;
  return *port;
}

} // namespace fake
