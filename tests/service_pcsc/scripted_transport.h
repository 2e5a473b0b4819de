// A transport that plays a script: each command the session sends must be the
// next one expected, and gets that step's answer.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hex.h"
#include "oath/apdu.h"
#include "oath/transport.h"

class ScriptedTransport : public oath::Transport {
public:
  using Handler = std::function<oath::Result<oath::Answer>(oath::ByteView)>;

  // `answer` is hex of the data followed by the status word.
  ScriptedTransport& expect(const std::string& command, const std::string& answer) {
    const oath::Bytes expected = unhex(command);
    const oath::Bytes reply = unhex(answer);
    return on([expected, reply, command](oath::ByteView apdu) -> oath::Result<oath::Answer> {
      EXPECT_EQ(oath::hex(apdu), oath::hex(expected)) << "expected " << command;
      return answer_of(reply);
    });
  }
  ScriptedTransport& fail(const std::string& command, oath::Failure failure) {
    const oath::Bytes expected = unhex(command);
    return on([expected, failure](oath::ByteView apdu) -> oath::Result<oath::Answer> {
      EXPECT_EQ(oath::hex(apdu), oath::hex(expected));
      return failure;
    });
  }
  ScriptedTransport& on(Handler handler) {
    script_.push_back(std::move(handler));
    return *this;
  }

  oath::Result<oath::Answer> transmit(oath::ByteView apdu) override {
    sent_.push_back(oath::hex(apdu));
    if (script_.empty()) {
      ADD_FAILURE() << "unexpected command " << sent_.back();
      return oath::Failure{oath::Fault::reader_failure, oath::Step::none, "script ended"};
    }
    auto handler = std::move(script_.front());
    script_.pop_front();
    return handler(apdu);
  }

  bool finished() const { return script_.empty(); }
  const std::vector<std::string>& sent() const { return sent_; }

  static oath::Answer answer_of(const oath::Bytes& reply) {
    if (reply.size() < 2)
      throw std::invalid_argument("an answer needs a status word");
    oath::Answer answer;
    answer.data.assign(reply.begin(), reply.end() - 2);
    answer.sw = static_cast<uint16_t>(reply[reply.size() - 2] << 8 | reply.back());
    return answer;
  }

private:
  std::deque<Handler> script_;
  std::vector<std::string> sent_;
};

// Host challenges that tests can predict: 8 bytes counting up from `first`.
inline oath::RandomSource counting_random(uint8_t first = 0xC0) {
  return [next = first](size_t size) mutable {
    oath::Bytes out(size);
    for (auto& b : out)
      b = next++;
    return out;
  };
}
