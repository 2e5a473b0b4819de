// The set/change PIN page and its worker.
#include "caf/all.hpp"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include <chrono>
#include <functional>
#include <system_error>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "app_system.h"
#include "errors.h"
#include "fake_fido_service.h"
#include "journal.h"
#include "log_capture.h"
#include "pin/password_line_edit.h"
#include "pin/set_pin_widget.h"
#include "widget_probe.h"

using fake::request;
using pin_test::Journal;
using pin_test::wait_for;
using testing_support::LogCapture;
using testing_support::accessible_text;
using testing_support::pixels_changed_by_focus;
using testing_support::show_active;
using changes = std::vector<std::pair<std::string, std::string>>;
using strings = std::vector<std::string>;

namespace {

const char* const mismatch_text = "new password and confirm password do not match";

class SetPinWidgetTest : public ::testing::Test {
protected:
  fake::FidoService service{*app_system};
  Journal window{*app_system}; // stands for the main window

  std::unique_ptr<SetPinWidget> make_page(bool key_has_pin) {
    service.set_has_access(key_has_pin);
    return std::make_unique<SetPinWidget>(nullptr, window.handle(), service.handle());
  }
  static QLineEdit* field(SetPinWidget& page, const char* name) {
    return page.findChild<QLineEdit*>(name);
  }
  static QPushButton* button(SetPinWidget& page) {
    return page.findChild<QPushButton*>("bt_set_pin");
  }
  static QString message(SetPinWidget& page) { return page.findChild<QLabel*>("lb_msg")->text(); }

  // Fills the fields, clicks the button and waits for the worker's last text
  // (one that is not "Please touch the key...") and the button.
  static bool submit(SetPinWidget& page, const QString& old_pin, const QString& new_pin,
                     const QString& confirmation) {
    page.findChild<QLabel*>("lb_msg")->clear();
    field(page, "le_old_pin")->setText(old_pin);
    field(page, "le_new_pin")->setText(new_pin);
    field(page, "le_new_pin1")->setText(confirmation);
    QTest::mouseClick(button(page), Qt::LeftButton);
    return wait_for([&] {
      auto text = message(page);
      return !text.isEmpty() && text != "Please touch the key..." && button(page)->isEnabled();
    });
  }
};

} // namespace

TEST_F(SetPinWidgetTest, KeyWithPinOpensInChangeModeWithoutPinInSetMode) {
  auto change = make_page(true);
  EXPECT_EQ(change->objectName(), "SetPinWidget");
  EXPECT_EQ(change->size(), QSize(222, 222));
  EXPECT_EQ(change->styleSheet(), "font: 13px \"Tahoma\";");
  EXPECT_EQ(message(*change), "");
  EXPECT_TRUE(change->findChild<QLabel*>("lb_msg")->wordWrap());
  EXPECT_FALSE(field(*change, "le_old_pin")->isHidden());
  const std::pair<const char*, const char*> fields[] = {
    {"le_old_pin", "Old PIN"}, {"le_new_pin", "New PIN"}, {"le_new_pin1", "Confirm New PIN"}};
  for (auto [name, placeholder] : fields) {
    auto edit = field(*change, name);
    ASSERT_NE(edit, nullptr) << name;
    EXPECT_NE(dynamic_cast<PasswordLineEdit*>(edit), nullptr) << name;
    EXPECT_EQ(edit->placeholderText(), placeholder);
    EXPECT_EQ(edit->echoMode(), QLineEdit::Password) << name;
  }
  EXPECT_TRUE(button(*change)->isEnabled());
  EXPECT_TRUE(button(*change)->isFlat());
  EXPECT_EQ(button(*change)->iconSize(), QSize(32, 32));
  EXPECT_FALSE(button(*change)->icon().isNull());

  auto set = make_page(false);
  EXPECT_TRUE(field(*set, "le_old_pin")->isHidden());
  EXPECT_EQ(field(*set, "le_old_pin")->text(), "");
  EXPECT_EQ(message(*set), "");
  EXPECT_EQ(service.count(request::has_access), 2);
}

