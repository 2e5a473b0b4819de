// Atoms, records, lists and plain enumerations on the wire and in print.

#include <set>
#include <string>
#include <type_traits>
#include <typeindex>
#include <vector>

#include <gtest/gtest.h>

#include "caf/message.hpp"
#include "caf/meta/type_name.hpp"
#include "caf/type_nr.hpp"

#include "test_support.h"
#include "vocabulary.h"

namespace {

template <class T, class = void>
struct has_field_names : std::false_type {};

template <class T>
struct has_field_names<T, std::void_t<decltype(T::field_names)>> : std::true_type {};

// Counts the fields a record hands to an inspector.
struct field_counter {
  using result_type = void;
  static constexpr bool reads_state = true;
  static constexpr bool writes_state = false;
  size_t fields = 0;
  template <class... Ts>
  void operator()(caf::meta::type_name_t, Ts&&...) {
    fields = sizeof...(Ts);
  }
};

// The first four bytes of a saved Authenticator: its method, big-endian.
byte_buffer method_bytes(const byte_buffer& buf) {
  return byte_buffer(buf.begin(), buf.begin() + 4);
}

} // namespace

using Atoms = system_test;

TEST_F(Atoms, WriteNothingReadNothingPrintTheirName) {
  size_t atoms = 0;
  const auto input = bytes_of({0x01, 0x02, 0x03});
  for (const auto& e : vocabulary()) {
    if (e.kind != type_kind::atom)
      continue;
    ++atoms;
    auto value = sys.types().make_value(e.name);
    ASSERT_NE(value, nullptr) << e.name;
    byte_buffer buf;
    caf::binary_serializer sink{sys, buf};
    EXPECT_FALSE(value->save(sink)) << e.name;
    EXPECT_TRUE(buf.empty()) << e.name;
    caf::binary_deserializer source{sys, input};
    EXPECT_FALSE(value->load(source)) << e.name;
    EXPECT_EQ(source.remaining(), input.size()) << e.name;
    EXPECT_EQ(value->stringify(), std::string{e.name} + "()");
  }
  EXPECT_EQ(atoms, 223u);
  EXPECT_EQ(caf::deep_to_string(::get_atom{}), "get_atom()");
  EXPECT_EQ(caf::deep_to_string(::duplicated_____atom{}), "duplicated_____atom()");
  EXPECT_TRUE(save_bytes(sys, ::get_atom{}).empty());
}

using Records = system_test;

TEST_F(Records, SamplesCoverEveryNonAtomValueType) {
  std::set<std::type_index> sampled;
  for_each_sample([&](const auto& x) { sampled.insert(typeid(x)); });
  for (const auto& e : vocabulary()) {
    bool value_type = e.kind == type_kind::record || e.kind == type_kind::list
                      || e.kind == type_kind::pair || e.kind == type_kind::plain_enum;
    if (value_type) {
      EXPECT_EQ(sampled.count(*e.rtti), 1u) << "no sample for " << e.name;
    }
  }
}

TEST_F(Records, EverySampleRoundTrips) {
  for_each_sample([&](const auto& x) {
    using T = std::decay_t<decltype(x)>;
    auto buf = save_bytes(sys, x);
    EXPECT_FALSE(buf.empty()) << show(x);
    T y{};
    ASSERT_FALSE(y == x) << "sample equals its default: " << show(x);
    size_t rest = 99;
    auto err = load_bytes(sys, buf, y, &rest);
    EXPECT_FALSE(err) << show(x) << ": " << sys.render(err);
    EXPECT_EQ(rest, 0u) << show(x);
    EXPECT_TRUE(y == x) << show(x) << " came back as " << show(y);
  });
}

// The registered factory loads what the typed serializer saved.
TEST_F(Records, EverySampleLoadsThroughItsRegisteredName) {
  for_each_sample([&](const auto& x) {
    using T = std::decay_t<decltype(x)>;
    const auto& name = sys.types().portable_name(0, &typeid(T));
    auto value = sys.types().make_value(name);
    ASSERT_NE(value, nullptr) << name;
    auto buf = save_bytes(sys, x);
    caf::binary_deserializer source{sys, buf};
    auto err = value->load(source);
    ASSERT_FALSE(err) << name << ": " << sys.render(err);
    EXPECT_EQ(source.remaining(), 0u) << name;
    // Builtin types of the actor library carry a number instead of type info.
    EXPECT_EQ(value->type().first, caf::type_nr<T>::value) << name;
    if (value->type().second != nullptr) {
      ASSERT_EQ(*value->type().second, typeid(T)) << name;
    }
    EXPECT_TRUE(*static_cast<const T*>(value->get()) == x) << name;
    byte_buffer again;
    caf::binary_serializer sink{sys, again};
    EXPECT_FALSE(value->save(sink));
    EXPECT_EQ(again, buf) << name;
  });
}

