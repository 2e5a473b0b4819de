#include "backend/oath_backend.h"

#include "oath/apdu.h"

namespace backend {

namespace {

using oath::Failure;
using oath::Fault;
using oath::Step;

// Failures that say nothing about the key's credentials: while one lasts,
// Info keeps answering the last list.
bool leaves_list_standing(Fault fault) {
  switch (fault) {
    case Fault::no_service:
    case Fault::no_reader:
    case Fault::no_matching_reader:
    case Fault::no_key:
    case Fault::removed:
    case Fault::sharing_violation:
    case Fault::reset:
    case Fault::reader_failure: return true;
    default: return false;
  }
}

size_t characters(const std::string& text) {
  size_t count = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80)
      ++count;
  return count;
}

std::vector<Token> tokens_of(const std::vector<oath::ListedToken>& listed) {
  std::vector<Token> tokens;
  tokens.reserve(listed.size());
  for (const auto& token : listed)
    tokens.push_back(Token{token.shown, token.period});
  return tokens;
}

template <class T>
Outcome<T> outcome_of(Request request, oath::Result<T> result) {
  if (result)
    return std::move(*result);
  return to_service_error(request, result.failure());
}

template <class T>
std::function<void()> abandoned(Request request, Reply<T> reply) {
  return [request, reply] {
    reply(to_service_error(request, Failure{Fault::reader_failure, Step::none,
                                            "the service is stopping"}));
  };
}

} // namespace

Verdict check_pin(const std::string& pin, size_t min_length) {
  const size_t length = characters(pin);
  if (length >= min_length)
    return {true, ""};
  return {false, "The PIN must have at least " + std::to_string(min_length)
                   + (min_length == 1 ? " character" : " characters") + "; this one has "
                   + std::to_string(length) + "."};
}

OathBackend::OathBackend(Options options, card::CardThread& card, const card::Presence& presence,
                       oath::RandomSource random)
  : options_(std::move(options)), card_(card), presence_(presence), random_(std::move(random)) {}

template <class T, class F>
oath::Result<T> OathBackend::on_key(card::Readers& readers, F&& fn) {
  constexpr int attempts = 3;
  for (int attempt = 1;; ++attempt) {
    auto scan = card::open_key(readers, options_.reader_filter, random_, memory_);
    record(scan);
    if (!scan.key) {
      if (scan.key.failure().fault == Fault::reset && attempt < attempts)
        continue;
      return scan.key.failure();
    }
    oath::Result<T> result = fn(*scan.key);
    if (!result && result.failure().fault == Fault::reset && attempt < attempts)
      continue;
    return result;
  }
}

void OathBackend::record(const card::Scan& scan) {
  seen_ = scan.seen;
  if (!scan.states_known)
    seen_.clear();
  std::lock_guard<std::mutex> guard{mtx_};
  if (!scan.key)
    return;
  const auto& info = scan.key->info;
  if (info.salt != cache_.salt) {
    // Another key: what was read from the last one no longer answers Info.
    cache_.salt = info.salt;
    cache_.outcome.reset();
    cache_.read_at.reset();
  }
  if (remembered_ && remembered_->salt != info.salt)
    remembered_.reset();
  cache_.has_password = info.has_password();
}

void OathBackend::record_list(const oath::Result<std::vector<oath::ListedToken>>& outcome) {
  std::lock_guard<std::mutex> guard{mtx_};
  cache_.outcome = outcome;
  if (seen_.empty())
    cache_.read_at.reset();
  else
    cache_.read_at = seen_;
  if (outcome && !outcome->empty()) {
    cache_.last_list = *outcome;
    cache_.last_salt = cache_.salt;
  }
}

Outcome<std::vector<Token>> OathBackend::info_answer(
  const oath::Result<std::vector<oath::ListedToken>>& read) {
  std::lock_guard<std::mutex> guard{mtx_};
  if (read) {
    if (read->empty())
      return to_service_error(Request::info, Failure{Fault::no_totp, Step::list});
    return tokens_of(*read);
  }
  const Fault fault = read.failure().fault;
  if (cache_.last_list
      && (leaves_list_standing(fault)
          || (fault == Fault::locked && cache_.last_salt == cache_.salt)))
    return tokens_of(*cache_.last_list);
  return to_service_error(Request::info, read.failure());
}

std::optional<oath::Secret> OathBackend::remembered_for(const oath::Bytes& salt) {
  std::lock_guard<std::mutex> guard{mtx_};
  if (remembered_ && remembered_->salt == salt)
    return remembered_->key;
  return std::nullopt;
}

void OathBackend::remember(const oath::Bytes& salt, const oath::Secret& key) {
  std::lock_guard<std::mutex> guard{mtx_};
  remembered_ = Remembered{salt, key};
}

void OathBackend::forget() {
  std::lock_guard<std::mutex> guard{mtx_};
  remembered_.reset();
}

oath::Result<std::vector<oath::ListedToken>> OathBackend::read_list(card::OpenKey& key) {
  if (key.info.has_password()) {
    auto secret = remembered_for(key.info.salt);
    if (!secret)
      return Failure{Fault::locked, Step::validate};
    auto validated = key.session->validate(*secret);
    if (!validated) {
      if (validated.failure().fault != Fault::wrong_pin)
        return validated.failure();
      forget();
      return Failure{Fault::locked, Step::validate, "the PIN was changed"};
    }
  }
  auto credentials = key.session->list();
  if (!credentials)
    return credentials.failure();
  return oath::listed_tokens(*credentials);
}

