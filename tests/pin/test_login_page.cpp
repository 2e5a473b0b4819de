// The PIN login page and its verification worker.
#include "caf/all.hpp"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <functional>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "app_system.h"
#include "errors.h"
#include "fake_fido_service.h"
#include "journal.h"
#include "log_capture.h"
#include "pin/login_page.h"
#include "widget_probe.h"

using fake::request;
using pin_test::Journal;
using pin_test::wait_for;
using testing_support::LogCapture;
using testing_support::accessible_text;
using testing_support::pixels_changed_by_focus;

namespace {

class LoginPageTest : public ::testing::Test {
protected:
  fake::FidoService service{*app_system};
  Journal window{*app_system}; // stands for the main window

  std::unique_ptr<LoginPage> make_page() {
    return std::make_unique<LoginPage>(nullptr, window.handle(), service.handle());
  }
  static QLineEdit* pin_edit(LoginPage& page) { return page.findChild<QLineEdit*>("le_pin"); }
  static QPushButton* go(LoginPage& page) { return page.findChild<QPushButton*>("bt_go"); }
  static QString message(LoginPage& page) { return page.findChild<QLabel*>("lb_msg")->text(); }

  // Types `pin`, clicks Go and waits for the outcome's text and the button.
  static bool submit(LoginPage& page, const QString& pin) {
    page.findChild<QLabel*>("lb_msg")->clear();
    pin_edit(page)->setText(pin);
    QTest::mouseClick(go(page), Qt::LeftButton);
    return wait_for([&] { return !message(page).isEmpty() && go(page)->isEnabled(); });
  }
};

} // namespace

TEST_F(LoginPageTest, StartsIdleWithAnEmptyMessageAndAMaskedField) {
  auto page = make_page();
  EXPECT_EQ(page->objectName(), "LoginPage");
  EXPECT_EQ(page->size(), QSize(219, 139));
  EXPECT_EQ(page->styleSheet(), "font: 13px \"Tahoma\";");
  EXPECT_EQ(page->findChild<QLabel*>("label")->text(), "Please enter your PIN:");
  EXPECT_EQ(message(*page), "");
  EXPECT_EQ(pin_edit(*page)->echoMode(), QLineEdit::Password);
  EXPECT_EQ(pin_edit(*page)->placeholderText(), "PIN");
  EXPECT_TRUE(go(*page)->isEnabled());
  EXPECT_TRUE(go(*page)->isFlat());
  EXPECT_TRUE(go(*page)->text().isEmpty());
  EXPECT_FALSE(go(*page)->icon().isNull());
  EXPECT_EQ(go(*page)->iconSize(), QSize(40, 40));
  EXPECT_EQ(service.count(request::verify), 0);
}

TEST_F(LoginPageTest, TypingGoesToThePinFieldAndGoSaysWhatItDoes) {
  auto page = make_page();
  testing_support::PageHost window; // the page may come after the window is shown
  ASSERT_TRUE(window.show());
  window.add(page.get());
  EXPECT_TRUE(wait_for([&] { return QApplication::focusWidget() == pin_edit(*page); }));
  EXPECT_EQ(accessible_text(go(*page), QAccessible::Name), "Log in");
  EXPECT_EQ(go(*page)->toolTip(), "Log in");
  EXPECT_GT(pixels_changed_by_focus(go(*page)), 200) << "Go shows when it has the focus";
}

