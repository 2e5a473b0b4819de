// The protocol's steps over a transport: select, validate, list, calculate,
// calculate all, set code. Knows nothing of PC/SC or of actors.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "oath/responses.h"
#include "oath/result.h"
#include "oath/secret.h"
#include "oath/transport.h"

namespace oath {

class Session {
public:
  Session(Transport& transport, RandomSource random);

  // Selects the applet. A card without it answers Fault::no_key.
  Result<SelectInfo> select();
  // The answer of the last successful select().
  const std::optional<SelectInfo>& selected() const { return selected_; }

  // Proves `key` against the challenge of the last select() and checks the
  // key's own answer. A wrong key is Fault::wrong_pin, an answer that does
  // not check out Fault::bad_answer. Needs a select() that showed a password.
  Status validate(const Secret& key);

  Result<std::vector<Credential>> list();
  // The truncated code of `name` for `challenge`. 6982 is Fault::not_validated
  // (the caller knows whether a touch was due), 6984 Fault::unknown_name.
  Result<std::string> calculate(std::string_view name, ByteView challenge);
  Result<std::vector<CalculatedEntry>> calculate_all(ByteView challenge);
  // Sets `key` as the password key (validate() first when one is set).
  Status set_code(const Secret& key);

private:
  // One command: the data of a 9000 answer, or the failure for its step.
  Result<Bytes> run(Step step, ByteView apdu);

  Transport& transport_;
  RandomSource random_;
  std::optional<SelectInfo> selected_;
};

} // namespace oath