TEST_F(Records, ExactBytes) {
  EXPECT_EQ(save_bytes(sys, std::vector<OtpTokenInfo>{}), bytes_of({0x00}));
  EXPECT_EQ(save_bytes(sys, OtpTokenInfo{"ab", 30}),
            bytes_of({0x02, 'a', 'b', 0x00, 0x00, 0x00, 0x1e}));
  EXPECT_EQ(save_bytes(sys, PinPolicyResult{true, "no"}), bytes_of({0x01, 0x02, 'n', 'o'}));
  EXPECT_EQ(save_bytes(sys, OsSessionMsg{}), bytes_of({0xff, 0xff, 0xff, 0xff, 0x00, 0x00}));
  EXPECT_EQ(save_bytes(sys, std::vector<OtpTokenInfo>{{"a", 1}}),
            bytes_of({0x01, 0x01, 'a', 0x00, 0x00, 0x00, 0x01}));
  EXPECT_EQ(save_bytes(sys, std::tuple<std::string, std::string>{"k", ""}),
            bytes_of({0x01, 'k', 0x00}));
  // 200 elements: the count is a two-byte varbyte.
  auto ints = save_bytes(sys, std::vector<int>(200, 0));
  ASSERT_EQ(ints.size(), 2u + 200u * 4u);
  EXPECT_EQ(byte_buffer(ints.begin(), ints.begin() + 2), bytes_of({0xc8, 0x01}));
}

TEST_F(Records, Defaults) {
  EXPECT_EQ(OtpTokenInfo{}.name, "");
  EXPECT_EQ(OtpTokenInfo{}.period, 0u);
  EXPECT_FALSE(PinPolicyResult{}.is_compliant);
  EXPECT_EQ(PinPolicyResult{}.reason, "");
  EXPECT_TRUE(CurrentUserName{}.is_local);
  EXPECT_FALSE(CurrentUserName{}.is_admin);
  EXPECT_TRUE(CurrentUserIncMapping{}.is_local);
  EXPECT_TRUE(CurrentUserIncMapping{}.ori_username.is_local);
  EXPECT_FALSE(CurrentUserIncMapping{}.is_mapping);
  EXPECT_EQ(OsSessionMsg{}.session_id, -1);
  EXPECT_FALSE(OsSessionMsg{}.is_remote);
  // Defaults survive the wire too.
  CurrentUserIncMapping mapping;
  mapping.is_local = false;
  mapping.ori_username.is_local = false;
  ASSERT_FALSE(load_bytes(sys, save_bytes(sys, CurrentUserIncMapping{}), mapping));
  EXPECT_TRUE(mapping.is_local);
  EXPECT_TRUE(mapping.ori_username.is_local);
  OsSessionMsg session{5, true, "x"};
  ASSERT_FALSE(load_bytes(sys, save_bytes(sys, OsSessionMsg{}), session));
  EXPECT_EQ(session.session_id, -1);
}

TEST_F(Records, CurrentUserNameKeepsSidAndProfilePathLocal) {
  CurrentUserName sender{"in", "Display", false, true, "user", "DOM", "dom.example", "", ""};
  auto plain = save_bytes(sys, sender);
  sender.sid = "S-1-5-21-42";
  sender.profile_path = "C:\\Users\\user";
  auto with_local = save_bytes(sys, sender);
  EXPECT_EQ(with_local, plain);
  CurrentUserName receiver;
  ASSERT_FALSE(load_bytes(sys, with_local, receiver));
  EXPECT_EQ(receiver.input_name, "in");
  EXPECT_EQ(receiver.domain_dns_name, "dom.example");
  EXPECT_FALSE(receiver.is_local);
  EXPECT_TRUE(receiver.is_admin);
  EXPECT_EQ(receiver.sid, "");
  EXPECT_EQ(receiver.profile_path, "");
  EXPECT_EQ(caf::deep_to_string(sender).find("S-1-5"), std::string::npos);
  EXPECT_EQ(caf::deep_to_string(sender).find("Users"), std::string::npos);

  // Received in a message, as the service sends it.
  auto msg = caf::make_message(sender);
  byte_buffer wire;
  caf::binary_serializer sink{sys, wire};
  ASSERT_FALSE(msg.save(sink));
  caf::message loaded_msg;
  caf::binary_deserializer source{sys, wire};
  ASSERT_FALSE(loaded_msg.load(source));
  ASSERT_TRUE(loaded_msg.match_elements<CurrentUserName>());
  EXPECT_EQ(loaded_msg.get_as<CurrentUserName>(0).username, "user");
  EXPECT_EQ(loaded_msg.get_as<CurrentUserName>(0).sid, "");
  EXPECT_EQ(loaded_msg.get_as<CurrentUserName>(0).profile_path, "");

  CurrentUserIncMapping mapping;
  mapping.ori_username = sender;
  CurrentUserIncMapping loaded;
  ASSERT_FALSE(load_bytes(sys, save_bytes(sys, mapping), loaded));
  EXPECT_EQ(loaded.ori_username.username, "user");
  EXPECT_EQ(loaded.ori_username.sid, "");
  EXPECT_EQ(loaded.ori_username.profile_path, "");
}

