// Loading bytes from the other end of the connection: random bytes,
// truncated and corrupted values and huge length prefixes must fail or give a
// value, never crash, hang or allocate by a claimed length.

#include <atomic>
#include <cstdlib>
#include <map>
#include <new>
#include <random>
#include <string>
#include <typeindex>
#include <vector>

#include <gtest/gtest.h>

#include "caf/message.hpp"

#include "allocation_probe.h"
#include "test_support.h"
#include "vocabulary.h"

namespace {

struct outcome {
  size_t loaded = 0;
  size_t failed = 0;
  size_t threw = 0;
};

// Loads `input` as the type registered under `name`; true when it loaded.
// `consumed` receives how many bytes the load read.
bool load_as(caf::actor_system& sys, const std::string& name, const byte_buffer& input,
             outcome& tally, size_t* consumed = nullptr) {
  auto value = sys.types().make_value(name);
  if (value == nullptr) {
    ADD_FAILURE() << "no factory for " << name;
    return false;
  }
  caf::binary_deserializer source{sys, input};
  caf::error err;
  {
    probe::scope probe;
    try {
      err = value->load(source);
    } catch (const std::exception& ex) {
      ++tally.threw;
      ADD_FAILURE() << name << ": load of " << input.size() << " bytes threw " << ex.what()
                    << " (refused allocation of " << probe::refused_request() << " bytes)";
      return false;
    }
  }
  if (consumed != nullptr)
    *consumed = input.size() - source.remaining();
  if (err) {
    ++tally.failed;
    return false;
  }
  ++tally.loaded;
  return true;
}

// A varbyte length of 0xffffffff, the largest the binary format can claim.
const byte_buffer huge_length = bytes_of({0xff, 0xff, 0xff, 0xff, 0x0f});

class HostileInput : public system_test {
protected:
  void SetUp() override {
    for_each_sample([&](const auto& x) {
      valid_[std::type_index(typeid(x))] = save_bytes(sys, x);
    });
  }

  // The saved sample of the entry's type; empty for atoms and error enums.
  byte_buffer valid_bytes(const vocabulary_entry& e) {
    auto i = valid_.find(std::type_index(*e.rtti));
    return i != valid_.end() ? i->second : byte_buffer{};
  }

  std::map<std::type_index, byte_buffer> valid_;
};

} // namespace

TEST_F(HostileInput, RandomBytesForEveryType) {
  std::mt19937 gen{20240501};
  std::uniform_int_distribution<int> byte_dist{0, 255};
  outcome total;
  size_t largest = 0;
  for (const auto& e : vocabulary()) {
    outcome tally;
    for (size_t round = 0; round < 260; ++round) {
      byte_buffer input(round % 65);
      for (auto& b : input)
        b = static_cast<char>(byte_dist(gen));
      // Every fourth input leans on large varbyte lengths.
      if (round % 4 == 3)
        for (size_t i = 0; i < input.size(); i += 3)
          input[i] = static_cast<char>(0xff);
      size_t consumed = 0;
      bool loaded = load_as(sys, e.name, input, tally, &consumed);
      largest = std::max(largest, probe::largest_request());
      EXPECT_LE(consumed, input.size());
      if (e.kind == type_kind::atom) {
        EXPECT_TRUE(loaded) << e.name;
        EXPECT_EQ(consumed, 0u) << e.name;
      }
      if (e.kind == type_kind::error_enum) {
        EXPECT_FALSE(loaded) << e.name;
      }
    }
    EXPECT_EQ(tally.threw, 0u) << e.name;
    total.loaded += tally.loaded;
    total.failed += tally.failed;
  }
  // Both outcomes occur: the inputs reach past the first field.
  EXPECT_GT(total.loaded, 0u);
  EXPECT_GT(total.failed, 0u);
  EXPECT_LT(largest, probe::allocation_cap);
  RecordProperty("largest_allocation", std::to_string(largest));
  std::cout << "loads: " << total.loaded << " loaded, " << total.failed
            << " failed; largest allocation " << largest << " bytes\n";
}

TEST_F(HostileInput, TruncatedValuesFail) {
  outcome tally;
  size_t types = 0;
  for (const auto& e : vocabulary()) {
    auto valid = valid_bytes(e);
    if (valid.empty())
      continue;
    ++types;
    size_t consumed = 0;
    ASSERT_TRUE(load_as(sys, e.name, valid, tally, &consumed)) << e.name;
    EXPECT_EQ(consumed, valid.size()) << e.name;
    for (size_t n = 0; n < valid.size(); ++n) {
      byte_buffer prefix(valid.begin(), valid.begin() + n);
      EXPECT_FALSE(load_as(sys, e.name, prefix, tally)) << e.name << " prefix " << n;
    }
  }
  EXPECT_EQ(types, 35u);
  EXPECT_EQ(tally.threw, 0u);
}

