// Error codes, their texts, their categories and how errors are rendered.

#include <map>
#include <string>

#include <gtest/gtest.h>

#include "caf/error.hpp"
#include "caf/message.hpp"
#include "caf/sec.hpp"

#include "errors.h"
#include "test_support.h"

namespace {

using text_table = std::map<int, std::string>;

const text_table fido_texts{
  {2, "Could not find any FIDO tokens."},
  {3, "More than one FIDO token were found. Only support one FIDO token."},
  {4, "PIN is incorrect."},
  {5, "Failed to open FIDO device."},
  {6, "The user is not registered."},
  {7, "FIDO key timed out."},
  {8, "FIDO PIN auth has been blocked. Try re-plugging the FIDO key."},
  {9, "The FIDO key is not registered with this user."},
  {10, "Error - this FIDO key has not been initialized."},
  {11, "PIN is not allowed to be empty."},
  {12, "User verification is required but the token doesn't have PIN."},
  {13, "PIN is not set on the FIDO key."},
  {14, "Failed to reset PIN"},
  {15, "User verification is required but PIN is empty."},
  {16, "Failed to get OTP."},
  {17, "Failed to list OTP from the device."},
  {18, "The device doesn't have a OTP token."},
  {19, "FIDO operation denied."},
};

const text_table api_texts{
  {0, "API success"}, {1, "API error"},   {2, "API warning"},
  {3, "API info"},    {4, "API failure"}, {5, "API escalate"},
};

const text_table db_texts{
  {1, "Failed to find the user in the local database"},
  {2, "Failed to find any token of the user in database"},
};

const text_table general_texts{
  {1, "Input Error"},
  {2, "Error"},
  {3, "Tarn Response Error Format"},
};

const text_table network_texts{
  {2, "Failed to connect computer logon client."},
  {3, "Failed to connect computer logon agent."},
  {4, "Failed to connect quillon server."},
  {5, "You can only reset AD password when TARN is connectable."},
  {6, "You can only unlock a user when TARN is connectable."},
};

const text_table pcsc_texts{
  {2, "Failed to get serial number"},
  {3, "Failed to connect to reader"},
  {4, "Failed to connect to card"},
};

const text_table rest_client_texts{
  {1, "Failed to connect to TARN"},
  {2, "Failed to send out request due to network connection"},
  {3, "Json format error"},
  {4, "Switch to offline"},
  {5, "Failed to parse TARN response json"},
  {6, "Failed to send out request due to network connection. Logon session was destroyed"},
  {8, "Failed to do socket write"},
  {9, "Failed to do socket read"},
};

std::string expected_text(const text_table& table, int code, const char* fallback) {
  auto i = table.find(code);
  return i != table.end() ? i->second : fallback;
}

// Checks to_string, deep_to_string, make_error and the system's rendering of
// every code 0..255 of E.
template <class E>
void check_all_codes(caf::actor_system& sys, const text_table& table, const char* fallback,
                     caf::atom_value category) {
  for (int code = 0; code <= 255; ++code) {
    auto x = static_cast<E>(code);
    auto expected = expected_text(table, code, fallback);
    EXPECT_EQ(to_string(x), expected) << "code " << code;
    EXPECT_EQ(caf::deep_to_string(x), expected) << "code " << code;
    auto err = make_error(x);
    if (code == 0) {
      // Code 0 means "no error" to the actor library: nothing to render.
      EXPECT_FALSE(err);
      continue;
    }
    ASSERT_TRUE(err);
    EXPECT_EQ(err.code(), code);
    EXPECT_EQ(err.category(), category) << "code " << code;
    EXPECT_TRUE(err.context().empty());
    EXPECT_EQ(error_text(sys, err), expected) << "code " << code;
  }
}

} // namespace

using ErrorTexts = system_test;

