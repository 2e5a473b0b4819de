// What the PIN pages' workers share: a worker that throws still reports.
#include "caf/all.hpp"

#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app_system.h"
#include "journal.h"
#include "log_capture.h"
#include "pin/page_worker.h"

using pin_test::Journal;
using pin_test::wait_for;
using testing_support::LogCapture;
using strings = std::vector<std::string>;

// Whatever a job throws is logged with what it says, the page shows the
// worker's failure text, and the button still comes back last.
TEST(PageWorker, ExceptionIsLoggedAndShownBeforeTheButtonComesBack) {
  LogCapture log;
  Journal standard{*app_system};
  Journal other{*app_system};
  {
    enable_on_exit guard{standard.handle()};
    run_worker(standard.handle(), "LoginPage", "Could not start the PIN check.",
               [] { throw std::runtime_error("out of handles"); });
  }
  {
    enable_on_exit guard{other.handle()};
    run_worker(other.handle(), "SetPinWidget", "Could not start the PIN change.", [] { throw 42; });
  }
  ASSERT_TRUE(wait_for(
    [&] { return standard.count("enable") == 1 && other.count("enable") == 1; }));
  EXPECT_EQ(standard.kinds(), (strings{"msg", "enable"}));
  EXPECT_EQ(standard.entries()[0].args, strings{"Could not start the PIN check."});
  EXPECT_EQ(other.kinds(), (strings{"msg", "enable"}));
  EXPECT_EQ(other.entries()[0].args, strings{"Could not start the PIN change."});
  EXPECT_EQ(log.at(spdlog::level::err),
            (strings{"[LoginPage] worker failed: out of handles",
                     "[SetPinWidget] worker failed: unknown exception"}));

  // A job that ends normally reports nothing of its own.
  Journal quiet{*app_system};
  {
    enable_on_exit guard{quiet.handle()};
    run_worker(quiet.handle(), "LoginPage", "Could not start the PIN check.", [] {});
  }
  ASSERT_TRUE(wait_for([&] { return quiet.count("enable") == 1; }));
  EXPECT_EQ(quiet.kinds(), strings{"enable"});
}