TEST_F(SetPinWidgetTest, TypingGoesToTheFirstShownFieldAndTheButtonFollowsTheMode) {
  // Set mode, shown on its own: the old-PIN field is hidden.
  auto set = make_page(false);
  ASSERT_TRUE(show_active(set.get()));
  EXPECT_EQ(QApplication::focusWidget(), field(*set, "le_new_pin"));
  EXPECT_EQ(accessible_text(button(*set), QAccessible::Name), "Set PIN");
  EXPECT_EQ(button(*set)->toolTip(), "Set PIN");
  EXPECT_GT(pixels_changed_by_focus(button(*set)), 100) << "the button shows when it has the focus";
  set.reset();

  // Change mode, added to a window that is already shown, as the main window does.
  testing_support::PageHost window;
  ASSERT_TRUE(window.show());
  auto change = make_page(true);
  window.add(change.get());
  EXPECT_TRUE(wait_for([&] { return QApplication::focusWidget() == field(*change, "le_old_pin"); }));
  EXPECT_EQ(accessible_text(button(*change), QAccessible::Name), "Change PIN");
  EXPECT_EQ(button(*change)->toolTip(), "Change PIN");
  for (auto name : {"le_old_pin", "le_new_pin", "le_new_pin1"}) {
    auto eye = field(*change, name)->findChild<QToolButton*>();
    ASSERT_NE(eye, nullptr);
    EXPECT_EQ(accessible_text(eye, QAccessible::Name), "Show PIN") << name;
    EXPECT_EQ(eye->toolTip(), "Show PIN") << name;
  }
}

TEST_F(SetPinWidgetTest, ConfirmationMustMatchByteForByte) {
  auto page = make_page(true);
  const std::pair<QString, QString> cases[] = {
    {"1234", "1234 "}, {"abcd", "ABCD"}, {"1234", ""}, {"ä1", "a\u03081"}};
  for (auto& [new_pin, confirmation] : cases) {
    ASSERT_TRUE(submit(*page, "0000", new_pin, confirmation)) << new_pin.toStdString();
    EXPECT_EQ(message(*page), mismatch_text) << confirmation.toStdString();
  }
  EXPECT_EQ(service.count(request::check_compliant), 0);
  EXPECT_EQ(service.count(request::change), 0);
  EXPECT_EQ(field(*page, "le_new_pin1")->text(), "a\u03081") << "fields are kept";
}

TEST_F(SetPinWidgetTest, PolicyVerdictIsShownVerbatimAndStopsTheChange) {
  const std::string reason = "  PIN zu kurz – mindestens 6 Ziffern.\n";
  service.set_compliance({false, reason});
  auto page = make_page(true);
  // Empty new PIN and confirmation pass the local check.
  ASSERT_TRUE(submit(*page, "1234", "", ""));
  EXPECT_EQ(message(*page).toStdString(), reason);
  EXPECT_EQ(service.count(request::check_compliant), 1);
  EXPECT_EQ(service.count(request::change), 0);
}

TEST_F(SetPinWidgetTest, SetModeSendsTheEmptyOldPinAndHandsTheNewPinOverTwoSecondsLater) {
  LogCapture log;
  ::testing::internal::CaptureStdout();
  auto page = make_page(false);
  // Text in the hidden field does not count.
  field(*page, "le_old_pin")->setText("9999");
  field(*page, "le_new_pin")->setText("246813");
  field(*page, "le_new_pin1")->setText("246813");
  QTest::mouseClick(button(*page), Qt::LeftButton);
  ASSERT_TRUE(wait_for([&] { return message(*page) == "PIN was set successfully."; }));
  auto shown = pin_test::clock::now();
  ASSERT_TRUE(wait_for([&] { return window.count("pin") == 1; }, 5000));
  auto out = ::testing::internal::GetCapturedStdout();

  EXPECT_EQ(service.changes(), (changes{{"246813", ""}}));
  auto delay = std::chrono::duration<double>(window.first("pin")->at - shown).count();
  EXPECT_GT(delay, 1.8);
  EXPECT_LT(delay, 3.0);
  EXPECT_EQ(window.first("pin")->args, strings{"246813"});
  EXPECT_TRUE(button(*page)->isEnabled());
  EXPECT_TRUE(log.lines().empty()) << "the page writes no log lines";
  EXPECT_EQ(out.find("246813"), std::string::npos);
}