TEST_F(ErrorTexts, Fido) {
  check_all_codes<fido_error>(sys, fido_texts, "unknown FIDO error.", error_category::fido);
  EXPECT_EQ(to_string(fido_error{0}), "unknown FIDO error.");
  EXPECT_EQ(to_string(fido_error{1}), "unknown FIDO error.");
  EXPECT_EQ(to_string(fido_error{20}), "unknown FIDO error.");
  EXPECT_EQ(to_string(fido_error{255}), "unknown FIDO error.");
  EXPECT_EQ(static_cast<int>(fido_error::no_token), 2);
  EXPECT_EQ(static_cast<int>(fido_error::pin_incorrect), 4);
  EXPECT_EQ(static_cast<int>(fido_error::no_otp_token), 18);
  EXPECT_EQ(static_cast<int>(fido_error::operation_denied), 19);
}

TEST_F(ErrorTexts, RestClient) {
  check_all_codes<rest_client_error>(sys, rest_client_texts, "unknown rest_client_error:",
                                     error_category::rest_client);
  EXPECT_EQ(to_string(rest_client_error{7}), "unknown rest_client_error:");
  EXPECT_EQ(to_string(rest_client_error{0}), "unknown rest_client_error:");
}

TEST_F(ErrorTexts, Api) {
  check_all_codes<api_error>(sys, api_texts, "unknown api_error", error_category::api);
  EXPECT_EQ(to_string(api_error{0}), "API success");
  EXPECT_EQ(to_string(api_error{6}), "unknown api_error");
}

TEST_F(ErrorTexts, OtherCategories) {
  check_all_codes<db_error>(sys, db_texts, "unknown db_error", error_category::db);
  check_all_codes<general_error>(sys, general_texts, "unknown general_error",
                                 error_category::general);
  check_all_codes<network_error>(sys, network_texts, "unknown network error.",
                                 error_category::network);
  check_all_codes<pcsc_error>(sys, pcsc_texts, "unknown pcsc error.", error_category::pcsc);
  EXPECT_EQ(to_string(db_error{0}), "unknown db_error");
  EXPECT_EQ(to_string(general_error{0}), "unknown general_error");
  EXPECT_EQ(to_string(network_error{0}), "unknown network error.");
  EXPECT_EQ(to_string(pcsc_error{0}), "unknown pcsc error.");
}

TEST(ErrorCategories, AreDistinctWireAtoms) {
  EXPECT_EQ(to_string(error_category::rest_client), "rest_error");
  EXPECT_EQ(to_string(error_category::api), "api_error");
  EXPECT_EQ(to_string(error_category::general), "gen_error");
  EXPECT_EQ(to_string(error_category::db), "db_error");
  EXPECT_EQ(to_string(error_category::fido), "fido_error");
  EXPECT_EQ(to_string(error_category::pcsc), "pcsc_error");
  EXPECT_EQ(to_string(error_category::network), "net_error");
}

using ErrorRendering = system_test;

TEST_F(ErrorRendering, CodeTextThenContext) {
  EXPECT_EQ(error_text(sys, make_error(fido_error::pin_incorrect)), "PIN is incorrect.");
  caf::error with_context{4, error_category::fido, caf::make_message("abc", 42)};
  EXPECT_EQ(error_text(sys, with_context), "PIN is incorrect. (abc, 42)");
  caf::error one_element{2, error_category::pcsc, caf::make_message(std::string{"reader 1"})};
  EXPECT_EQ(error_text(sys, one_element), "Failed to get serial number (reader 1)");
  caf::error unknown_code{7, error_category::rest_client, caf::make_message(true)};
  EXPECT_EQ(error_text(sys, unknown_code), "unknown rest_client_error: (true)");
}

TEST_F(ErrorRendering, LibraryErrorsAsTheSystemRendersThem) {
  caf::error timeout = caf::sec::request_timeout;
  auto text = error_text(sys, timeout);
  EXPECT_EQ(text, sys.render(timeout));
  EXPECT_EQ(text, "system_error(request_timeout)");
  EXPECT_NE(error_text(sys, caf::sec::request_receiver_down).find("request_receiver_down"),
            std::string::npos);
  // Unknown categories fall back to the library's generic form.
  caf::error foreign{3, caf::atom("other")};
  EXPECT_EQ(error_text(sys, foreign), sys.render(foreign));
  EXPECT_FALSE(error_text(sys, foreign).empty());
}

