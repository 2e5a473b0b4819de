// Replays the fuzz seed corpora and every saved fuzz finding through the same
// checks the libFuzzer targets run, in the normal build. Saved findings live
// in fuzz/regressions/<target>/; the seeds in fuzz/corpus/.

#include <algorithm>
#include <cmath>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "caf/actor_system.hpp"
#include "caf/actor_system_config.hpp"
#include "caf/binary_deserializer.hpp"
#include "caf/binary_serializer.hpp"
#include "caf/duration.hpp"
#include "caf/sec.hpp"
#include "caf/message.hpp"
#include "caf/span.hpp"

#include "allocation_probe.h"
#include "bounded_deserializer.h"
#include "library_guards.h"
#include "checks.h"
#include "oath/responses.h"
#include "oath/tlv.h"
#include "sim/key_config.h"
#include "vocabulary.h"

namespace fs = std::filesystem;

namespace {

const fs::path fuzz_dir{FUZZ_DIR};

using bytes = std::vector<uint8_t>;

bytes read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<fs::path> files_in(const fs::path& dir) {
  std::vector<fs::path> result;
  if (fs::is_directory(dir))
    for (const auto& entry : fs::directory_iterator(dir))
      if (entry.is_regular_file())
        result.push_back(entry.path());
  std::sort(result.begin(), result.end());
  return result;
}

caf::span<const caf::byte> rest_of(const bytes& input) {
  return {reinterpret_cast<const caf::byte*>(input.data()) + fuzz_checks::selector_bytes,
          input.size() - fuzz_checks::selector_bytes};
}

const vocabulary_entry& entry_of(const bytes& input) {
  const size_t selector = input[0] | (size_t{input[1]} << 8);
  return vocabulary()[selector % vocabulary().size()];
}

struct registered_config : caf::actor_system_config {
  registered_config() { init_global_meta_objects(*this); }
};

class SeedTest : public ::testing::Test {
protected:
  registered_config cfg;
  caf::actor_system sys{cfg};
};

// One replayed file: which check it goes through and where it lies.
struct replay_case {
  std::string target;
  fs::path path;
};

void PrintTo(const replay_case& x, std::ostream* os) {
  *os << x.target << ": " << x.path.filename().string();
}

std::vector<replay_case> replay_cases() {
  std::vector<replay_case> result;
  const std::pair<const char*, const char*> targets[] = {
    {"fuzz_vocabulary_load", "vocabulary"},
    {"fuzz_sim_config", "sim_config"},
    {"fuzz_oath_responses", "oath_responses"},
    {"fuzz_peer_owner", "peer_owner"}};
  for (const auto& [target, corpus] : targets) {
    for (const auto& dir : {fuzz_dir / "corpus" / corpus, fuzz_dir / "regressions" / target})
      for (const auto& path : files_in(dir))
        result.push_back({target, path});
  }
  return result;
}

std::string case_name(const ::testing::TestParamInfo<replay_case>& info) {
  std::string name = info.param.path.parent_path().parent_path().filename().string() + "_"
                     + info.param.path.parent_path().filename().string() + "_"
                     + info.param.path.filename().string();
  for (auto& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c)))
      c = '_';
  return name;
}

class Replay : public ::testing::TestWithParam<replay_case> {};

} // namespace

TEST_P(Replay, KeepsEveryInvariant) {
  const auto& param = GetParam();
  const auto input = read_file(param.path);
  const auto failure =
    param.target == "fuzz_vocabulary_load" ? fuzz_checks::vocabulary_load(input.data(), input.size())
    : param.target == "fuzz_sim_config"    ? fuzz_checks::sim_config(input.data(), input.size())
    : param.target == "fuzz_peer_owner"    ? fuzz_checks::peer_owner(input.data(), input.size())
                                           : fuzz_checks::oath_responses(input.data(), input.size());
  EXPECT_EQ(failure, "") << param.path;
}

INSTANTIATE_TEST_SUITE_P(Files, Replay, ::testing::ValuesIn(replay_cases()), case_name);