TEST_F(SetPinWidgetTest, ChangeModeSendsTheNewPinBeforeTheOldOne) {
  auto page = make_page(true);
  ASSERT_TRUE(submit(*page, "1234", "5678", "5678"));
  EXPECT_EQ(message(*page), "PIN was set successfully.");
  EXPECT_EQ(service.changes(), (changes{{"5678", "1234"}}));
}

TEST_F(SetPinWidgetTest, FailedRequestsShowTheirErrorText) {
  auto page = make_page(true);
  auto policy_err = make_error(fido_error::open_device_failed);
  service.fail(request::check_compliant, policy_err);
  ASSERT_TRUE(submit(*page, "1234", "5678", "5678"));
  EXPECT_EQ(message(*page).toStdString(), error_text(*app_system, policy_err));
  EXPECT_EQ(service.count(request::change), 0);

  auto change_err = make_error(fido_error::key_timed_out);
  service.fail(request::change, change_err);
  ASSERT_TRUE(submit(*page, "1234", "5678", "5678"));
  EXPECT_EQ(message(*page).toStdString(), error_text(*app_system, change_err));
  EXPECT_EQ(service.count(request::change), 1);
  EXPECT_TRUE(service.changes().empty());
  EXPECT_EQ(field(*page, "le_new_pin")->text(), "5678") << "fields are kept";
}

TEST_F(SetPinWidgetTest, FailedAccessQueryStillLeavesAWorkingPage) {
  auto err = make_error(fido_error::open_device_failed);
  service.fail(request::has_access, err);
  auto page = std::make_unique<SetPinWidget>(nullptr, window.handle(), service.handle());
  EXPECT_EQ(message(*page).toStdString(), error_text(*app_system, err));
  EXPECT_FALSE(field(*page, "le_old_pin")->isHidden()) << "the key may have a PIN";

  // The page has its handlers: texts arrive and the button comes back.
  ASSERT_TRUE(submit(*page, "1234", "5678", "567"));
  EXPECT_EQ(message(*page), mismatch_text);
  ASSERT_TRUE(submit(*page, "1234", "5678", "5678"));
  EXPECT_EQ(message(*page), "PIN was set successfully.");
  EXPECT_EQ(service.changes(), (changes{{"5678", "1234"}}));
}

TEST_F(SetPinWidgetTest, EnterInEachFieldClicksTheButtonOnlyWhileItIsEnabled) {
  auto page = make_page(true);
  std::vector<std::function<void()>> jobs;
  page->set_thread_starter([&](std::function<void()> job) { jobs.push_back(std::move(job)); });
  QSignalSpy clicks(button(*page), &QPushButton::clicked);
  int expected = 0;
  for (auto name : {"le_old_pin", "le_new_pin", "le_new_pin1"}) {
    QTest::keyClick(field(*page, name), Qt::Key_Return);
    ++expected;
    EXPECT_EQ(clicks.count(), expected) << name;
    ASSERT_EQ(jobs.size(), size_t(expected)) << name;
    EXPECT_FALSE(button(*page)->isEnabled());
    for (auto other : {"le_old_pin", "le_new_pin", "le_new_pin1"})
      QTest::keyClick(field(*page, other), Qt::Key_Return);
    EXPECT_EQ(jobs.size(), size_t(expected)) << "disabled after Enter in " << name;
    jobs.back()(); // the worker, run here: it answers through the page's actor
    ASSERT_TRUE(wait_for([&] { return button(*page)->isEnabled(); }));
  }
  // All fields were empty: the policy check got three empty PINs.
  EXPECT_EQ(service.count(request::check_compliant), 3);
}

