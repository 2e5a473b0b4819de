// The table of failures and the service's errors, row by row.

#include <gtest/gtest.h>

#include <set>

#include "backend/error_table.h"

namespace backend {
namespace {

using oath::Fault;
using oath::Step;

const Request kRequests[] = {Request::info, Request::code, Request::access, Request::verify,
                             Request::change};
const Step kSteps[] = {Step::none,      Step::connect,   Step::select,        Step::validate,
                       Step::list,      Step::calculate, Step::calculate_all, Step::set_code};

// Every row decides for the failures it describes: no row above shadows it.
TEST(ErrorTable, EveryRowDecidesForItsOwnFailures) {
  const auto& table = error_table();
  for (size_t i = 0; i < table.size(); ++i) {
    const auto& row = table[i];
    const Request request = row.request.value_or(Request::code);
    const Step step = row.step.value_or(Step::validate);
    SCOPED_TRACE("row " + std::to_string(i) + ": " + oath::to_string(row.fault) + " "
                 + to_string(request) + " " + oath::to_string(step));
    const auto error = to_service_error(request, oath::Failure{row.fault, step, "DETAIL"});
    EXPECT_EQ(error.category, row.category);
    EXPECT_EQ(int{error.code}, int{row.code});
    if (row.context == nullptr) {
      EXPECT_EQ(error.context, "");
    } else if (std::string(row.context).find("{}") != std::string::npos) {
      EXPECT_NE(error.context.find("DETAIL"), std::string::npos) << error.context;
    } else {
      EXPECT_EQ(error.context, row.context);
    }
  }
}

// The service's vocabulary, as the app reads it.
TEST(ErrorTable, MapsTheFailuresTheUserCanActOn) {
  const struct {
    Request request;
    Fault fault;
    Step step;
    ServiceError::Category category;
    int code;
  } rows[] = {
    {Request::info, Fault::no_service, Step::connect, ServiceError::Category::pcsc, 3},
    {Request::code, Fault::sharing_violation, Step::connect, ServiceError::Category::pcsc, 4},
    {Request::info, Fault::no_reader, Step::connect, ServiceError::Category::fido, 2},
    {Request::info, Fault::no_matching_reader, Step::connect, ServiceError::Category::fido, 2},
    {Request::access, Fault::no_key, Step::select, ServiceError::Category::fido, 2},
    {Request::code, Fault::removed, Step::calculate, ServiceError::Category::fido, 2},
    {Request::info, Fault::several_keys, Step::connect, ServiceError::Category::fido, 3},
    {Request::code, Fault::wrong_pin, Step::validate, ServiceError::Category::fido, 4},
    {Request::change, Fault::wrong_pin, Step::validate, ServiceError::Category::fido, 4},
    {Request::code, Fault::touch_timeout, Step::calculate, ServiceError::Category::fido, 7},
    {Request::change, Fault::empty_pin, Step::none, ServiceError::Category::fido, 11},
    {Request::code, Fault::empty_pin, Step::validate, ServiceError::Category::fido, 15},
    {Request::code, Fault::unknown_name, Step::calculate, ServiceError::Category::fido, 16},
    {Request::code, Fault::status, Step::calculate, ServiceError::Category::fido, 16},
    {Request::code, Fault::malformed, Step::calculate_all, ServiceError::Category::fido, 16},
    {Request::info, Fault::status, Step::list, ServiceError::Category::fido, 17},
    {Request::code, Fault::malformed, Step::list, ServiceError::Category::fido, 17},
    {Request::info, Fault::not_validated, Step::list, ServiceError::Category::fido, 17},
    {Request::code, Fault::not_validated, Step::calculate, ServiceError::Category::fido, 4},
    {Request::info, Fault::no_totp, Step::list, ServiceError::Category::fido, 18},
    {Request::change, Fault::status, Step::set_code, ServiceError::Category::fido, 14},
    {Request::verify, Fault::bad_answer, Step::validate, ServiceError::Category::fido, 19},
    {Request::access, Fault::malformed, Step::select, ServiceError::Category::fido, 5},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(to_string(row.request)) + " " + oath::to_string(row.fault) + " "
                 + oath::to_string(row.step));
    const auto error = to_service_error(row.request, oath::Failure{row.fault, row.step, "x"});
    EXPECT_EQ(error.category, row.category);
    EXPECT_EQ(int{error.code}, row.code);
  }
}

// Whatever fails, in whichever request and step: an error with a text of its
// own, never a code without one.
TEST(ErrorTable, EveryFailureGetsAnErrorWithAText) {
  const std::set<int> fido_codes{2, 3, 4, 5, 7, 11, 13, 14, 15, 16, 17, 18, 19};
  for (int f = 0; f <= static_cast<int>(Fault::pin_not_set); ++f)
    for (auto request : kRequests)
      for (auto step : kSteps) {
        const auto error = to_service_error(request, oath::Failure{static_cast<Fault>(f), step});
        if (error.category == ServiceError::Category::fido)
          EXPECT_EQ(fido_codes.count(error.code), 1u)
            << oath::to_string(static_cast<Fault>(f)) << " " << int{error.code};
        else
          EXPECT_TRUE(error.code == 3 || error.code == 4);
      }
}

TEST(ErrorTable, ContextsCarryTheDetailButNeverTheStepOfConnecting) {
  const auto gone = to_service_error(
    Request::info, oath::Failure{Fault::no_service, Step::connect, "SCARD_E_NO_SERVICE: x"});
#ifdef _WIN32
  EXPECT_EQ(gone.context, "the Smart Card service is not reachable (SCARD_E_NO_SERVICE: x); "
                          "start it with: sc start SCardSvr");
#else
  EXPECT_EQ(gone.context,
            "pcscd is not reachable (SCARD_E_NO_SERVICE: x); start it with: sudo systemctl start "
            "pcscd");
#endif
  const auto list = to_service_error(
    Request::info, oath::Failure{Fault::status, Step::list, "status word 6F00", 0x6F00});
  EXPECT_EQ(list.context, "LIST: status word 6F00");
  const auto timeout = to_service_error(Request::code, oath::Failure{Fault::touch_timeout,
                                                                     Step::calculate, "x"});
  EXPECT_EQ(timeout.context, "");
}

} // namespace
} // namespace backend