TEST(FidoErrorMatch, NeedsCodeAndCategory) {
  EXPECT_TRUE(is_fido_error(make_error(fido_error::pin_incorrect), fido_error::pin_incorrect));
  EXPECT_FALSE(is_fido_error(make_error(fido_error::pin_incorrect), fido_error::no_token));
  EXPECT_FALSE(is_fido_error(caf::error{4, error_category::api}, fido_error::pin_incorrect));
  EXPECT_FALSE(is_fido_error(make_error(api_error{4}), fido_error::pin_incorrect));
  EXPECT_FALSE(is_fido_error(make_error(db_error{18}), fido_error::no_otp_token));
  EXPECT_FALSE(is_fido_error(caf::error{}, fido_error::no_token));
  caf::error system_code_4 = static_cast<caf::sec>(4);
  EXPECT_FALSE(is_fido_error(system_code_4, fido_error::pin_incorrect));
  // Context does not matter.
  caf::error with_context{18, error_category::fido, caf::make_message("GitHub")};
  EXPECT_TRUE(is_fido_error(with_context, fido_error::no_otp_token));
}

using ErrorWire = system_test;

TEST_F(ErrorWire, BareEnumValuesSaveOneByteAndRefuseToLoad) {
  for (const auto& e : vocabulary()) {
    if (e.kind != type_kind::error_enum)
      continue;
    auto value = sys.types().make_value(e.name);
    ASSERT_NE(value, nullptr) << e.name;
    byte_buffer buf;
    caf::binary_serializer sink{sys, buf};
    EXPECT_FALSE(value->save(sink)) << e.name;
    EXPECT_EQ(buf, bytes_of({0x00})) << e.name;
    for (const auto& input : {buf, bytes_of({0x04}), bytes_of({0x04, 0x04}), byte_buffer{}}) {
      caf::binary_deserializer source{sys, input};
      EXPECT_TRUE(value->load(source)) << e.name;
    }
  }
  EXPECT_EQ(save_bytes(sys, fido_error::pin_incorrect), bytes_of({0x04}));
  auto fido = sys.types().make_value("fido_error");
  ASSERT_NE(fido, nullptr);
  auto buf = save_bytes(sys, fido_error::no_otp_token);
  caf::binary_deserializer source{sys, buf};
  EXPECT_TRUE(fido->load(source));
}

// Error values travel inside errors: code, category and context survive.
TEST_F(ErrorWire, ErrorsRoundTrip) {
  caf::error sent{18, error_category::fido, caf::make_message(std::string{"GitHub"}, 59)};
  auto buf = save_bytes(sys, sent);
  caf::error received;
  size_t rest = 99;
  auto err = load_bytes(sys, buf, received, &rest);
  ASSERT_FALSE(err) << sys.render(err);
  EXPECT_EQ(rest, 0u);
  EXPECT_TRUE(is_fido_error(received, fido_error::no_otp_token));
  EXPECT_EQ(error_text(sys, received), "The device doesn't have a OTP token. (GitHub, 59)");

  caf::error plain;
  ASSERT_FALSE(load_bytes(sys, save_bytes(sys, make_error(api_error{5})), plain));
  EXPECT_EQ(plain.category(), error_category::api);
  EXPECT_EQ(plain.code(), 5);
  EXPECT_TRUE(plain.context().empty());
  EXPECT_EQ(error_text(sys, plain), "API escalate");
}

// "API success" is code 0, which the actor library treats as no error at all.
TEST_F(ErrorWire, CodeZeroIsNoError) {
  auto success = make_error(api_error{0});
  EXPECT_FALSE(success);
  EXPECT_EQ(success, caf::error{});
  EXPECT_EQ(error_text(sys, success), "none");
  EXPECT_FALSE(is_fido_error(make_error(fido_error{0}), fido_error{0}));
  caf::error loaded = make_error(fido_error::no_token);
  ASSERT_FALSE(load_bytes(sys, save_bytes(sys, success), loaded));
  EXPECT_FALSE(loaded);
}