TEST_F(SetPinWidgetTest, ThreadThatCannotStartIsReportedAndTheButtonComesBack) {
  auto page = make_page(true);
  page->set_thread_starter([](std::function<void()>) {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  });
  QTest::mouseClick(button(*page), Qt::LeftButton);
  EXPECT_EQ(message(*page), "Could not start the PIN change.");
  EXPECT_TRUE(button(*page)->isEnabled());
  EXPECT_EQ(service.count(request::check_compliant), 0);
}

TEST_F(SetPinWidgetTest, PageDestroyedWhileTheChangeWaitsIsLeftAlone) {
  Journal held{*app_system, {"1234", true, {true, ""}, {}, "change"}};
  auto page = std::make_unique<SetPinWidget>(nullptr, window.handle(), held.service());
  field(*page, "le_old_pin")->setText("1234");
  field(*page, "le_new_pin")->setText("5678");
  field(*page, "le_new_pin1")->setText("5678");
  QTest::mouseClick(button(*page), Qt::LeftButton);
  ASSERT_TRUE(wait_for([&] { return held.count("change") == 1; }));
  page.reset();
  held.release();
  ASSERT_TRUE(wait_for([&] { return window.count("pin") == 1; }, 5000));
  EXPECT_EQ(window.first("pin")->args, strings{"5678"});
}

// The worker alone, with one journal standing for the page, the service and
// the main window: its entries are in the order the worker sent them.
TEST(SetPinWorker, TouchPromptComesBeforeTheChangeAndThePinAfterEnable) {
  Journal all{*app_system};
  set_pin_worker(all.handle(), all.handle(), all.service(), "1234", "5678", "5678");
  ASSERT_TRUE(wait_for([&] { return all.count("pin") == 1; }, 5000));
  EXPECT_EQ(all.kinds(), (strings{"compliant", "msg", "change", "msg", "enable", "pin"}));
  auto e = all.entries();
  EXPECT_EQ(e[0].args, strings{"5678"});
  EXPECT_EQ(e[1].args, strings{"Please touch the key..."});
  EXPECT_EQ(e[2].args, (strings{"5678", "1234"}));
  EXPECT_EQ(e[3].args, strings{"PIN was set successfully."});
  EXPECT_EQ(e[5].args, strings{"5678"});
}

TEST(SetPinWorker, FailedChangeOrNoMainWindowSendsNoPin) {
  Journal failing{*app_system, {"1234", true, {true, ""}, make_error(fido_error::operation_denied), ""}};
  set_pin_worker(failing.handle(), failing.handle(), failing.service(), "1234", "5678", "5678");
  // An error reply with code 0, which the actor library holds as "no error".
  Journal zero{*app_system, {"1234", true, {true, ""}, caf::error{}, ""}};
  set_pin_worker(zero.handle(), zero.handle(), zero.service(), "1234", "5678", "5678");
  Journal alone{*app_system};
  set_pin_worker(alone.handle(), caf::actor{}, alone.service(), "", "5678", "5678");
  // Long enough for a wrongly scheduled PIN to arrive.
  wait_for([] { return false; }, 2500);
  EXPECT_EQ(failing.kinds(), (strings{"compliant", "msg", "change", "msg", "enable"}));
  EXPECT_EQ(failing.entries()[3].args,
            strings{error_text(*app_system, make_error(fido_error::operation_denied))});
  EXPECT_EQ(zero.kinds(), (strings{"compliant", "msg", "change", "msg", "enable"}));
  EXPECT_EQ(zero.entries()[3].args, strings{error_text(*app_system, caf::error{})});
  EXPECT_EQ(alone.kinds(), (strings{"compliant", "msg", "change", "msg", "enable"}));
  EXPECT_EQ(alone.entries()[2].args, (strings{"5678", ""}));
}
