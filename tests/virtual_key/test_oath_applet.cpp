// The applet against byte sequences. Commands marked "yubikit" are the bytes
// yubikit 4.0.9's OathSession sent to the key (recorded with --trace).

#include "virtual_key/key_config.h"
#include "virtual_key/oath_applet.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "hex.h"

namespace virtual_key {
namespace {

using std::chrono::milliseconds;

const std::string kSelect = "00a4040007a0000005272101";
const std::string kList = "00a1000000";  // yubikit
const std::string kSendRemaining = "00a5000000";

// An applet from a JSON config, with a recording touch wait and a random
// source that repeats `random` (01 02 03 ... unless set).
struct Key {
  explicit Key(const std::string& json) {
    auto parsed = parse_key_config(json);
    EXPECT_TRUE(parsed) << parsed.error;
    config = std::move(*parsed.config);
    make();
  }
  void make() {
    AppletSeams seams{[this](milliseconds d) {
                        waits.push_back(d);
                        return wait_result;
                      },
                      [this](uint8_t* out, size_t size) {
                        for (size_t i = 0; i < size; ++i)
                          out[i] = random[i % random.size()];
                      }};
    applet = std::make_unique<OathApplet>(config.state, config.options, std::move(seams));
  }
  // The response in hex, "none" when the applet answers nothing.
  std::string send(const std::string& apdu) {
    auto answer = applet->process(hex(apdu));
    return answer ? hex_of(*answer) : "none";
  }
  KeyConfig config;
  Bytes random = hex("0102030405060708");
  std::vector<milliseconds> waits;
  bool wait_result = true;
  std::unique_ptr<OathApplet> applet;
};

// "7605" digits, 4 bytes, "9000" -> the code as the host formats it.
std::string code_of(const std::string& response) {
  const Bytes bytes = hex(response);
  if (bytes.size() != 9 || bytes[0] != 0x76 || bytes[1] != 5 || status_of(bytes) != sw::ok)
    return "not a truncated response: " + response;
  uint32_t value = uint32_t{bytes[3]} << 24 | uint32_t{bytes[4]} << 16 | bytes[5] << 8 | bytes[6];
  value &= 0x7FFFFFFF;
  std::string text = std::to_string(value);
  const size_t digits = bytes[2];
  text = text.size() > digits ? text.substr(text.size() - digits) : text;
  return std::string(digits - text.size(), '0') + text;
}

// CALCULATE of `name` with `challenge` (hex), P2 01 (truncated) or 00 (full).
std::string calculate(const std::string& name, const std::string& challenge, bool truncated = true) {
  Bytes data;
  append_tlv(data, tag::name, Bytes(name.begin(), name.end()));
  append_tlv(data, tag::challenge, hex(challenge));
  Bytes apdu{0x00, 0xA2, 0x00, static_cast<uint8_t>(truncated ? 1 : 0),
             static_cast<uint8_t>(data.size())};
  apdu.insert(apdu.end(), data.begin(), data.end());
  return hex_of(apdu);
}

const char* kRfcKey = R"({"salt": "0000000000000001", "credentials": [
  {"name": "sha1", "secret": "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ", "digits": 8},
  {"name": "sha256", "secret": "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZA",
   "algorithm": "SHA256", "digits": 8},
  {"name": "sha512", "algorithm": "SHA512", "digits": 8, "secret":
   "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNA"},
  {"name": "60/x", "type": "hotp", "secret": "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ", "counter": 7},
  {"name": "Bank:carol", "secret": "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ", "period": 60, "touch": true}
]})";

