// How PC/SC results read, on pcsc-lite and on Windows' winscard.dll alike.
#include <gtest/gtest.h>

#include "card/pcsc_readers.h"

using oath::Fault;

// A stopped middleware always needs a new context; on Windows, which stops
// its Smart Card service when the last reader leaves, it is no reader (the
// key was pulled), where on Linux it is pcscd gone.
TEST(PcscFailure, StoppedMiddlewareNeedsANewContextAndIsNoReaderWhereItStopsWithTheLastReader) {
  for (LONG rv : {LONG(SCARD_E_NO_SERVICE), LONG(SCARD_E_SERVICE_STOPPED)}) {
    SCOPED_TRACE(card::pcsc_text(rv));
    EXPECT_TRUE(card::middleware_gone(rv));
    const auto failure = card::pcsc_failure(rv, oath::Step::connect, "Key 0");
    EXPECT_EQ(failure.step, oath::Step::connect);
    if (card::pcsc::stopped_service_is_no_key) {
      EXPECT_EQ(failure.fault, Fault::no_reader);
      EXPECT_EQ(failure.detail.rfind(
                  "reader \"Key 0\": no reader: the Smart Card service is stopped (SCARD_E_", 0),
                0u)
        << failure.detail;
    } else {
      EXPECT_EQ(failure.fault, Fault::no_service);
      EXPECT_EQ(failure.detail.rfind("reader \"Key 0\": SCARD_E_", 0), 0u) << failure.detail;
    }
  }
  EXPECT_TRUE(card::middleware_gone(SCARD_F_COMM_ERROR));
  EXPECT_TRUE(card::middleware_gone(SCARD_E_INVALID_HANDLE));
  EXPECT_EQ(card::pcsc_failure(SCARD_F_COMM_ERROR, oath::Step::none).fault, Fault::no_service);
  for (LONG rv : {LONG(SCARD_W_REMOVED_CARD), LONG(SCARD_E_SHARING_VIOLATION),
                  LONG(SCARD_E_TIMEOUT)})
    EXPECT_FALSE(card::middleware_gone(rv)) << card::pcsc_text(rv);
  EXPECT_EQ(card::pcsc_failure(SCARD_W_REMOVED_CARD, oath::Step::none).fault, Fault::removed);
}

// A result without a name reads as its number and the middleware's words.
TEST(PcscFailure, UnnamedResultsReadAsTheirNumberAndTheMiddlewaresText) {
  const auto text = card::pcsc_text(LONG(0x8010006F));
  EXPECT_EQ(text.rfind("0x8010006F (", 0), 0u) << text;
  EXPECT_EQ(text.back(), ')');
}
