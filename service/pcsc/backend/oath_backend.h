// The service's requests on a real key: each is answered through a callback,
// from the card thread for requests that need the card, at once for those
// that do not (policy, expiry, hardware access, compliance, and Info while
// the same key stays in its reader).
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "backend/error_table.h"
#include "card/card_thread.h"
#include "card/key_finder.h"
#include "card/readers.h"
#include "oath/names.h"
#include "oath/secret.h"

namespace backend {

struct Options {
  std::string reader_filter;   // use only readers whose name contains it
  bool require_pin = false;    // the PIN policy is on whatever the key says
  size_t min_pin_length = 6;   // in characters
};

struct Token {
  std::string name;
  uint32_t period = 30;
  friend bool operator==(const Token& a, const Token& b) {
    return a.name == b.name && a.period == b.period;
  }
};

struct Verdict {
  bool is_compliant = false;
  std::string reason;
};

template <class T>
using Outcome = std::variant<T, ServiceError>;
template <class T>
using Reply = std::function<void(Outcome<T>)>;

// The verdict on a new PIN of `min_length` characters or more.
Verdict check_pin(const std::string& pin, size_t min_length);

class OathBackend {
public:
  OathBackend(Options options, card::CardThread& card, const card::Presence& presence,
             oath::RandomSource random = oath::system_random());

  // The TOTP tokens of the one key present.
  void info(Reply<std::vector<Token>> reply);
  // The code of token `name` at `unix_time`; `pin` opens a key with a password.
  void code(std::string name, uint64_t unix_time, oath::SecretText pin, Reply<std::string> reply);
  // True: the key has a password (as SELECT shows it now).
  void access(Reply<bool> reply);
  // True: `pin` opens the key; false: it does not.
  void verify(oath::SecretText pin, Reply<bool> reply);
  // Sets `new_pin` in place of `old_pin` (empty when there is no password).
  void change(oath::SecretText new_pin, oath::SecretText old_pin, Reply<oath::Done> reply);

  bool policy() const;
  bool expired() const { return false; }
  bool hardware_access() const { return true; }
  Verdict compliance(const std::string& new_pin) const { return check_pin(new_pin, options_.min_pin_length); }

private:
  // What the card thread last read from the key.
  struct Cache {
    std::optional<std::vector<card::ReaderState>> read_at;  // the readers then
    std::optional<oath::Result<std::vector<oath::ListedToken>>> outcome;
    std::optional<std::vector<oath::ListedToken>> last_list;  // last good, non-empty
    oath::Bytes last_salt;                                     // of last_list
    oath::Bytes salt;                                          // of the key last seen
    std::optional<bool> has_password;
  };
  struct Remembered {
    oath::Bytes salt;
    oath::Secret key;
  };

  // Runs `fn` on the one key, on the card thread; reconnects and starts
  // again when another program reset the card.
  template <class T, class F>
  oath::Result<T> on_key(card::Readers& readers, F&& fn);
  void record(const card::Scan& scan);
  void record_list(const oath::Result<std::vector<oath::ListedToken>>& outcome);
  // The answer to Info for what was read.
  Outcome<std::vector<Token>> info_answer(const oath::Result<std::vector<oath::ListedToken>>& read);
  // Reads the list on the open key: validates with the remembered key first.
  oath::Result<std::vector<oath::ListedToken>> read_list(card::OpenKey& key);
  std::optional<oath::Secret> remembered_for(const oath::Bytes& salt);
  void remember(const oath::Bytes& salt, const oath::Secret& key);
  void forget();

  const Options options_;
  card::CardThread& card_;
  const card::Presence& presence_;
  oath::RandomSource random_;
  card::ScanMemory memory_;             // card thread only
  std::vector<card::ReaderState> seen_; // card thread only: the last scan's readers
  mutable std::mutex mtx_;
  Cache cache_;
  std::optional<Remembered> remembered_;
};

} // namespace backend