TEST(OathApplet, SelectAnswersVersionSaltAndOnlyWithAPasswordAChallenge) {
  Key plain(R"({"salt": "0102030405060708", "version": "4.3.7"})");
  EXPECT_EQ(plain.send(kList), "6d00") << "not selected yet";
  EXPECT_EQ(plain.send(kSelect), "790304030771080102030405060708" "9000");
  EXPECT_EQ(plain.send(kList), "9000");
  EXPECT_EQ(plain.send("00a4040007a0000003080000"), "6a82") << "another applet";
  EXPECT_EQ(plain.send(kList), "6d00") << "selecting another applet deselects this one";

  Key locked(R"({"salt": "0000000000000001", "password": "open sesame"})");
  locked.random = hex("5ae3cdef8e675fe5");
  EXPECT_EQ(locked.send(kSelect),
            "79030504037108000000000000000174085ae3cdef8e675fe57b0101" "9000");
}

TEST(OathApplet, ListsTypeAlgorithmAndTheStoredName) {
  Key key(kRfcKey);
  key.send(kSelect);
  EXPECT_EQ(key.send(kList),
            "7205" "21" "73686131"                      // TOTP SHA-1 "sha1"
            "7207" "22" "736861323536"                  // TOTP SHA-256
            "7207" "23" "736861353132"                  // TOTP SHA-512
            "7205" "11" "36302f78"                      // HOTP "60/x"
            "720e" "21" "36302f42616e6b3a6361726f6c"    // "60/Bank:carol"
            "9000");
}

TEST(OathApplet, CalculateGivesTheCodesOfRfc6238) {
  Key key(kRfcKey);
  key.send(kSelect);
  // yubikit's challenge for 1111111109 and a period of 30 s.
  const std::string step = "00000000023523ec";
  EXPECT_EQ(code_of(key.send(calculate("sha1", step))), "07081804");
  EXPECT_EQ(code_of(key.send(calculate("sha256", step))), "68084774");
  EXPECT_EQ(code_of(key.send(calculate("sha512", step))), "25091201");
  // Full response: digits, then the whole HMAC (RFC 4226's HMAC of counter 1).
  EXPECT_EQ(key.send(calculate("sha1", "0000000000000001", false)),
            "7515" "08" "75a48a19d4cbe100644e8ac1397eea747a2d33ab" "9000");
  EXPECT_EQ(key.send(calculate("nobody", step)), "6984");
  EXPECT_EQ(key.send("00a2000209710473686131740100"), "6b00") << "P2 2";
  EXPECT_EQ(key.send("00a20001087104736861317405"), "6a80") << "TLV runs past the end";
  EXPECT_EQ(key.send("00a2000106710473686131"), "6a80") << "no challenge";
}

TEST(OathApplet, HotpCountsOnFromItsFirstCounter) {
  Key key(kRfcKey);
  key.send(kSelect);
  // RFC 4226 appendix D, counters 7 and 8; the challenge is ignored.
  EXPECT_EQ(code_of(key.send(calculate("60/x", ""))), "162583");
  EXPECT_EQ(key.send(calculate("60/x", "")), "7605062823443f9000");
  // CALCULATE ALL computes no HOTP code, so it does not count.
  key.send("00a400010a74080000000000000001");
  EXPECT_EQ(code_of(key.send(calculate("60/x", "ffffffffffffffff"))), "520489");
  EXPECT_EQ(key.applet->state().credentials[3].counter, 10u);
}

