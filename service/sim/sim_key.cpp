#include "sim/sim_key.h"

#include <utility>

namespace sim {

namespace {

// Unicode code points in UTF-8 text (continuation bytes are not counted).
size_t code_points(const std::string& text) {
  size_t count = 0;
  for (char c : text) {
    if ((static_cast<unsigned char>(c) & 0xc0) != 0x80) ++count;
  }
  return count;
}

std::string failed(Request request, uint8_t code) {
  return std::string(request_name(request)) + ": error " + std::to_string(code) + " (" +
         fido_error_text(code) + ")";
}

std::string succeeded(Request request, const std::string& detail) {
  return std::string(request_name(request)) + ": ok" + (detail.empty() ? "" : " (" + detail + ")");
}

}  // namespace

std::string fido_error_text(uint8_t code) {
  switch (code) {
    case fido::kNoTokens: return "No FIDO tokens.";
    case fido::kPinIncorrect: return "PIN is incorrect.";
    case fido::kTimedOut: return "FIDO key timed out.";
    case fido::kPinBlocked: return "PIN auth blocked.";
    case fido::kPinNotSet: return "PIN not set.";
    case fido::kOtpFailed: return "Failed to get OTP.";
    case fido::kListFailed: return "Failed to list OTP.";
    case fido::kDenied: return "FIDO operation denied.";
    default: return "FIDO error " + std::to_string(code) + ".";
  }
}

SimKey::SimKey(KeyConfig config)
    : config_(std::move(config)), pin_(config_.pin), pin_expired_(config_.pin_expired) {
  for (size_t i = 0; i < config_.tokens.size(); ++i) by_name_.emplace(config_.tokens[i].name, i);
  for (const auto& [request, list] : config_.faults) {
    faults_[request].assign(list.begin(), list.end());
  }
  if (config_.refuse_actor_lookup) {
    Fault refusal;
    refusal.count = 1;
    refusal.fido_error_code = fido::kDenied;
    faults_[Request::lookup].push_front(refusal);
  }
}

bool SimKey::needs_touch(Request request) {
  return request == Request::get_otp || request == Request::change_pin;
}

bool SimKey::blocked() const {
  return config_.max_pin_tries > 0 && wrong_pins_ >= config_.max_pin_tries;
}

std::optional<bool> SimKey::check_pin(const std::string& pin) {
  if (blocked()) return std::nullopt;
  if (pin == *pin_) {
    wrong_pins_ = 0;
    return true;
  }
  ++wrong_pins_;
  if (blocked()) return std::nullopt;
  return false;
}

Outcome<bool> SimKey::verify_pin(const std::string& pin) {
  if (!pin_) {
    return pin.empty() ? Outcome<bool>::success(true) : Outcome<bool>::failure(fido::kPinNotSet);
  }
  auto right = check_pin(pin);
  if (!right) return Outcome<bool>::failure(fido::kPinBlocked);
  return Outcome<bool>::success(*right);
}

const Token* SimKey::find_token(std::string_view name) const {
  auto it = by_name_.find(std::string(name));
  return it == by_name_.end() ? nullptr : &config_.tokens[it->second];
}

Outcome<std::vector<TokenInfo>> SimKey::token_info() const {
  using Result = Outcome<std::vector<TokenInfo>>;
  if (config_.tokens.empty()) return Result::failure(fido::kNoTokens);
  std::vector<TokenInfo> list;
  list.reserve(config_.tokens.size());
  for (const auto& token : config_.tokens) {
    list.push_back(TokenInfo{token.name, token.period, token.digits});
  }
  return Result::success(std::move(list));
}

Outcome<std::string> SimKey::otp(const std::string& name, uint64_t unix_time,
                                 const std::string& pin, bool hw_access) {
  using Result = Outcome<std::string>;
  if (pin_) {
    auto right = check_pin(pin);
    if (!right) return Result::failure(fido::kPinBlocked);
    if (!*right) return Result::failure(fido::kPinIncorrect);
  }
  if (hw_access && !config_.hw_access_support) return Result::failure(fido::kDenied);
  const Token* token = find_token(name);
  if (token == nullptr) return Result::failure(fido::kOtpFailed);
  return Result::success(
      crypto::totp(token->secret, unix_time, token->period, token->digits, token->algorithm));
}

Compliance SimKey::check_compliant(const std::string& new_pin) const {
  const PinPolicy& policy = config_.pin_policy;
  const size_t length = code_points(new_pin);
  if (length < static_cast<size_t>(policy.min_length)) {
    return {false, "PIN must be at least " + std::to_string(policy.min_length) +
                       " characters long."};
  }
  if (length > static_cast<size_t>(policy.max_length)) {
    return {false, "PIN must be at most " + std::to_string(policy.max_length) +
                       " characters long."};
  }
  if (policy.digits_only) {
    for (char c : new_pin) {
      if (c < '0' || c > '9') return {false, "PIN must contain digits only."};
    }
  }
  return {true, ""};
}

Outcome<void> SimKey::change_pin(const std::string& new_pin, const std::string& old_pin) {
  if (pin_) {
    auto right = check_pin(old_pin);
    if (!right) return Outcome<void>::failure(fido::kPinBlocked);
    if (!*right) return Outcome<void>::failure(fido::kPinIncorrect);
  } else if (!old_pin.empty()) {
    return Outcome<void>::failure(fido::kPinIncorrect);
  }
  if (!check_compliant(new_pin).is_compliant) return Outcome<void>::failure(fido::kDenied);
  pin_ = new_pin;
  pin_expired_ = false;
  return Outcome<void>::success();
}

std::optional<Fault> SimKey::next_fault(Request request) {
  auto it = faults_.find(request);
  if (it == faults_.end() || it->second.empty()) return std::nullopt;
  Fault& front = it->second.front();
  Fault taken = front;
  if (front.count != Fault::kForever) {
    taken.count = 1;
    if (--front.count <= 0) it->second.pop_front();
  }
  return taken;
}

void SimKey::inject(Request request, Fault fault) {
  if (fault.count == 0 || fault.count < Fault::kForever) return;
  faults_[request].push_back(fault);
}

std::string describe(Request request) { return std::string(request_name(request)); }

std::string describe(Request request, const Outcome<bool>& outcome) {
  if (!outcome.ok()) return failed(request, outcome.code);
  return succeeded(request, *outcome.value ? "true" : "false");
}

std::string describe(Request request, const Outcome<std::string>& outcome) {
  if (!outcome.ok()) return failed(request, outcome.code);
  return succeeded(request, std::to_string(outcome.value->size()) + "-digit code");
}

std::string describe(Request request, const Outcome<void>& outcome) {
  if (!outcome.ok()) return failed(request, outcome.code);
  return succeeded(request, "");
}

std::string describe(Request request, const Outcome<std::vector<TokenInfo>>& outcome) {
  if (!outcome.ok()) return failed(request, outcome.code);
  return succeeded(request, std::to_string(outcome.value->size()) + " tokens");
}

std::string describe(Request request, const Compliance& outcome) {
  if (outcome.is_compliant) return succeeded(request, "compliant");
  return succeeded(request, "not compliant: " + outcome.reason);
}

std::string describe(Request request, const Fault& fault) {
  if (fault.hang) return std::string(request_name(request)) + ": injected hang, no answer";
  return std::string(request_name(request)) + ": injected error " +
         std::to_string(fault.fido_error_code) + " (" + fido_error_text(fault.fido_error_code) +
         ")";
}

}  // namespace sim
