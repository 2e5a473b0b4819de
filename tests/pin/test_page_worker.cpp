// What the PIN pages' workers share: a worker that throws still reports.
#include "caf/all.hpp"

#include <stdexcept>
#include <string>
#include <vector>

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include "app_system.h"
#include "fake_fido_service.h"
#include "journal.h"
#include "log_capture.h"
#include "pin/login_page.h"
#include "pin/page_worker.h"
#include "pin/set_pin_widget.h"
#include "wipe_log.h"

using pin_test::Journal;
using pin_test::wait_for;
using testing_support::LogCapture;
using testing_support::WipeLog;
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

// The workers' copies of the PINs are wiped when they end, and a job that
// never runs (its thread could not start, or the page was closed first)
// wipes the PINs it was given when it is dropped.
TEST(PageWorker, PinsAreWipedWhenTheWorkerOrItsJobEnds) {
  WipeLog wipes;
  Journal all{*app_system};
  verify_pin_worker(all.handle(), all.service(), all.handle(), "86420");
  EXPECT_EQ(wipes.count("86420"), 1);
  set_pin_worker(all.handle(), caf::actor{}, all.service(), "11223", "44556", "44556");
  EXPECT_EQ(wipes.count("11223"), 1);
  EXPECT_EQ(wipes.count("44556"), 2) << "the new PIN and its confirmation";

  fake::FidoService service{*app_system};
  service.set_has_access(true);
  std::vector<std::function<void()>> jobs;
  auto keep = [&](std::function<void()> job) { jobs.push_back(std::move(job)); };
  LoginPage login{nullptr, caf::actor{}, service.handle()};
  login.set_thread_starter(keep);
  login.findChild<QLineEdit*>("le_pin")->setText("97531");
  QTest::mouseClick(login.findChild<QPushButton*>("bt_go"), Qt::LeftButton);
  SetPinWidget set_pin{nullptr, caf::actor{}, service.handle()};
  set_pin.set_thread_starter(keep);
  set_pin.findChild<QLineEdit*>("le_old_pin")->setText("12121");
  set_pin.findChild<QLineEdit*>("le_new_pin")->setText("34343");
  set_pin.findChild<QLineEdit*>("le_new_pin1")->setText("56565");
  QTest::mouseClick(set_pin.findChild<QPushButton*>("bt_set_pin"), Qt::LeftButton);
  ASSERT_EQ(jobs.size(), 2u);
  for (auto text : {"97531", "12121", "34343", "56565"})
    EXPECT_EQ(wipes.count(text), 0) << text << " is still the job's";
  jobs.clear();
  for (auto text : {"97531", "12121", "34343", "56565"})
    EXPECT_EQ(wipes.count(text), 1) << text;
  EXPECT_EQ(login.findChild<QLineEdit*>("le_pin")->text(), "97531") << "the fields keep their texts";
  EXPECT_EQ(set_pin.findChild<QLineEdit*>("le_new_pin")->text(), "34343");
}