TEST_F(Records, PlainEnumsTravelAsAny32BitValue) {
  auto big = save_bytes(sys, Authenticator{e_credential_type{0x7fffffff}, 0, ""});
  EXPECT_EQ(method_bytes(big), bytes_of({0x7f, 0xff, 0xff, 0xff}));
  auto negative = save_bytes(sys, Authenticator{e_credential_type{-5}, 0, ""});
  EXPECT_EQ(method_bytes(negative), bytes_of({0xff, 0xff, 0xff, 0xfb}));

  Authenticator loaded;
  ASSERT_FALSE(load_bytes(sys, big, loaded));
  EXPECT_EQ(static_cast<int32_t>(loaded.method), 0x7fffffff);
  ASSERT_FALSE(load_bytes(sys, negative, loaded));
  EXPECT_EQ(static_cast<int32_t>(loaded.method), -5);

  // Hand-made bytes of AgentDiscoveryInfo{"", "", -5, 1}.
  AgentDiscoveryInfo agent;
  auto agent_bytes = bytes_of({0x00, 0x00, 0xff, 0xff, 0xff, 0xfb, 0x00, 0x00, 0x00, 0x01});
  size_t rest = 99;
  ASSERT_FALSE(load_bytes(sys, agent_bytes, agent, &rest));
  EXPECT_EQ(rest, 0u);
  EXPECT_EQ(static_cast<int32_t>(agent.source), -5);
  EXPECT_EQ(agent.port, 1);

  e_hardware_op op{};
  ASSERT_FALSE(load_bytes(sys, bytes_of({0x80, 0x00, 0x00, 0x00}), op));
  EXPECT_EQ(static_cast<int32_t>(op), INT32_MIN);
}

TEST_F(Records, Stringify) {
  EXPECT_EQ(caf::deep_to_string(OtpTokenInfo{"a", 30}), "OtpTokenInfo(\"a\", 30)");
  EXPECT_EQ(caf::deep_to_string(PinPolicyResult{true, "too short"}),
            "PinPolicyResult(true, \"too short\")");
  EXPECT_EQ(caf::deep_to_string(std::vector<OtpTokenInfo>{{"x", 1}, {"y", 2}}),
            "[OtpTokenInfo(\"x\", 1), OtpTokenInfo(\"y\", 2)]");
  EXPECT_EQ(caf::deep_to_string(LCEvent{{1, -2, 3}}), "LCEvent((1, -2, 3))");
  EXPECT_EQ(caf::deep_to_string(CurrentUserIncMapping{}),
            "CurrentUserIncMapping(\"\", \"\", true, false, false, \"\", "
            "CurrentUserName(\"\", \"\", true, false, \"\", \"\", \"\"))");
  EXPECT_EQ(caf::deep_to_string(OsSessionMsg{}), "OsSessionMsg(-1, false, \"\")");
  EXPECT_EQ(caf::deep_to_string(e_credential_type{3}), "<unprintable>");
  EXPECT_EQ(caf::deep_to_string(Authenticator{e_credential_type{3}, 1, "x"}),
            "Authenticator(<unprintable>, 1, \"x\")");
  EXPECT_EQ(caf::deep_to_string(ListAuthResult{{Authenticator{}}, "fido", 1, 2}),
            "ListAuthResult([Authenticator(<unprintable>, 0, \"\")], \"fido\", 1, 2)");
  EXPECT_EQ(caf::deep_to_string(std::tuple<std::string, std::string>{"k", "v"}),
            "(\"k\", \"v\")");
  // The registry prints the same way.
  auto value = sys.types().make_value("OtpTokenInfo");
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(value->stringify(), "OtpTokenInfo(\"\", 0)");
}

TEST(RecordFieldNames, RepeatedNamesAreKept) {
  EXPECT_EQ(Authenticator::field_names.size(), 3u);
  EXPECT_STREQ(Authenticator::field_names[0], "method");
  EXPECT_STREQ(Authenticator::field_names[1], "pin_required");
  EXPECT_STREQ(Authenticator::field_names[2], "pin_required");
  EXPECT_EQ(CrToken::field_names.size(), 4u);
  EXPECT_STREQ(CrToken::field_names[0], "addr");
  EXPECT_STREQ(CrToken::field_names[1], "ip");
  EXPECT_STREQ(CrToken::field_names[2], "ip");
  EXPECT_STREQ(CrToken::field_names[3], "ip");
}

// Every record names exactly the fields it inspects.
TEST(RecordFieldNames, OneNamePerInspectedField) {
  size_t records = 0;
  for_each_sample([&](const auto& x) {
    using T = std::decay_t<decltype(x)>;
    if constexpr (has_field_names<T>::value) {
      ++records;
      T copy = x;
      field_counter counter;
      inspect(counter, copy);
      EXPECT_EQ(counter.fields, T::field_names.size()) << show(x);
    }
  });
  EXPECT_EQ(records, 19u);
}