// A huge length at every position of a valid value, followed by a few bytes.
TEST_F(HostileInput, HugeLengthPrefixesAllocateNothingLarge) {
  outcome tally;
  size_t largest = 0;
  for (const auto& e : vocabulary()) {
    auto valid = valid_bytes(e);
    for (size_t n = 0; n <= valid.size(); ++n) {
      byte_buffer input(valid.begin(), valid.begin() + n);
      input.insert(input.end(), huge_length.begin(), huge_length.end());
      input.insert(input.end(), {0x01, 0x61, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
      load_as(sys, e.name, input, tally);
      largest = std::max(largest, probe::largest_request());
    }
  }
  EXPECT_EQ(tally.threw, 0u);
  EXPECT_LT(largest, probe::allocation_cap);
  std::cout << "largest allocation with huge lengths: " << largest << " bytes\n";
  // A claimed 4 GiB string with four bytes behind it is refused outright.
  std::string text;
  caf::error err;
  {
    probe::scope probe;
    byte_buffer input = huge_length;
    input.insert(input.end(), {'a', 'b', 'c', 'd'});
    err = load_bytes(sys, input, text);
    largest = probe::largest_request();
  }
  EXPECT_TRUE(err);
  EXPECT_LT(largest, 1024u);
}

// Overlong varbytes: more continuation bytes than a 32-bit length can hold.
TEST_F(HostileInput, OverlongVarbyteLengths) {
  outcome tally;
  byte_buffer input(12, static_cast<char>(0x80));
  input.push_back(0x01);
  input.insert(input.end(), 16, 'x');
  for (const char* name : {"vector<std::string>", "vector<int>", "OtpTokenInfo",
                           "vector<OtpTokenInfo>", "std::tuple<std::string, std::string>"})
    load_as(sys, name, input, tally);
  EXPECT_EQ(tally.threw, 0u);
  EXPECT_EQ(tally.failed, 5u);
}

// The allocation probe is live: the actor library's loader for raw byte
// vectors (not part of the vocabulary) sizes the vector by the claimed length
// before reading, and the probe refuses that.
TEST_F(HostileInput, ProbeRefusesALoadThatTrustsItsLength) {
  byte_buffer input = huge_length;
  input.insert(input.end(), {'a', 'b', 'c', 'd'});
  std::vector<uint8_t> raw;
  caf::binary_deserializer source{sys, input};
  bool threw = false;
  {
    probe::scope probe;
    try {
      source(raw);
    } catch (const std::bad_alloc&) {
      threw = true;
    }
  }
  EXPECT_TRUE(threw);
  EXPECT_EQ(probe::refused_request(), 0xffffffffu);
}

TEST_F(HostileInput, CorruptedBytesOfValidValues) {
  outcome tally;
  for (const auto& e : vocabulary()) {
    auto valid = valid_bytes(e);
    for (size_t i = 0; i < valid.size(); ++i) {
      for (int replacement : {0x00, 0x7f, 0x80, 0xff}) {
        auto input = valid;
        input[i] = static_cast<char>(replacement);
        load_as(sys, e.name, input, tally);
      }
    }
  }
  EXPECT_EQ(tally.threw, 0u);
  EXPECT_GT(tally.loaded, 0u);
  EXPECT_GT(tally.failed, 0u);
}

// Whole messages: the type names inside come from the wire as well.
TEST_F(HostileInput, TruncatedAndCorruptedMessages) {
  auto msg = caf::make_message(::get_atom{}, std::vector<OtpTokenInfo>{{"GitHub", 30}});
  byte_buffer valid;
  {
    caf::binary_serializer sink{sys, valid};
    ASSERT_FALSE(msg.save(sink));
  }
  size_t threw = 0;
  // True when the bytes loaded as a message.
  auto load_message = [&](const byte_buffer& input) {
    caf::message loaded;
    caf::binary_deserializer source{sys, input};
    probe::scope probe;
    try {
      return !loaded.load(source);
    } catch (const std::exception& ex) {
      ++threw;
      ADD_FAILURE() << "message load threw " << ex.what();
      return false;
    }
  };
  EXPECT_TRUE(load_message(valid));
  for (size_t n = 0; n < valid.size(); ++n)
    EXPECT_FALSE(load_message(byte_buffer(valid.begin(), valid.begin() + n))) << "prefix " << n;
  std::mt19937 gen{7};
  std::uniform_int_distribution<int> byte_dist{0, 255};
  std::uniform_int_distribution<size_t> pos_dist{0, valid.size() - 1};
  size_t largest = 0;
  for (int round = 0; round < 500; ++round) {
    auto input = valid;
    for (int k = 0; k <= round % 3; ++k)
      input[pos_dist(gen)] = static_cast<char>(byte_dist(gen));
    load_message(input);
    largest = std::max(largest, probe::largest_request());
  }
  EXPECT_EQ(threw, 0u);
  EXPECT_LT(largest, probe::allocation_cap);
}