TEST_F(LoginPageTest, AcceptedPinGoesToTheMainWindowAndNeverToTheOutput) {
  service.set_pin("4711");
  LogCapture log;
  ::testing::internal::CaptureStdout();
  auto page = make_page();
  ASSERT_TRUE(submit(*page, "4711"));
  ASSERT_TRUE(wait_for([&] { return window.count("pin") == 1; }));
  auto out = ::testing::internal::GetCapturedStdout();

  EXPECT_EQ(message(*page), "PIN OK.");
  EXPECT_EQ(service.verified_pins(), std::vector<std::string>{"4711"});
  EXPECT_EQ(window.first("pin")->args, std::vector<std::string>{"4711"});
  EXPECT_EQ(log.at(spdlog::level::info), std::vector<std::string>{"PIN OK"});
  EXPECT_FALSE(log.mentions("4711"));
  EXPECT_NE(out.find("PIN OK"), std::string::npos) << "the log line reaches stdout";
  EXPECT_EQ(out.find("4711"), std::string::npos);
}

TEST_F(LoginPageTest, EmptyPinIsVerifiedLikeAnyOther) {
  auto page = make_page();
  service.set_pin("1234");
  ASSERT_TRUE(submit(*page, ""));
  EXPECT_EQ(message(*page), "Wrong PIN.");

  service.set_pin("");
  ASSERT_TRUE(submit(*page, ""));
  EXPECT_EQ(message(*page), "PIN OK.");
  EXPECT_EQ(service.verified_pins(), (std::vector<std::string>{"", ""}));
  ASSERT_TRUE(wait_for([&] { return window.count("pin") == 1; }));
  EXPECT_EQ(window.first("pin")->args, std::vector<std::string>{""});
}

TEST_F(LoginPageTest, WrongPinKeepsTheTextAndAllowsAnotherTry) {
  service.set_pin("1234");
  LogCapture log;
  auto page = make_page();
  ASSERT_TRUE(submit(*page, "12345"));
  EXPECT_EQ(message(*page), "Wrong PIN.");
  EXPECT_EQ(pin_edit(*page)->text(), "12345");
  EXPECT_EQ(log.at(spdlog::level::info), std::vector<std::string>{"Wrong PIN"});
  EXPECT_FALSE(log.mentions("12345"));

  ASSERT_TRUE(submit(*page, "1234"));
  EXPECT_EQ(message(*page), "PIN OK.");
  ASSERT_TRUE(wait_for([&] { return window.count("pin") == 1; }));
  EXPECT_EQ(window.first("pin")->args, std::vector<std::string>{"1234"});
}

TEST_F(LoginPageTest, FailedVerificationShowsAndLogsTheErrorText) {
  auto err = make_error(fido_error::pin_auth_blocked);
  auto text = error_text(*app_system, err);
  ASSERT_FALSE(text.empty());
  service.fail(request::verify, err);
  LogCapture log;
  auto page = make_page();
  ASSERT_TRUE(submit(*page, "1234"));
  EXPECT_EQ(message(*page).toStdString(), text);
  EXPECT_EQ(log.at(spdlog::level::err),
            std::vector<std::string>{"Failed to verify PIN. Error: " + text});
  EXPECT_TRUE(log.at(spdlog::level::info).empty());

  // A missing service handle fails at once and is reported the same way.
  LogCapture log2;
  LoginPage orphan{nullptr, window.handle(), fido_otp_actor{}};
  ASSERT_TRUE(submit(orphan, "1234"));
  auto missing = error_text(*app_system, caf::sec::invalid_argument);
  EXPECT_EQ(message(orphan).toStdString(), missing);
  EXPECT_EQ(log2.at(spdlog::level::err),
            std::vector<std::string>{"Failed to verify PIN. Error: " + missing});
  EXPECT_EQ(window.count("pin"), 0);
}

