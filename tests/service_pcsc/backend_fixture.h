// A backend on a real card thread over fake readers, with blocking helpers.
#pragma once

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "backend/oath_backend.h"
#include "card/card_thread.h"
#include "fake_key.h"
#include "hex.h"
#include "scripted_transport.h"

template <class T>
class Await {
public:
  backend::Reply<T> reply() {
    return [promise = promise_](backend::Outcome<T> outcome) { promise->set_value(std::move(outcome)); };
  }
  bool answered() const {
    return future_.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
  }
  backend::Outcome<T> get() {
    if (future_.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      ADD_FAILURE() << "no answer";
      return backend::ServiceError{backend::ServiceError::Category::fido, 0, "no answer"};
    }
    return future_.get();
  }

private:
  std::shared_ptr<std::promise<backend::Outcome<T>>> promise_ =
    std::make_shared<std::promise<backend::Outcome<T>>>();
  std::future<backend::Outcome<T>> future_ = promise_->get_future();
};

inline std::string fido(int code) { return "fido " + std::to_string(code); }
inline std::string pcsc(int code) { return "pcsc " + std::to_string(code); }

// "fido 4", "pcsc 3", or "ok" for a value.
template <class T>
std::string kind(const backend::Outcome<T>& outcome) {
  if (outcome.index() == 0)
    return "ok";
  const auto& error = std::get<1>(outcome);
  return (error.category == backend::ServiceError::Category::fido ? "fido " : "pcsc ")
         + std::to_string(error.code);
}

template <class T>
std::string context(const backend::Outcome<T>& outcome) {
  return outcome.index() == 0 ? std::string("(value)") : std::get<1>(outcome).context;
}

inline std::string names(const backend::Outcome<std::vector<backend::Token>>& outcome) {
  if (outcome.index() != 0)
    return kind(outcome) + ": " + context(outcome);
  std::string out;
  for (const auto& token : std::get<0>(outcome))
    out += (out.empty() ? "" : " ") + token.name + "@" + std::to_string(token.period);
  return out;
}

const oath::Bytes kSaltA = unhex("A0 A1 A2 A3 A4 A5 A6 A7");
const oath::Bytes kSaltB = unhex("B0 B1 B2 B3 B4 B5 B6 B7");
constexpr const char* kReader = "Yubico YubiKey OTP+FIDO+CCID 00 00";
constexpr const char* kReader2 = "Yubico YubiKey OTP+FIDO+CCID 01 00";

class BackendTest : public ::testing::Test {
protected:
  void start(backend::Options options = {}) {
    thread = std::make_unique<card::CardThread>(
      [this] { return std::make_unique<ForwardingReaders>(readers); });
    service = std::make_unique<backend::OathBackend>(options, *thread, presence, counting_random());
  }
  void TearDown() override {
    // The thread first: its jobs use the backend.
    thread.reset();
    service.reset();
  }
  // The presence monitor catches up with the readers.
  void monitor_sees() { presence.set(readers.snapshot()); }

  backend::Outcome<std::vector<backend::Token>> info() {
    Await<std::vector<backend::Token>> answer;
    service->info(answer.reply());
    return answer.get();
  }
  backend::Outcome<std::string> code(const std::string& name, uint64_t time,
                                     const std::string& pin = "") {
    Await<std::string> answer;
    service->code(name, time, oath::SecretText{pin}, answer.reply());
    return answer.get();
  }
  backend::Outcome<bool> access() {
    Await<bool> answer;
    service->access(answer.reply());
    return answer.get();
  }
  backend::Outcome<bool> verify(const std::string& pin) {
    Await<bool> answer;
    service->verify(oath::SecretText{pin}, answer.reply());
    return answer.get();
  }
  backend::Outcome<oath::Done> change(const std::string& new_pin, const std::string& old_pin) {
    Await<oath::Done> answer;
    service->change(oath::SecretText{new_pin}, oath::SecretText{old_pin}, answer.reply());
    return answer.get();
  }

  FakeReaders readers;
  FakePresence presence;
  std::unique_ptr<card::CardThread> thread;
  std::unique_ptr<backend::OathBackend> service;
};

template <class T>
T value(const backend::Outcome<T>& outcome) {
  if (outcome.index() != 0) {
    ADD_FAILURE() << kind(outcome) << ": " << context(outcome);
    return T{};
  }
  return std::get<0>(outcome);
}