TEST(OathApplet, CalculateAllUsesTheOneChallengeAndMarksHotpAndTouch) {
  Key key(kRfcKey);
  key.send(kSelect);
  const Bytes all = hex(key.send("00a400010a7408" "00000000023523ec"));  // yubikit
  ASSERT_EQ(status_of(all), sw::ok);
  const auto tlvs = parse_tlvs(all.data(), all.size() - 2);
  ASSERT_TRUE(tlvs);
  std::vector<std::string> seen;
  for (size_t i = 0; i + 1 < tlvs->size(); i += 2) {
    const auto& [name_tag, name] = (*tlvs)[i];
    const auto& [answer_tag, answer] = (*tlvs)[i + 1];
    EXPECT_EQ(name_tag, tag::name);
    std::string entry(name.begin(), name.end());
    if (answer_tag == tag::truncated)
      entry += " " + code_of(hex_of(Bytes{tag::truncated, 5}) + hex_of(answer) + "9000");
    else
      entry += " tag " + hex_of({answer_tag}) + " " + hex_of(answer);
    seen.push_back(entry);
  }
  // The 60-s credential is computed with the 30-s challenge too: clients
  // recompute it. HOTP and touch credentials get no code, only their digits.
  EXPECT_EQ(seen, (std::vector<std::string>{"sha1 07081804", "sha256 68084774", "sha512 25091201",
                                            "60/x tag 77 06", "60/Bank:carol tag 7c 06"}))
      << hex_of(all);
  EXPECT_TRUE(key.waits.empty()) << "CALCULATE ALL never waits for a touch";
  // P2 00: full responses.
  const std::string full = key.send("00a400000a7408" "0000000000000001");
  EXPECT_EQ(full.substr(0, 58), "710473686131" "7515" "08" "75a48a19d4cbe100644e8ac1397eea747a2d33ab");
  EXPECT_EQ(key.send("00a40002027400"), "6b00");
  EXPECT_EQ(key.send("00a4000100"), "6a80") << "no challenge";
}


TEST(OathApplet, LongAnswersComeInChunksUntilAnotherCommand) {
  std::string json = R"({"salt": "0000000000000001", "max_response": 100, "credentials": [)";
  for (int i = 0; i < 40; ++i)
    json += std::string(i ? "," : "") + R"({"name": "Service )" + std::to_string(100 + i)
            + R"(:someone@example.com", "secret": "GEZDGNBVGY3TQOJQ"})";
  Key key(json + "]}");
  key.send(kSelect);
  // 40 entries of 2 + 1 + 31 bytes: 1360 bytes.
  std::string first = key.send(kList);
  Bytes whole = hex(first);
  std::vector<std::string> statuses;
  while (status_of(whole) >> 8 == 0x61) {
    statuses.push_back(hex_of(Bytes(whole.end() - 2, whole.end())));
    EXPECT_EQ(whole.size() % 100, 2u) << "each chunk has max_response bytes";
    whole.resize(whole.size() - 2);
    const Bytes next = hex(key.send(kSendRemaining));  // yubikit's SEND REMAINING
    whole.insert(whole.end(), next.begin(), next.end());
  }
  EXPECT_EQ(whole.size(), 1360u + 2);
  EXPECT_EQ(status_of(whole), sw::ok);
  // The byte after 61 counts what is left, 00 for 256 bytes or more.
  ASSERT_EQ(statuses.size(), 13u);
  EXPECT_EQ(statuses[0], "6100");
  EXPECT_EQ(statuses[10], "6100") << "260 bytes left";
  EXPECT_EQ(statuses[11], "61a0");
  EXPECT_EQ(statuses[12], "613c");
  const auto tlvs = parse_tlvs(whole.data(), whole.size() - 2);
  ASSERT_TRUE(tlvs);
  EXPECT_EQ(tlvs->size(), 40u);

  key.send(kList);
  EXPECT_EQ(key.send("00a400010a74080000000000000001").substr(200, 4), "6100");
  EXPECT_EQ(key.send(kList).substr(200, 4), "6100") << "a new command starts over";
  key.send(calculate("Service 100:someone@example.com", "00"));
  EXPECT_EQ(key.send(kSendRemaining), "6985") << "the rest of the LIST was dropped";
}