TEST_F(LoginPageTest, EnterClicksGoAndDoesNothingWhileVerifying) {
  auto page = make_page();
  std::vector<std::function<void()>> jobs;
  page->set_thread_starter([&](std::function<void()> job) { jobs.push_back(std::move(job)); });
  QSignalSpy clicks(go(*page), &QPushButton::clicked);
  service.set_pin("1234");
  pin_edit(*page)->setText("1234");

  QTest::keyClick(pin_edit(*page), Qt::Key_Return);
  EXPECT_EQ(clicks.count(), 1);
  EXPECT_EQ(jobs.size(), 1u);
  EXPECT_FALSE(go(*page)->isEnabled());

  QTest::keyClick(pin_edit(*page), Qt::Key_Return);
  QTest::mouseClick(go(*page), Qt::LeftButton);
  EXPECT_EQ(clicks.count(), 1);
  EXPECT_EQ(jobs.size(), 1u);

  jobs[0](); // the worker, run here: it answers through the page's actor
  ASSERT_TRUE(wait_for([&] { return go(*page)->isEnabled(); }));
  EXPECT_EQ(message(*page), "PIN OK.");
  QTest::keyClick(pin_edit(*page), Qt::Key_Enter);
  EXPECT_EQ(jobs.size(), 2u);
}

TEST_F(LoginPageTest, ThreadThatCannotStartIsReportedAndTheButtonComesBack) {
  auto page = make_page();
  page->set_thread_starter([](std::function<void()>) {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  });
  pin_edit(*page)->setText("1234");
  QTest::mouseClick(go(*page), Qt::LeftButton);
  EXPECT_EQ(message(*page), "Could not start the PIN check.");
  EXPECT_TRUE(go(*page)->isEnabled());
  EXPECT_EQ(service.count(request::verify), 0);
}

TEST_F(LoginPageTest, PageDestroyedWhileItsWorkerWaitsIsLeftAlone) {
  Journal held{*app_system, {"1234", true, {true, ""}, {}, "verify"}};
  auto page = std::make_unique<LoginPage>(nullptr, window.handle(), held.service());
  pin_edit(*page)->setText("1234");
  QTest::mouseClick(go(*page), Qt::LeftButton);
  ASSERT_TRUE(wait_for([&] { return held.count("verify") == 1; }));
  page.reset();
  held.release(true);
  // The worker finishes: the main window still gets the PIN, the page's
  // messages are dropped.
  ASSERT_TRUE(wait_for([&] { return window.count("pin") == 1; }));
  QApplication::processEvents();
  EXPECT_EQ(window.kinds(), std::vector<std::string>{"pin"});
}

// The worker alone, with one journal standing for the page, the service and
// the main window: its entries are in the order the worker sent them.
TEST(VerifyPinWorker, SendsTheTextThenThePinThenEnable) {
  Journal all{*app_system};
  verify_pin_worker(all.handle(), all.service(), all.handle(), "1234");
  ASSERT_TRUE(wait_for([&] { return all.count("enable") == 1; }));
  EXPECT_EQ(all.kinds(), (std::vector<std::string>{"verify", "msg", "pin", "enable"}));
  auto entries = all.entries();
  EXPECT_EQ(entries[0].args, std::vector<std::string>{"1234"});
  EXPECT_EQ(entries[1].args, std::vector<std::string>{"PIN OK."});
  EXPECT_EQ(entries[2].args, std::vector<std::string>{"1234"});
}

TEST(VerifyPinWorker, WrongPinOrNoMainWindowSendsNoPin) {
  Journal wrong{*app_system};
  verify_pin_worker(wrong.handle(), wrong.service(), wrong.handle(), "0000");
  ASSERT_TRUE(wait_for([&] { return wrong.count("enable") == 1; }));
  EXPECT_EQ(wrong.kinds(), (std::vector<std::string>{"verify", "msg", "enable"}));
  EXPECT_EQ(wrong.entries()[1].args, std::vector<std::string>{"Wrong PIN."});

  Journal alone{*app_system};
  verify_pin_worker(alone.handle(), alone.service(), caf::actor{}, "1234");
  ASSERT_TRUE(wait_for([&] { return alone.count("enable") == 1; }));
  EXPECT_EQ(alone.kinds(), (std::vector<std::string>{"verify", "msg", "enable"}));
  EXPECT_EQ(alone.entries()[1].args, std::vector<std::string>{"PIN OK."});
}