TEST(ReplayFiles, CorporaAreThere) {
  EXPECT_GE(files_in(fuzz_dir / "corpus" / "vocabulary").size(), 40u);
  EXPECT_GE(files_in(fuzz_dir / "corpus" / "sim_config").size(), 10u);
  EXPECT_GE(files_in(fuzz_dir / "corpus" / "oath_responses").size(), 10u);
  EXPECT_GE(files_in(fuzz_dir / "corpus" / "peer_owner").size(), 3u);
  EXPECT_GE(files_in(fuzz_dir / "regressions" / "fuzz_vocabulary_load").size(), 1u);
}

// The seeds stay valid: each value seed loads as its entry and uses all its
// bytes, each message seed loads both with and without the length guard.
TEST_F(SeedTest, VocabularySeedsLoad) {
  size_t values = 0;
  size_t messages = 0;
  for (const auto& path : files_in(fuzz_dir / "corpus" / "vocabulary")) {
    const auto input = read_file(path);
    ASSERT_GE(input.size(), fuzz_checks::selector_bytes) << path;
    const auto name = path.filename().string();
    if (name.rfind("message_", 0) == 0) {
      caf::message plain;
      caf::binary_deserializer plain_source{sys, rest_of(input)};
      EXPECT_FALSE(plain.load(plain_source)) << path;
      EXPECT_EQ(plain_source.remaining(), 0u) << path;
      caf::message guarded;
      fuzz_checks::bounded_deserializer guarded_source{sys, rest_of(input)};
      EXPECT_FALSE(guarded.load(guarded_source)) << path;
      EXPECT_EQ(guarded_source.remaining(), 0u) << path;
      EXPECT_EQ(caf::to_string(guarded), caf::to_string(plain)) << path;
      ++messages;
    } else {
      const auto& e = entry_of(input);
      auto value = sys.types().make_value(e.name);
      ASSERT_NE(value, nullptr) << e.name;
      caf::binary_deserializer source{sys, rest_of(input)};
      EXPECT_FALSE(value->load(source)) << path << " as " << e.name;
      EXPECT_EQ(source.remaining(), 0u) << path << " as " << e.name;
      ++values;
    }
  }
  EXPECT_GE(values, 35u);
  EXPECT_GE(messages, 3u);
}

// Config seeds named bad-* are refused, all others accepted.
TEST(SimConfigSeeds, AcceptedUnlessNamedBad) {
  size_t bad = 0;
  for (const auto& path : files_in(fuzz_dir / "corpus" / "sim_config")) {
    const auto input = read_file(path);
    const auto result = sim::parse_config(std::string(input.begin(), input.end()));
    if (path.filename().string().rfind("bad-", 0) == 0) {
      EXPECT_FALSE(result) << path;
      ++bad;
    } else {
      EXPECT_TRUE(result) << path << ": " << result.error;
    }
  }
  EXPECT_GE(bad, 3u);
}

// Finding of fuzz_vocabulary_load: a 26-byte message naming the library's
// built-in "@charbuf" with a length of 0xffffffff. The library's own loader
// asks for the whole claimed length before reading; the guard refuses it.
TEST_F(SeedTest, ClaimedByteVectorLengthIsRefusedByTheGuard) {
  const auto input =
    read_file(fuzz_dir / "regressions" / "fuzz_vocabulary_load"
              / "oom-message-charbuf-claims-4GiB");
  ASSERT_EQ(input.size(), 26u);
  {
    caf::message msg;
    fuzz_checks::bounded_deserializer source{sys, rest_of(input)};
    caf::error err;
    {
      probe::scope probe;
      err = msg.load(source);
    }
    EXPECT_TRUE(err);
    EXPECT_LT(probe::largest_request(), probe::allocation_cap);
  }
  {
    caf::message msg;
    caf::binary_deserializer source{sys, rest_of(input)};
    bool refused = false;
    {
      probe::scope probe;
      try {
        static_cast<void>(msg.load(source));
      } catch (const std::bad_alloc&) {
        refused = true;
      }
    }
    // Fails once the library checks the length itself; the guard can then go.
    EXPECT_TRUE(refused);
    EXPECT_EQ(probe::largest_request(), 0xffffffffu);
  }
}

