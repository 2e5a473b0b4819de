// The protocol's pure functions: TLV, commands, answers, names and keys.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include "hex.h"
#include "oath/apdu.h"
#include "oath/names.h"
#include "oath/responses.h"
#include "oath/secret.h"
#include "oath/tlv.h"

namespace oath {
namespace {

// ---- TLV -------------------------------------------------------------------

TEST(Tlv, LengthsTakeTheirShortestBerForm) {
  const struct {
    size_t size;
    const char* head;
  } rows[] = {{0, "71 00"},      {1, "71 01"},      {0x7F, "71 7F"},
              {0x80, "71 81 80"}, {0xFF, "71 81 FF"}, {0x100, "71 82 01 00"},
              {0xFFFF, "71 82 FF FF"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.size);
    const Bytes value(row.size, 0x5A);
    const Bytes encoded = tlv(tag::name, value);
    const Bytes head = unhex(row.head);
    ASSERT_EQ(encoded.size(), head.size() + row.size);
    EXPECT_EQ(hex(ByteView(encoded).sub(0, head.size())), hex(head));
    auto parsed = parse_tlvs(encoded);
    ASSERT_TRUE(parsed) << describe(parsed.failure());
    ASSERT_EQ(parsed->size(), 1u);
    EXPECT_EQ((*parsed)[0].tag, tag::name);
    EXPECT_EQ((*parsed)[0].value, ByteView(value));
  }
  EXPECT_THROW(tlv(tag::name, Bytes(0x10000)), std::length_error);
}

TEST(Tlv, ParsesSeveralRecordsAndLongFormsOfShortLengths) {
  // The records view into the bytes they came from.
  const Bytes input = unhex("79 03 05 04 03  71 81 02 AA BB  74 00  72 82 00 01 20");
  auto parsed = parse_tlvs(input);
  ASSERT_TRUE(parsed) << describe(parsed.failure());
  ASSERT_EQ(parsed->size(), 4u);
  EXPECT_EQ(hex((*parsed)[0].value), "05 04 03");
  EXPECT_EQ(hex((*parsed)[1].value), "AA BB");
  EXPECT_TRUE((*parsed)[2].value.empty());
  EXPECT_EQ((*parsed)[3].tag, 0x72);
  EXPECT_EQ(hex((*parsed)[3].value), "20");
  auto empty = parse_tlvs({});
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
}

TEST(Tlv, BrokenRecordsAreMalformed) {
  for (const char* input : {"71",             // no length
                            "71 05 01 02",    // length past the end
                            "71 80",          // indefinite form
                            "71 83 00 00 01", // three length bytes
                            "71 81",          // long form cut short
                            "71 82 01",       // long form cut short
                            "71 81 03 01 02", // long form past the end
                            "71 01 AA 72"}) { // second record without a length
    SCOPED_TRACE(input);
    auto parsed = parse_tlvs(unhex(input));
    ASSERT_FALSE(parsed);
    EXPECT_EQ(parsed.failure().fault, Fault::malformed);
  }
}

// ---- Commands ----------------------------------------------------------------

TEST(Commands, AreEncodedAsClientsSendThem) {
  const Bytes challenge = unhex("00 00 00 00 03 1E 3A 4B");
  EXPECT_EQ(hex(select_command()), "00 A4 04 00 07 A0 00 00 05 27 21 01");
  EXPECT_EQ(hex(list_command()), "00 A1 00 00 00");
  EXPECT_EQ(hex(send_remaining_command()), "00 A5 00 00 00");
  EXPECT_EQ(hex(calculate_command(view_of("60/a"), challenge)),
            "00 A2 00 01 10 71 04 36 30 2F 61 74 08 00 00 00 00 03 1E 3A 4B");
  EXPECT_EQ(hex(calculate_command(view_of("a"), challenge, false)),
            "00 A2 00 00 0D 71 01 61 74 08 00 00 00 00 03 1E 3A 4B");
  EXPECT_EQ(hex(calculate_all_command(challenge)),
            "00 A4 00 01 0A 74 08 00 00 00 00 03 1E 3A 4B");
  const Bytes response(20, 0x11);
  EXPECT_EQ(hex(validate_command(response, challenge)),
            "00 A3 00 00 20 75 14 " + hex(response) + " 74 08 00 00 00 00 03 1E 3A 4B");
  const Bytes key(16, 0x22);
  EXPECT_EQ(hex(set_code_command(key, challenge, response)),
            "00 03 00 00 33 73 11 21 " + hex(key) + " 74 08 00 00 00 00 03 1E 3A 4B 75 14 "
              + hex(response));
  EXPECT_EQ(command(0xA1, 0, 0, Bytes(255)).size(), 260u);
  EXPECT_THROW(command(0xA1, 0, 0, Bytes(256)), std::length_error);
}

TEST(Commands, TimeChallengeIsTheStepBigEndian) {
  EXPECT_EQ(hex(time_challenge(59, 30)), "00 00 00 00 00 00 00 01");
  EXPECT_EQ(hex(time_challenge(1111111109, 30)), "00 00 00 00 02 35 23 EC");
  EXPECT_EQ(hex(time_challenge(1111111109, 60)), "00 00 00 00 01 1A 91 F6");
  EXPECT_EQ(hex(time_challenge(20000000000, 30)), "00 00 00 00 27 BC 86 AA");
  EXPECT_EQ(hex(time_challenge(UINT64_MAX, 1)), "FF FF FF FF FF FF FF FF");
  EXPECT_THROW(time_challenge(1, 0), std::invalid_argument);
}

// ---- Answers -----------------------------------------------------------------

TEST(Answers, SelectShowsVersionSaltAndPassword) {
  auto open = parse_select(unhex("79 03 05 04 03 71 08 01 02 03 04 05 06 07 08"));
  ASSERT_TRUE(open) << describe(open.failure());
  EXPECT_EQ(open->version[0], 5);
  EXPECT_EQ(open->version[2], 3);
  EXPECT_EQ(hex(open->salt), "01 02 03 04 05 06 07 08");
  EXPECT_FALSE(open->has_password());

  auto locked = parse_select(
    unhex("79 03 05 04 03 71 08 01 02 03 04 05 06 07 08 74 08 A1 A2 A3 A4 A5 A6 A7 A8 7B 01 01"
          " 8F 02 00 00"));
  ASSERT_TRUE(locked) << describe(locked.failure());
  ASSERT_TRUE(locked->has_password());
  EXPECT_EQ(hex(*locked->challenge), "A1 A2 A3 A4 A5 A6 A7 A8");
  EXPECT_EQ(locked->algorithm, 0x01);

  for (const char* bad : {"71 08 01 02 03 04 05 06 07 08",             // no version
                          "79 03 05 04 03",                            // no salt
                          "79 02 05 04 71 01 01",                      // short version
                          "79 03 05 04 03 71 00",                      // empty salt
                          "79 03 05 04 03 71 01 01 74 00",             // empty challenge
                          "79 03 05 04 03 71 01 01 7B 00",             // empty algorithm
                          "79 03 05 04 03 71 02 01"}) {                // truncated
    SCOPED_TRACE(bad);
    auto parsed = parse_select(unhex(bad));
    ASSERT_FALSE(parsed);
    EXPECT_EQ(parsed.failure().fault, Fault::malformed);
  }
}

TEST(Answers, ListGivesTypesAndNamesInOrder) {
  auto list = parse_list(unhex("72 04 21 61 62 63  72 03 11 68 6F  72 06 22 36 30 2F 78 79"));
  ASSERT_TRUE(list) << describe(list.failure());
  ASSERT_EQ(list->size(), 3u);
  EXPECT_EQ((*list)[0].name, "abc");
  EXPECT_TRUE((*list)[0].is_totp());
  EXPECT_EQ((*list)[0].algorithm, 1);
  EXPECT_EQ((*list)[1].name, "ho");
  EXPECT_FALSE((*list)[1].is_totp());
  EXPECT_EQ((*list)[2].name, "60/xy");
  EXPECT_EQ((*list)[2].algorithm, 2);

  Bytes longest{0x72, 65, 0x21};
  longest.insert(longest.end(), 64, 'n');
  EXPECT_TRUE(parse_list(longest));
  Bytes too_long{0x72, 66, 0x21};
  too_long.insert(too_long.end(), 65, 'n');
  for (const Bytes& bad : {unhex("71 02 21 61"),            // not a list entry
                           unhex("72 01 21"),               // no name
                           unhex("72 02 21 61 72 02 21 61"), // one name twice
                           too_long, unhex("72 05 21 61")}) {
    SCOPED_TRACE(hex(bad));
    auto parsed = parse_list(bad);
    ASSERT_FALSE(parsed);
    EXPECT_EQ(parsed.failure().fault, Fault::malformed);
  }
}

TEST(Answers, TruncatedCodesKeepLeadingZerosAndDropTheTopBit) {
  const struct {
    const char* value;
    const char* code;
  } rows[] = {
    {"06 00 00 00 00", "000000"},      {"06 00 00 00 2A", "000042"},
    {"06 80 00 00 2A", "000042"},      {"06 7F FF FF FF", "483647"},
    {"07 FF FF FF FF", "7483647"},     {"08 00 01 E2 40", "00123456"},
    {"08 4C 8A 34 0A", "84125706"},   // 0x4C8A340A = 1284125706
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.value);
    auto code = code_of_truncated(unhex(row.value));
    ASSERT_TRUE(code) << describe(code.failure());
    EXPECT_EQ(*code, row.code);
  }
  for (const char* bad : {"05 00 00 00 01", "09 00 00 00 01", "00 00 00 00 01", "06 00 00 01",
                          "06 00 00 00 00 01"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(code_of_truncated(unhex(bad)));
  }
  auto one = parse_calculate(unhex("76 05 06 00 00 00 2A"));
  ASSERT_TRUE(one);
  EXPECT_EQ(*one, "000042");
  for (const char* bad : {"75 05 06 00 00 00 2A", "76 05 06 00 00 00 2A 76 05 06 00 00 00 2A",
                          "", "76 04 06 00 00 00"})
    EXPECT_FALSE(parse_calculate(unhex(bad))) << bad;
}

TEST(Answers, CalculateAllPairsNamesWithCodesHotpAndTouch) {
  auto all = parse_calculate_all(
    unhex("71 01 61 76 05 06 00 00 00 07  71 01 68 77 01 06  71 02 74 74 7C 01 08"));
  ASSERT_TRUE(all) << describe(all.failure());
  ASSERT_EQ(all->size(), 3u);
  EXPECT_EQ((*all)[0].name, "a");
  EXPECT_EQ((*all)[0].kind, CalculatedEntry::Kind::code);
  EXPECT_EQ((*all)[0].code, "000007");
  EXPECT_EQ((*all)[1].kind, CalculatedEntry::Kind::hotp);
  EXPECT_EQ((*all)[2].name, "tt");
  EXPECT_EQ((*all)[2].kind, CalculatedEntry::Kind::touch);
  for (const char* bad : {"71 01 61",                         // name without code
                          "76 05 06 00 00 00 07 71 01 61",    // code before name
                          "71 01 61 75 05 06 00 00 00 07",    // full answer
                          "71 00 7C 01 06",                   // empty name
                          "71 01 61 76 05 04 00 00 00 07"}) { // 4 digits
    SCOPED_TRACE(bad);
    auto parsed = parse_calculate_all(unhex(bad));
    ASSERT_FALSE(parsed);
    EXPECT_EQ(parsed.failure().fault, Fault::malformed);
  }
}

// ---- Names -------------------------------------------------------------------

TEST(Names, OnlyAPositiveNumberBeforeASlashIsAPeriod) {
  const struct {
    const char* name;
    uint32_t period;
    size_t length;
  } rows[] = {
    {"60/Example:alice", 60, 3}, {"15/x", 15, 3},        {"060/x", 60, 4},
    {"30/x", 30, 3},             {"4294967295/x", 4294967295u, 11},
    {"Example:alice", 30, 0},    {"0/x", 30, 0},          {"00/x", 30, 0},
    {"4294967296/x", 30, 0},     {"99999999999999999999/x", 30, 0},
    {"x/60", 30, 0},             {"/x", 30, 0},           {"60", 30, 0},
    {"60/", 30, 0},              {"-60/x", 30, 0},        {"6 0/x", 30, 0},
    {"", 30, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto prefix = period_prefix(row.name);
    EXPECT_EQ(prefix.period, row.period);
    EXPECT_EQ(prefix.length, row.length);
  }
}

std::vector<Credential> totp(std::initializer_list<const char*> names) {
  std::vector<Credential> out;
  for (const char* name : names)
    out.push_back({0x20, 0x01, name});
  return out;
}

std::string shown(const std::vector<ListedToken>& tokens) {
  std::string out;
  for (const auto& token : tokens)
    out += (out.empty() ? "" : " | ") + token.shown + "@" + std::to_string(token.period) + "="
           + token.credential;
  return out;
}

TEST(Names, TokenListStripsPrefixesUnlessNamesWouldClash) {
  EXPECT_EQ(shown(listed_tokens(totp({"60/Bank:carol", "Mail:bob", "0/zero", "15/fast"}))),
            "Bank:carol@60=60/Bank:carol | Mail:bob@30=Mail:bob | 0/zero@30=0/zero | "
            "fast@15=15/fast");
  // A stripped name equal to another name: the prefixed one keeps its prefix.
  EXPECT_EQ(shown(listed_tokens(totp({"x", "60/x"}))), "x@30=x | 60/x@60=60/x");
  // Two stripped names equal: both keep their prefix.
  EXPECT_EQ(shown(listed_tokens(totp({"60/x", "90/x", "y"}))),
            "60/x@60=60/x | 90/x@90=90/x | y@30=y");
  // "30/x" shown as "x" would clash too.
  EXPECT_EQ(shown(listed_tokens(totp({"30/x", "x"}))), "30/x@30=30/x | x@30=x");
  // A name kept whole can clash with another stripped one in turn.
  EXPECT_EQ(shown(listed_tokens(totp({"60/x", "x", "30/60/x"}))),
            "60/x@60=60/x | x@30=x | 30/60/x@30=30/60/x");
  // No clash: a credential literally named like another's stripped form.
  EXPECT_EQ(shown(listed_tokens(totp({"60/60/x", "60/x"}))),
            "60/x@60=60/60/x | x@60=60/x");
}

TEST(Names, HotpCredentialsAreNotListedAndNeverClash) {
  std::vector<Credential> credentials = {
    {0x10, 0x01, "counter"}, {0x20, 0x01, "60/counter"}, {0x20, 0x02, "b"}, {0x30, 0x01, "c"}};
  const auto tokens = listed_tokens(credentials);
  EXPECT_EQ(shown(tokens), "counter@60=60/counter | b@30=b");
  ASSERT_NE(find_token(tokens, "counter"), nullptr);
  EXPECT_EQ(find_token(tokens, "counter")->credential, "60/counter");
  EXPECT_EQ(find_token(tokens, "60/counter"), nullptr);
  EXPECT_EQ(find_token(tokens, "c"), nullptr);
}

// ---- Keys --------------------------------------------------------------------

// PBKDF2-HMAC-SHA1 with 1000 rounds and 16 bytes, as Python's hashlib computes it.
std::string hashlib_key(const std::string& pin_hex, const std::string& salt_hex) {
  const std::string command =
    "/usr/bin/python3 -c 'import hashlib,sys; print(hashlib.pbkdf2_hmac(\"sha1\", "
    "bytes.fromhex(sys.argv[1]), bytes.fromhex(sys.argv[2]), 1000, 16).hex())' '"
    + pin_hex + "' '" + salt_hex + "'";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe)
    return "no python";
  char buf[128] = {};
  if (!fgets(buf, sizeof buf, pipe.get()))
    return "no output";
  std::string out = buf;
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
    out.pop_back();
  return out;
}

std::string lower_hex(ByteView bytes) {
  std::string out;
  for (char c : hex(bytes))
    if (c != ' ')
      out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

TEST(Keys, DerivedKeyMatchesHashlibAt1000Rounds) {
  const struct {
    std::string pin;
    std::string salt_hex;
  } rows[] = {
    {"password", "0102030405060708"},
    {"", "0102030405060708"},
    {"123456", "a1b2c3d4e5f60718"},
    {"p\xC3\xA4ss w\xC3\xB6rd \xE2\x82\xAC", "ffffffffffffffff"},
    {std::string(100, 'x'), "00"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.pin);
    const auto key = derive_key(row.pin, unhex(row.salt_hex));
    ASSERT_EQ(key.view().size(), 16u);
    EXPECT_EQ(lower_hex(key.view()), hashlib_key(lower_hex(view_of(row.pin)), row.salt_hex));
  }
  // The same PIN under another salt is another key.
  EXPECT_NE(derive_key("password", unhex("0102030405060708")).view(),
            derive_key("password", unhex("0102030405060709")).view());
}

TEST(Keys, AnswerChecksOutOnlyForTheKeysOwnHmac) {
  const Secret key{unhex("000102030405060708090A0B0C0D0E0F")};
  const Bytes challenge = unhex("0102030405060708");
  const Bytes good = hmac_sha1(key.view(), challenge);
  ASSERT_EQ(good.size(), 20u);
  EXPECT_TRUE(answer_checks_out(key, challenge, good));
  Bytes flipped = good;
  flipped[19] ^= 1;
  EXPECT_FALSE(answer_checks_out(key, challenge, flipped));
  EXPECT_FALSE(answer_checks_out(key, challenge, ByteView(good).sub(0, 19)));
  EXPECT_FALSE(answer_checks_out(key, challenge, {}));
  EXPECT_FALSE(answer_checks_out(Secret{unhex("00")}, challenge, good));
  // RFC 2202 test case 2.
  EXPECT_EQ(hex(hmac_sha1(view_of("Jefe"), view_of("what do ya want for nothing?"))),
            "EF FC DF 6A E5 EB 2F A2 D2 74 16 D5 F1 84 DF 9C 25 9A 7C 79");
}

std::vector<std::string>* wiped_texts = nullptr;

TEST(Keys, SecretsAreWipedWhenReleasedAndEmptyOnceMoved) {
  Secret a{unhex("01 02 03")};
  Secret b = std::move(a);
  EXPECT_TRUE(a.empty());
  EXPECT_EQ(hex(b.view()), "01 02 03");
  b.wipe();
  EXPECT_TRUE(b.empty());

  std::vector<std::string> wiped;
  wiped_texts = &wiped;
  crypto::set_wipe_observer([](const char* data, size_t size) {
    wiped_texts->emplace_back(data, size);
  });
  {
    SecretText pin{"1234"};
    SecretText moved = std::move(pin);
    EXPECT_TRUE(pin.empty());
    EXPECT_EQ(moved.text(), "1234");
    SecretText copy = moved;
    EXPECT_EQ(copy.text(), "1234");
  }
  crypto::set_wipe_observer(nullptr);
  // The copy and the text moved into: both wiped when they went.
  EXPECT_EQ(std::count(wiped.begin(), wiped.end(), "1234"), 2);
}

} // namespace
} // namespace oath
