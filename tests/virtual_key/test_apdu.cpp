#include "virtual_key/apdu.h"

#include <gtest/gtest.h>

#include "hex.h"

namespace virtual_key {
namespace {

Command command_of(const std::string& apdu) {
  const Bytes bytes = hex(apdu);
  auto parsed = parse_command(bytes.data(), bytes.size());
  EXPECT_TRUE(std::holds_alternative<Command>(parsed)) << apdu;
  return std::holds_alternative<Command>(parsed) ? std::get<Command>(parsed) : Command{};
}

uint16_t refusal_of(const std::string& apdu) {
  const Bytes bytes = hex(apdu);
  auto parsed = parse_command(bytes.data(), bytes.size());
  return std::holds_alternative<uint16_t>(parsed) ? std::get<uint16_t>(parsed) : 0;
}

TEST(Apdu, ShortCommandsInEveryForm) {
  const auto header_only = command_of("00a4040c");
  EXPECT_EQ(header_only.ins, 0xA4);
  EXPECT_EQ(header_only.p1, 0x04);
  EXPECT_EQ(header_only.p2, 0x0C);
  EXPECT_TRUE(header_only.data.empty());
  EXPECT_FALSE(header_only.le);

  const auto trailing_zero = command_of("00a1000000");  // yubikit, no data
  EXPECT_TRUE(trailing_zero.data.empty());
  EXPECT_EQ(trailing_zero.le, 256u);

  const auto with_data = command_of("00a2000103aabbcc");
  EXPECT_EQ(hex_of(with_data.data), "aabbcc");
  EXPECT_FALSE(with_data.le);

  const auto with_le = command_of("80ca000102aabb10");
  EXPECT_EQ(with_le.cla, 0x80);
  EXPECT_EQ(hex_of(with_le.data), "aabb");
  EXPECT_EQ(with_le.le, 0x10u);

  Bytes longest = hex("00010000ff");
  longest.resize(5 + 255, 0x5A);
  auto parsed = parse_command(longest.data(), longest.size());
  ASSERT_TRUE(std::holds_alternative<Command>(parsed));
  EXPECT_EQ(std::get<Command>(parsed).data.size(), 255u);

  for (const char* bad : {"", "00", "00a400", "00a2000103aabb", "00a2000102aabbccdd",
                          "00a20000000003aabbcc", "00a1000000ff"})
    EXPECT_EQ(refusal_of(bad), sw::wrong_length) << bad;
}

TEST(Apdu, TlvsWithBerLengthsAndTheBarePropertyByte) {
  Bytes long_value(200, 0x61);
  Bytes input = hex("7101aa" "7400" "7802" "7381c8");
  input.insert(input.end(), long_value.begin(), long_value.end());
  Bytes tail = hex("7a820003010203");
  input.insert(input.end(), tail.begin(), tail.end());
  const auto tlvs = parse_tlvs(input.data(), input.size());
  ASSERT_TRUE(tlvs);
  ASSERT_EQ(tlvs->size(), 5u);
  EXPECT_EQ((*tlvs)[0].tag, tag::name);
  EXPECT_EQ(hex_of((*tlvs)[0].value), "aa");
  EXPECT_TRUE((*tlvs)[1].value.empty());
  EXPECT_EQ((*tlvs)[2].tag, tag::property);
  EXPECT_EQ(hex_of((*tlvs)[2].value), "02");
  EXPECT_EQ((*tlvs)[3].value, long_value);
  EXPECT_EQ(hex_of((*tlvs)[4].value), "010203");
  EXPECT_TRUE(parse_tlvs(nullptr, 0));

  for (const char* bad : {"71", "7102aa", "7181", "718102aa", "718200", "7182000201",
                          "7180", "71830000", "78", "7101aa74"}) {
    const Bytes bytes = hex(bad);
    EXPECT_FALSE(parse_tlvs(bytes.data(), bytes.size())) << bad;
  }
}

TEST(Apdu, AppendTlvPicksTheShortestLength) {
  Bytes out;
  append_tlv(out, 0x71, Bytes(0x7F, 0));
  EXPECT_EQ(hex_of(Bytes(out.begin(), out.begin() + 2)), "717f");
  out.clear();
  append_tlv(out, 0x71, Bytes(0x80, 0));
  EXPECT_EQ(hex_of(Bytes(out.begin(), out.begin() + 3)), "718180");
  out.clear();
  append_tlv(out, 0x71, Bytes(0x100, 0));
  EXPECT_EQ(hex_of(Bytes(out.begin(), out.begin() + 4)), "71820100");
  EXPECT_EQ(out.size(), 4u + 0x100);
  EXPECT_EQ(hex_of(response(hex("aa"), 0x61FF)), "aa61ff");
}

}  // namespace
}  // namespace virtual_key