TEST(OathApplet, APasswordLocksTheKeyUntilValidate) {
  Key key(R"({"salt": "0000000000000001", "password": "open sesame",
              "credentials": [{"name": "a", "secret": "GEZDGNBVGY3TQOJQ"}]})");
  key.random = hex("5ae3cdef8e675fe5");
  // yubikit's VALIDATE for the challenge 5ae3...: HMAC(key, challenge), host challenge.
  const std::string validate =
      "00a3000020" "75149de822d4f05f54202e706beec7b6430135251a01" "7408b28a90273ede2bee";
  const std::string wrong =
      "00a3000020" "75149de822d4f05f54202e706beec7b6430135251a02" "7408b28a90273ede2bee";
  key.send(kSelect);
  for (const std::string& apdu : {kList, calculate("a", "00"), std::string("00a400010a74080000000000000001"),
                                  std::string("0002000003710161"), std::string("00030000027300")})
    EXPECT_EQ(key.send(apdu), "6982") << apdu;
  EXPECT_EQ(key.send(wrong), "6a80");
  EXPECT_EQ(key.send(validate), "6a80") << "the challenge is good for one VALIDATE";
  key.send(kSelect);
  EXPECT_EQ(key.send(validate), "75147e532f163f0e520f64f1c1f1f28aad92340901cd" "9000");
  EXPECT_EQ(key.send(kList), "7202" "2161" "9000");
  key.send(kSelect);
  EXPECT_EQ(key.send(kList), "6982") << "SELECT forgets the validation";
  key.send(kSelect);
  key.send(validate);
  key.applet->power_off();
  key.send(kSelect);
  EXPECT_EQ(key.send(kList), "6982") << "so does a power cycle";
  EXPECT_EQ(key.send("0004dead00"), "9000") << "RESET needs no password";  // yubikit
  EXPECT_EQ(key.send(kList), "9000");
  EXPECT_FALSE(key.applet->state().access);

  Key open(R"({"salt": "0000000000000001"})");
  open.send(kSelect);
  EXPECT_EQ(open.send(validate), "6984") << "no password to validate";
}

TEST(OathApplet, SetCodeSetsChangesAndRemovesThePassword) {
  Key key(R"({"salt": "0000000000000001"})");
  key.random = hex("5ae3cdef8e675fe5");
  // yubikit's SET CODE for "open sesame" over this salt.
  const std::string set = "0003000033" "7311215cda2001781fa4fe4691f9507af244b5"
                          "740809f2302a43bd4d7e75" "14757ea7780139cdebff20eb42c720a593badaa1c0";
  std::string broken = set;
  broken[broken.size() - 1] = '1';
  key.send(kSelect);
  EXPECT_EQ(key.send(broken), "6a80") << "the response must prove the key";
  EXPECT_FALSE(key.applet->state().access);
  EXPECT_EQ(key.send(set), "9000");
  EXPECT_EQ(key.send(kList), "9000") << "the session that set it stays open";
  ASSERT_TRUE(key.applet->state().access);
  EXPECT_EQ(hex_of(key.applet->state().access->key), "5cda2001781fa4fe4691f9507af244b5");
  EXPECT_EQ(key.send(kSelect).substr(30), "74085ae3cdef8e675fe57b0101" "9000");
  EXPECT_EQ(key.send(set), "6982") << "changing needs validation first";
  key.send("00a3000020" "75149de822d4f05f54202e706beec7b6430135251a01" "7408b28a90273ede2bee");
  // A change to another key (HMAC-SHA1 of the same challenge under 16 x 11).
  Bytes other = hex("7311" "21" "11111111111111111111111111111111" "7408" "09f2302a43bd4d7e");
  append_tlv(other, tag::response,
             crypto::hmac(crypto::Algorithm::sha1, Bytes(16, 0x11), hex("09f2302a43bd4d7e")));
  EXPECT_EQ(key.send("0003000033" + hex_of(other)), "9000");
  EXPECT_EQ(hex_of(key.applet->state().access->key), "11111111111111111111111111111111");
  EXPECT_EQ(key.send("00030000027300"), "9000");  // yubikit's unset_key
  EXPECT_FALSE(key.applet->state().access);
  EXPECT_EQ(key.send(kSelect), "790305040371080000000000000001" "9000");
}

