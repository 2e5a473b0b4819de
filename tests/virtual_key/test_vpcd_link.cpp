#include "virtual_key/key_config.h"
#include "virtual_key/vpcd_link.h"

#include <gtest/gtest.h>

#include "hex.h"

namespace virtual_key {
namespace {

TEST(VpcdFrames, ReaderCutsTheStreamWhereverItBreaks) {
  const Bytes stream = hex("0001" "04" "0000" "000c" "00a4040007a0000005272101" "0005" "00a1");
  FrameReader reader;
  std::vector<std::string> messages;
  // One byte at a time, then everything at once.
  for (uint8_t b : stream) {
    reader.feed(&b, 1);
    while (auto message = reader.next())
      messages.push_back(hex_of(*message));
  }
  EXPECT_EQ(messages, (std::vector<std::string>{"04", "", "00a4040007a0000005272101"}));
  reader.feed(hex("000000").data(), 3);
  EXPECT_EQ(hex_of(*reader.next()), "00a1000000") << "the rest of the 5-byte message";
  EXPECT_FALSE(reader.next());
  EXPECT_EQ(hex_of(frame(hex("9000"))), "00029000");
  EXPECT_EQ(hex_of(frame(Bytes(258, 0))).substr(0, 4), "0102");
}

TEST(VpcdFrames, AtrOffersT1WithAValidCheckByte) {
  const Bytes& atr = card_atr();
  ASSERT_GE(atr.size(), 10u);
  EXPECT_EQ(atr[0], 0x3B);
  EXPECT_EQ(atr[1] & 0xF0, 0xF0) << "TA1..TD1 present (yubikit reads this as USB)";
  const size_t historical = atr[1] & 0x0F;
  EXPECT_EQ(atr[5] & 0x0F, 1) << "TD1 offers T=1";
  EXPECT_EQ(atr[6] & 0x0F, 1) << "TD2: T=1 with TA3 and TB3";
  EXPECT_EQ(atr.size(), 1 + 1 + 4 + 1 + 2 + historical + 1) << hex_of(atr);
  uint8_t check = 0;
  for (size_t i = 1; i < atr.size(); ++i)
    check ^= atr[i];
  EXPECT_EQ(check, 0) << "TCK";
}

TEST(VirtualCard, ControlCodesAndCommands) {
  auto config = parse_key_config(R"({"salt": "0000000000000001", "touch_delay_ms": 5,
      "credentials": [{"name": "t", "secret": "GEZDGNBV", "touch": true}]})");
  ASSERT_TRUE(config);
  bool cut = false;
  OathApplet applet(config.config->state, config.config->options,
                    {[&](std::chrono::milliseconds) { return !cut; }, [](uint8_t*, size_t) {}});
  VirtualCard card(applet);
  EXPECT_EQ(card.on_message(hex("04")).bytes, card_atr());
  EXPECT_EQ(card.on_message(hex("04")).action, VirtualCard::Action::send);
  EXPECT_EQ(card.on_message(hex("01")).action, VirtualCard::Action::none);
  EXPECT_EQ(card.on_message({}).action, VirtualCard::Action::none);
  for (const char* power : {"00", "01", "02"}) {
    card.on_message(hex("00a4040007a0000005272101"));
    ASSERT_TRUE(applet.selected());
    EXPECT_EQ(card.on_message(hex(power)).action, VirtualCard::Action::none);
    EXPECT_FALSE(applet.selected()) << power << " deselects";
  }
  card.on_message(hex("00a4040007a0000005272101"));
  const auto code = card.on_message(hex("00a200010571017474017400"));
  EXPECT_EQ(code.action, VirtualCard::Action::send);
  EXPECT_EQ(status_of(code.bytes), sw::wrong_length) << hex_of(code.bytes);
  EXPECT_EQ(status_of(card.on_message(hex("00a2000106710174740100")).bytes), sw::ok);
  cut = true;
  EXPECT_EQ(card.on_message(hex("00a2000106710174740100")).action, VirtualCard::Action::drop);
  card.removed();
  EXPECT_FALSE(applet.selected());
}

}  // namespace
}  // namespace virtual_key
