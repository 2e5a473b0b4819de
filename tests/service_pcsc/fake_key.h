// A key with the OATH applet in a reader, for the backend's tests: enough of
// the applet to answer what the service sends, with hooks for faults.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "card/readers.h"
#include "oath/bytes.h"
#include "oath/transport.h"

struct FakeCredential {
  std::string name;  // as stored, prefix included
  bool totp = true;
  bool touch = false;
  std::string secret_base32 = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ";
  int digits = 6;
};

class FakeKey {
public:
  explicit FakeKey(oath::Bytes salt, std::vector<FakeCredential> credentials = {});

  // Answers one command APDU (data + status word).
  oath::Answer handle(oath::ByteView apdu);

  void set_password(const std::string& pin);  // empty: none
  bool has_password() const { return key_.has_value(); }
  // True when `pin` opens the key.
  bool opens_with(const std::string& pin) const;

  std::vector<FakeCredential> credentials;
  // Answer without knowing the password: VALIDATE's answer is wrong.
  bool fake_validation = false;
  // A command handled before the applet sees it; an answer ends it there.
  std::function<std::optional<oath::Answer>(oath::ByteView apdu)> intercept;
  // Called when a touch credential is calculated; returns true for "touched".
  std::function<bool()> touch = [] { return false; };

  // INS bytes of the commands received, in order ("A4", "A3", ...).
  std::vector<std::string> log;
  int count(const std::string& ins) const;

private:
  oath::Answer calculate(oath::ByteView data, bool all);

  oath::Bytes salt_;
  std::optional<oath::Bytes> key_;
  oath::Bytes challenge_;
  bool validated_ = false;
};

// Readers holding fake keys. Thread-safe: tests change them while the card
// thread reads them.
class FakeReaders : public card::Readers {
public:
  struct Reader {
    std::string name;
    std::shared_ptr<FakeKey> key;  // null: empty reader
    uint16_t events = 0;
    bool held_exclusively = false;
  };

  oath::Result<std::vector<card::ReaderState>> states() override;
  oath::Result<std::unique_ptr<card::Connection>> connect(const std::string& reader) override;

  void add(const std::string& name, std::shared_ptr<FakeKey> key = nullptr);
  void insert(const std::string& name, std::shared_ptr<FakeKey> key);
  void remove(const std::string& name);
  void hold_exclusively(const std::string& name, bool held);
  void set_service(bool up);
  // The next `count` transmits fail with `failure` (reset, removed, ...).
  void fail_transmits(int count, oath::Failure failure);

  // States as the presence monitor would see them now.
  std::vector<card::ReaderState> snapshot();
  int states_calls() const;
  int connects() const;

  // Used by the connections.
  std::optional<oath::Failure> take_transmit_failure();

private:
  mutable std::mutex mtx_;
  std::vector<Reader> readers_;
  bool service_up_ = true;
  int transmit_failures_ = 0;
  oath::Failure transmit_failure_;
  int states_calls_ = 0;
  int connects_ = 0;
};

// Lets the card thread own a Readers that forwards to one the test keeps.
class ForwardingReaders : public card::Readers {
public:
  explicit ForwardingReaders(card::Readers& target) : target_(target) {}
  oath::Result<std::vector<card::ReaderState>> states() override { return target_.states(); }
  oath::Result<std::unique_ptr<card::Connection>> connect(const std::string& reader) override {
    return target_.connect(reader);
  }

private:
  card::Readers& target_;
};

class FakePresence : public card::Presence {
public:
  std::optional<std::vector<card::ReaderState>> current() const override {
    std::lock_guard<std::mutex> guard{mtx_};
    return states_;
  }
  void set(std::optional<std::vector<card::ReaderState>> states) {
    std::lock_guard<std::mutex> guard{mtx_};
    states_ = std::move(states);
  }

private:
  mutable std::mutex mtx_;
  std::optional<std::vector<card::ReaderState>> states_;
};

// A gate a card-thread job can wait at until the test opens it.
class Latch {
public:
  void open() {
    std::lock_guard<std::mutex> guard{mtx_};
    open_ = true;
    cv_.notify_all();
  }
  void wait() {
    std::unique_lock<std::mutex> lock{mtx_};
    reached_ = true;
    cv_.notify_all();
    cv_.wait(lock, [this] { return open_; });
  }
  // Waits until a job waits at the latch.
  bool reached(std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    std::unique_lock<std::mutex> lock{mtx_};
    return cv_.wait_for(lock, limit, [this] { return reached_; });
  }

private:
  std::mutex mtx_;
  std::condition_variable cv_;
  bool open_ = false;
  bool reached_ = false;
};