TEST(OathApplet, PutRenameDeleteAsYubikitSendsThem) {
  Key key(R"({"salt": "0000000000000001"})");
  key.send(kSelect);
  // TOTP SHA-256, 8 digits, 60 s, touch; then HOTP SHA-1 with counter 7.
  EXPECT_EQ(key.send("0001000038711036302f4578616d706c653a616c696365732222083132333435363738"
                     "393031323334353637383930313233343536373839303132" "7802"),
            "9000");
  EXPECT_EQ(key.send("000100002b710b436f756e7465723a626f627316110631323334353637383930313233"
                     "343536373839307a0400000007"),
            "9000");
  EXPECT_EQ(key.send(kList), "7211" "22" "36302f4578616d706c653a616c696365"
                             "720c" "11" "436f756e7465723a626f62" "9000");
  const auto& stored = key.applet->state().credentials;
  EXPECT_TRUE(stored[0].touch);
  EXPECT_EQ(stored[0].digits, 8);
  EXPECT_EQ(stored[1].counter, 7u);
  EXPECT_EQ(key.send("00a200010f710b436f756e7465723a626f627400"), "76050604e5b397" "9000");
  EXPECT_EQ(key.send("000500001d710b436f756e7465723a626f62710e436f756e7465723a726f62657274"),
            "9000");
  EXPECT_EQ(key.send("0002000012711036302f4578616d706c653a616c696365"), "9000");
  EXPECT_EQ(key.send(kList), "720f" "11" "436f756e7465723a726f62657274" "9000");

  EXPECT_EQ(key.send("0002000003710178"), "6984") << "DELETE of an unknown name";
  EXPECT_EQ(key.send("0005000006710178710179"), "6984") << "RENAME of an unknown name";
  // A PUT of the same name replaces the credential.
  EXPECT_EQ(key.send("000100000a7101787305" "2106313233"), "9000");
  EXPECT_EQ(key.send("000100000c7101787305" "21073132337802"), "9000");
  EXPECT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored[1].digits, 7);
  EXPECT_EQ(key.send("0005000006710178" "7101" "78"), "9000") << "renamed to itself";
  EXPECT_EQ(key.send("000500001371017871" "0e436f756e7465723a726f62657274"), "6a80")
      << "RENAME onto another credential";

  const std::string name64(64, 'n');
  const auto put = [&](const std::string& name, const std::string& key_hex) {
    Bytes data;
    append_tlv(data, tag::name, Bytes(name.begin(), name.end()));
    append_tlv(data, tag::key, hex(key_hex));
    return "00010000" + hex_of({static_cast<uint8_t>(data.size())}) + hex_of(data);
  };
  EXPECT_EQ(key.send(put(name64, "2106313233")), "9000");
  EXPECT_EQ(key.send(put(name64 + "n", "2106313233")), "6a80") << "name of 65 bytes";
  EXPECT_EQ(key.send(put("", "2106313233")), "6a80") << "empty name";
  EXPECT_EQ(key.send(put("d", "2109313233")), "6a80") << "9 digits";
  EXPECT_EQ(key.send(put("t", "3106313233")), "6a80") << "type 3";
  EXPECT_EQ(key.send(put("a", "2406313233")), "6a80") << "algorithm 4";
  EXPECT_EQ(key.send(put("k", "2106" + std::string(130, 'a'))), "6a80") << "65-byte SHA-1 key";
  EXPECT_EQ(key.send(put("k", "2306" + std::string(256, 'a'))), "9000") << "128-byte SHA-512 key";
  EXPECT_EQ(key.send("000100000e710178" "73051106313233" "7a020001"), "6a80") << "2-byte counter";
  EXPECT_EQ(key.send("0001000006710178730131"), "6a80") << "key without digits";

  // Names are bytes: a UTF-8 name is found like any other.
  const std::string utf8 = "Bank:J\xc3\xbcrgen";
  const size_t before = stored.size();
  EXPECT_EQ(key.send(put(utf8, "2106313233")), "9000");
  EXPECT_EQ(key.send(put(utf8, "2107313233")), "9000");
  ASSERT_EQ(stored.size(), before + 1) << "the second PUT made a second credential";
  EXPECT_EQ(stored.back().digits, 7);
  EXPECT_EQ(code_of(key.send(calculate(utf8, "0000000000000001"))).size(), 7u);
  Bytes named;
  append_tlv(named, tag::name, Bytes(utf8.begin(), utf8.end()));
  EXPECT_EQ(key.send("00020000" + hex_of({static_cast<uint8_t>(named.size())}) + hex_of(named)),
            "9000");
  EXPECT_EQ(stored.size(), before);

  for (size_t i = stored.size(); i < kMaxCredentials; ++i)
    ASSERT_EQ(key.send(put("full " + std::to_string(i), "2106313233")), "9000");
  EXPECT_EQ(key.send(put("one more", "2106313233")), "6a84");
  EXPECT_EQ(key.send(put("full 10", "2106313233")), "9000") << "replacing needs no room";
}