void OathBackend::info(Reply<std::vector<Token>> reply) {
  const auto now = presence_.current();
  std::optional<oath::Result<std::vector<oath::ListedToken>>> cached;
  {
    std::lock_guard<std::mutex> guard{mtx_};
    if (now && cache_.read_at && cache_.outcome
        && card::matching(*now, options_.reader_filter) == *cache_.read_at)
      cached = cache_.outcome;
  }
  if (cached) {
    reply(info_answer(*cached));
    return;
  }
  card_.post({[this, reply](card::Readers& readers) {
                auto read = on_key<std::vector<oath::ListedToken>>(
                  readers, [this](card::OpenKey& key) { return read_list(key); });
                record_list(read);
                reply(info_answer(read));
              },
              abandoned(Request::info, reply)});
}

void OathBackend::code(std::string name, uint64_t unix_time, oath::SecretText pin,
                      Reply<std::string> reply) {
  card_.post(
    {[this, name, unix_time, pin, reply](card::Readers& readers) {
       auto result = on_key<std::string>(readers, [&](card::OpenKey& key) -> oath::Result<std::string> {
         auto& session = *key.session;
         if (key.info.has_password()) {
           if (pin.empty())
             return Failure{Fault::empty_pin, Step::validate};
           const auto secret = oath::derive_key(pin.text(), key.info.salt);
           auto validated = session.validate(secret);
           if (!validated) {
             if (validated.failure().fault == Fault::wrong_pin)
               forget();
             return validated.failure();
           }
           remember(key.info.salt, secret);
         }
         auto credentials = session.list();
         if (!credentials)
           return credentials.failure();
         const auto tokens = oath::listed_tokens(*credentials);
         record_list(tokens);
         const auto* token = oath::find_token(tokens, name);
         if (!token)
           return Failure{Fault::unknown_name, Step::calculate,
                          "no TOTP credential named \"" + name + "\""};
         auto code = session.calculate(token->credential,
                                       oath::time_challenge(unix_time, token->period));
         if (!code && code.failure().fault == Fault::not_validated) {
           // 6982 is a touch that timed out only for a credential that needs one.
           auto all = session.calculate_all(oath::time_challenge(unix_time, oath::default_period));
           if (all)
             for (const auto& entry : *all)
               if (entry.name == token->credential
                   && entry.kind == oath::CalculatedEntry::Kind::touch)
                 return Failure{Fault::touch_timeout, Step::calculate, "the key was not touched"};
         }
         return code;
       });
       reply(outcome_of(Request::code, std::move(result)));
     },
     abandoned(Request::code, reply)});
}

void OathBackend::access(Reply<bool> reply) {
  card_.post({[this, reply](card::Readers& readers) {
                auto result = on_key<bool>(readers, [](card::OpenKey& key) -> oath::Result<bool> {
                  return key.info.has_password();
                });
                reply(outcome_of(Request::access, std::move(result)));
              },
              abandoned(Request::access, reply)});
}

void OathBackend::verify(oath::SecretText pin, Reply<bool> reply) {
  card_.post(
    {[this, pin, reply](card::Readers& readers) {
       auto result = on_key<bool>(readers, [&](card::OpenKey& key) -> oath::Result<bool> {
         if (!key.info.has_password()) {
           if (pin.empty())
             return true;
           return Failure{Fault::pin_not_set, Step::validate};
         }
         const auto secret = oath::derive_key(pin.text(), key.info.salt);
         auto validated = key.session->validate(secret);
         if (!validated) {
           if (validated.failure().fault != Fault::wrong_pin)
             return validated.failure();
           forget();
           return false;
         }
         remember(key.info.salt, secret);
         // A validated key lists: the list is read again now.
         if (auto credentials = key.session->list())
           record_list(oath::listed_tokens(*credentials));
         return true;
       });
       reply(outcome_of(Request::verify, std::move(result)));
     },
     abandoned(Request::verify, reply)});
}

void OathBackend::change(oath::SecretText new_pin, oath::SecretText old_pin,
                        Reply<oath::Done> reply) {
  if (new_pin.empty()) {
    reply(to_service_error(Request::change, Failure{Fault::empty_pin}));
    return;
  }
  card_.post(
    {[this, new_pin, old_pin, reply](card::Readers& readers) {
       auto result = on_key<oath::Done>(readers, [&](card::OpenKey& key) -> oath::Status {
         auto& session = *key.session;
         if (key.info.has_password()) {
           auto validated = session.validate(oath::derive_key(old_pin.text(), key.info.salt));
           if (!validated) {
             if (validated.failure().fault == Fault::wrong_pin)
               forget();
             return validated.failure();
           }
         }
         const auto secret = oath::derive_key(new_pin.text(), key.info.salt);
         auto set = session.set_code(secret);
         if (!set)
           return set.failure();
         remember(key.info.salt, secret);
         std::lock_guard<std::mutex> guard{mtx_};
         cache_.has_password = true;
         return oath::Done{};
       });
       reply(outcome_of(Request::change, std::move(result)));
     },
     abandoned(Request::change, reply)});
}

bool OathBackend::policy() const {
  std::lock_guard<std::mutex> guard{mtx_};
  return options_.require_pin || cache_.has_password.value_or(false);
}

} // namespace backend