namespace {

caf::message load_guarded(caf::actor_system& sys, const bytes& input) {
  caf::message msg;
  fuzz_checks::bounded_deserializer source{sys, rest_of(input)};
  EXPECT_FALSE(source.apply(msg));
  return msg;
}

} // namespace

// Finding of fuzz_vocabulary_load: a message holding the library's built-in
// duration with a time unit of 0x10000000 loads, and printing it (as the
// default handler for unexpected messages does) reads out of bounds.
TEST_F(SeedTest, DurationWithUnknownUnitIsNotPrinted) {
  const auto dir = fuzz_dir / "regressions" / "fuzz_vocabulary_load";
  for (const char* name : {"crash-message-duration-bad-unit",
                           "crash-a321ffbffc39a48f029fa75664f28e3b60ad5b9e"}) {
    auto msg = load_guarded(sys, read_file(dir / name));
    EXPECT_FALSE(msg.empty()) << name;
    EXPECT_FALSE(fuzz_checks::safe_to_print(msg)) << name;
  }
  const caf::duration bad{static_cast<caf::time_unit>(0x10000000), 1};
  EXPECT_FALSE(fuzz_checks::safe_to_print(caf::make_message(1, caf::make_message(bad))));
  EXPECT_FALSE(fuzz_checks::safe_to_print(
    caf::make_message(caf::make_error(caf::sec::runtime_error, bad))));
  const caf::duration good{caf::time_unit::seconds, 1};
  const auto fine = caf::make_message(good, caf::make_message(good));
  ASSERT_TRUE(fuzz_checks::safe_to_print(fine));
  EXPECT_EQ(caf::to_string(fine), "(1s, (1s))");
}

// Finding of fuzz_vocabulary_load: a double whose exponent bits are all ones
// loads as infinity, and saving an infinity never finishes.
TEST_F(SeedTest, InfiniteDoubleIsNotSaved) {
  auto msg = load_guarded(
    sys, read_file(fuzz_dir / "regressions" / "fuzz_vocabulary_load"
                   / "timeout-8297df451fd2cd5bd9d27601fa22233cdb08531e"));
  ASSERT_TRUE(msg.match_element<double>(0));
  EXPECT_TRUE(std::isinf(msg.get_as<double>(0)));
  EXPECT_FALSE(fuzz_checks::safe_to_save(msg));
  const auto inf = std::numeric_limits<double>::infinity();
  EXPECT_FALSE(fuzz_checks::safe_to_save(caf::make_message(-inf)));
  EXPECT_FALSE(fuzz_checks::safe_to_save(caf::make_message(std::numeric_limits<float>::infinity())));
  EXPECT_FALSE(fuzz_checks::safe_to_save(
    caf::make_message(caf::make_error(caf::sec::runtime_error, inf))));
  const auto fine = caf::make_message(1.5, 2.5f, caf::make_message(-0.25));
  ASSERT_TRUE(fuzz_checks::safe_to_save(fine));
  std::vector<char> buf;
  caf::binary_serializer sink{sys, buf};
  EXPECT_FALSE(fine.save(sink));
  EXPECT_FALSE(buf.empty());
}

// The answer seeds are answers the parsers accept, so that the fuzzer starts
// from the paths where values come out.
TEST(OathResponseSeeds, ParseAsTheAnswersTheyAre) {
  size_t parsed = 0;
  for (const auto& path : files_in(fuzz_dir / "corpus" / "oath_responses")) {
    const auto input = read_file(path);
    ASSERT_FALSE(input.empty()) << path;
    const oath::ByteView body = oath::ByteView(input).sub(1);
    bool ok = true;
    switch (input[0] % 7) {
      case 0: ok = static_cast<bool>(oath::parse_tlvs(body)); break;
      case 1: ok = static_cast<bool>(oath::parse_select(body)); break;
      case 2: ok = static_cast<bool>(oath::parse_list(body)); break;
      case 3: ok = static_cast<bool>(oath::parse_calculate(body)); break;
      case 4: ok = static_cast<bool>(oath::parse_calculate_all(body)); break;
      case 5: ok = static_cast<bool>(oath::parse_validate(body)); break;
      default: continue;
    }
    EXPECT_TRUE(ok) << path;
    ++parsed;
  }
  EXPECT_GE(parsed, 7u);
}