TEST(OathApplet, TouchWaitsForTheDelayOrGivesUp) {
  const std::string credentials = R"("credentials": [
      {"name": "t", "secret": "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ", "touch": true},
      {"name": "h", "type": "hotp", "secret": "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ", "touch": true}]})";
  Key touched(R"({"salt": "0000000000000001", "touch_delay_ms": 800, )" + credentials);
  touched.send(kSelect);
  EXPECT_EQ(code_of(touched.send(calculate("t", "0000000000000001"))), "287082");
  EXPECT_EQ(touched.waits, std::vector<milliseconds>{milliseconds(800)});
  EXPECT_EQ(code_of(touched.send(calculate("h", ""))), "755224");
  touched.wait_result = false;
  EXPECT_EQ(touched.send(calculate("h", "")), "none") << "pulled during the wait";
  EXPECT_EQ(touched.applet->state().credentials[1].counter, 1u) << "no code, no count";

  Key never(R"({"salt": "0000000000000001", "touch_timeout_ms": 1500, )" + credentials);
  never.send(kSelect);
  EXPECT_EQ(never.send(calculate("t", "0000000000000001")), "6982");
  EXPECT_EQ(never.waits, std::vector<milliseconds>{milliseconds(1500)});

  Key late(R"({"salt": "0000000000000001", "touch_delay_ms": 20000, )" + credentials);
  late.send(kSelect);
  EXPECT_EQ(late.send(calculate("t", "0000000000000001")), "6982") << "the timeout comes first";
  EXPECT_EQ(late.waits, std::vector<milliseconds>{milliseconds(15000)});
}

TEST(OathApplet, MalformedCommandsGetTheStatusWordsOfARealKey) {
  Key key(kRfcKey);
  key.send(kSelect);
  EXPECT_EQ(key.send("00a100"), "6700") << "3 bytes";
  EXPECT_EQ(key.send("00a2000105710473686131ff"), "6700") << "Lc 5, 7 bytes of data";
  EXPECT_EQ(key.send("00a20001000006710473686131"), "6700") << "extended length";
  EXPECT_EQ(key.send("80a1000000"), "6e00") << "CLA 80";
  EXPECT_EQ(key.send("00c0000000"), "6d00") << "GET RESPONSE is not this applet's";
  EXPECT_EQ(key.send("0004000000"), "6b00") << "RESET without DE AD";
  EXPECT_EQ(key.send("00a1"), "6700");
  EXPECT_EQ(key.send("00a10000"), key.send(kList)) << "no Le at all";
  EXPECT_EQ(key.send("0002000003710473"), "6a80") << "name TLV cut short";
  EXPECT_EQ(key.send("0002000004718001ff"), "6a80") << "indefinite length";
  EXPECT_EQ(key.send("0005000003710161"), "6a80") << "RENAME with one name";
  EXPECT_EQ(key.send(kSendRemaining), "6985") << "nothing left to send";
}

TEST(OathApplet, ResetWipesTheKeyAndDrawsANewSalt) {
  Key key(kRfcKey);
  key.random = hex("a1a2a3a4a5a6a7a8");
  key.send(kSelect);
  EXPECT_EQ(key.send("0004dead00"), "9000");
  EXPECT_EQ(key.send(kList), "9000");
  EXPECT_EQ(key.send(kSelect), "79030504037108a1a2a3a4a5a6a7a8" "9000");
}

}  // namespace
}  // namespace virtual_key
