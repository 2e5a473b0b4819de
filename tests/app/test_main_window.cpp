#include "caf/all.hpp"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QTimer>

#include <gtest/gtest.h>

#include "app_system.h"
#include "qt_wait.h"
#include "fake_fido_service.h"
#include "free_port.h"
#include "log_capture.h"
#include "main_window/main_window.h"
#include "otp/otp_widget.h"
#include "pin/login_page.h"
#include "pin/set_pin_widget.h"
#include "wipe_log.h"

using fake::request;
using testing_support::LogCapture;

using testing_support::wait_for;

namespace {

QString label_text(QWidget& w, const char* name) {
  auto label = w.findChild<QLabel*>(name);
  return label ? label->text() : QString("<no %1>").arg(name);
}

QAction* action(QWidget& w, const char* name) {
  return w.findChild<QAction*>(name);
}

// Closes the modal dialog that `exec()` is about to show and records its state.
struct ModalProbe {
  QString title;
  QSize size, minimum, maximum;
  bool seen = false;

  void arm() {
    QTimer::singleShot(0, [this] {
      auto dialog = QApplication::activeModalWidget();
      if (!dialog)
        return;
      seen = true;
      title = dialog->windowTitle();
      dialog->resize(600, 400);
      size = dialog->size();
      minimum = dialog->minimumSize();
      maximum = dialog->maximumSize();
      dialog->close();
    });
  }
};

class MainWindowTest : public ::testing::Test {
protected:
  fake::FidoService service{*app_system};
};

} // namespace

TEST_F(MainWindowTest, FormCarriesItsNamesSizesAndTexts) {
  MainWindow w{testing_support::unused_port()};
  EXPECT_EQ(w.objectName(), "MainWindow");
  EXPECT_EQ(w.windowTitle(), "Tovrin Authenticator (G2)");
  EXPECT_EQ(w.styleSheet(), "font: 13px \"Tahoma\";");
  EXPECT_EQ(w.sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
  EXPECT_EQ(w.sizePolicy().verticalPolicy(), QSizePolicy::Minimum);
  for (auto name : {"centralwidget", "widget_2", "widget", "main_widget", "widget_3"})
    EXPECT_NE(w.findChild<QWidget*>(name), nullptr) << name;
  EXPECT_EQ(action(w, "actionOTP")->text(), "Display OTP");
  EXPECT_EQ(action(w, "actionChange_PIN")->text(), "Change PIN");
  EXPECT_EQ(action(w, "actionAbout")->text(), "About");
  EXPECT_EQ(w.findChild<QMenu*>("menuToken")->title(), "Token");
  EXPECT_EQ(w.findChild<QMenu*>("menuAbout")->title(), "Help");
  auto menus = w.findChild<QMenuBar*>("menubar")->actions();
  ASSERT_EQ(menus.size(), 2);
  EXPECT_EQ(menus[0]->menu()->objectName(), "menuToken");
  EXPECT_EQ(menus[1]->menu()->objectName(), "menuAbout");
  EXPECT_EQ(w.findChild<QWidget*>("widget")->maximumWidth(), 30);
  EXPECT_EQ(w.findChild<QWidget*>("widget_3")->minimumWidth(), 30);
  auto msg = w.findChild<QLabel*>("lb_msg");
  EXPECT_TRUE(msg->wordWrap());
  EXPECT_EQ(msg->minimumHeight(), 25);
  auto content = w.findChild<QWidget*>("main_widget")->layout();
  ASSERT_NE(content, nullptr);
  EXPECT_EQ(content->contentsMargins(), QMargins(0, 0, 0, 0));
}

TEST_F(MainWindowTest, WithoutServiceShowsTheFailureAndKeepsAboutWorking) {
  LogCapture log;
  MainWindow w{testing_support::unused_port()};
  EXPECT_TRUE(log.contains(spdlog::level::critical, "Failed to get service actor"));
  EXPECT_EQ(label_text(w, "lb_msg"), "Failed to connect to FIDO service.");
  EXPECT_FALSE(w.findChild<QMenu*>("menuToken")->isEnabled());
  EXPECT_TRUE(w.findChildren<QTimer*>().isEmpty()) << "no retry without a service";

  ModalProbe about;
  about.arm();
  action(w, "actionAbout")->trigger();
  ASSERT_TRUE(about.seen);
  EXPECT_EQ(about.title, "About");
  EXPECT_EQ(about.size, QSize(280, 150));
  EXPECT_EQ(about.minimum, QSize(280, 150));
  EXPECT_EQ(about.maximum, QSize(280, 150));
}

TEST_F(MainWindowTest, LookupAnsweredWithAnErrorIsAFailedConnection) {
  service.fail(request::lookup, make_error(fido_error::open_device_failed));
  LogCapture log;
  MainWindow w{service.publish()};
  EXPECT_TRUE(log.contains(spdlog::level::critical, "Failed to get fido otp actor"));
  EXPECT_FALSE(log.contains(spdlog::level::critical, "Failed to get service actor"));
  EXPECT_EQ(label_text(w, "lb_msg"), "Failed to connect to FIDO service.");
  EXPECT_FALSE(w.findChild<QMenu*>("menuToken")->isEnabled());
  EXPECT_EQ(service.count(request::has_access), 0);
}

TEST_F(MainWindowTest, FirstAccessQueryIsRetriedByOneTimerUntilAnswered) {
  service.fail(request::has_access, make_error(fido_error::open_device_failed), 2);
  LogCapture log;
  MainWindow w{service.publish()};
  EXPECT_TRUE(log.contains(spdlog::level::info, "get fido otp actor"));
  EXPECT_EQ(label_text(w, "lb_msg"), "Failed to open FIDO device.");
  auto timers = w.findChildren<QTimer*>();
  ASSERT_EQ(timers.size(), 1);
  EXPECT_EQ(timers[0]->interval(), 3000);
  EXPECT_TRUE(timers[0]->isActive());
  EXPECT_FALSE(w.findChild<QMenu*>("menuToken")->isEnabled());

  QMetaObject::invokeMethod(&w, "poll_token");
  EXPECT_EQ(label_text(w, "lb_msg"), "Failed to open FIDO device.");
  EXPECT_EQ(w.findChildren<QTimer*>().size(), 1);

  QMetaObject::invokeMethod(&w, "poll_token");
  EXPECT_EQ(label_text(w, "lb_msg"), "");
  EXPECT_EQ(service.count(request::has_access), 3);
  // The answer (no PIN) opens the way to the OTP page, once.
  EXPECT_TRUE(wait_for([&] { return w.findChild<QMenu*>("menuToken")->isEnabled(); }));
  EXPECT_TRUE(wait_for([&] { return w.findChildren<QTimer*>().isEmpty(); }));
  EXPECT_EQ(service.count(request::check_policy), 1);
}

TEST_F(MainWindowTest, PinActionFollowsPolicyAndAccess) {
  MainWindow w{service.publish()};
  auto pin_action = action(w, "actionChange_PIN");
  ASSERT_TRUE(wait_for([&] { return w.findChild<QMenu*>("menuToken")->isEnabled(); }));

  struct row {
    const char* what;
    bool policy_fails, policy, has_access_fails, has_access;
    bool enabled;
    const char* text;
  };
  const row rows[] = {
    {"policy off", false, false, false, true, false, "Change PIN"},
    {"policy query fails", true, true, false, true, false, "Change PIN"},
    {"policy on, PIN set", false, true, false, true, true, "Change PIN"},
    {"policy on, no PIN", false, true, false, false, true, "Set PIN"},
    {"policy on, access query fails", false, true, true, true, true, "Set PIN"},
  };
  for (auto& r : rows) {
    LogCapture log;
    service.set_policy_enabled(r.policy);
    service.set_has_access(r.has_access);
    if (r.policy_fails)
      service.fail(request::check_policy, make_error(fido_error::open_device_failed));
    if (r.has_access_fails)
      service.fail(request::has_access, make_error(fido_error::open_device_failed));
    w.change_pin_button_status();
    EXPECT_EQ(pin_action->isEnabled(), r.enabled) << r.what;
    EXPECT_EQ(pin_action->text(), r.text) << r.what;
    EXPECT_EQ(log.contains(spdlog::level::err,
                           "[change_pin_button_status] Failed to check is_access_empty"),
              r.has_access_fails)
      << r.what;
  }
}

namespace {

OtpWidget* otp_page(MainWindow& w) {
  return w.findChild<OtpWidget*>();
}

} // namespace

TEST_F(MainWindowTest, KeyWithoutPinOpensTheOtpPageAtOnce) {
  service.set_tokens({{"GitHub", 30}});
  MainWindow w{service.publish()};
  EXPECT_EQ(w.findChild<LoginPage*>(), nullptr);
  ASSERT_TRUE(wait_for([&] { return otp_page(w) != nullptr; }));
  EXPECT_EQ(otp_page(w)->parentWidget(), w.findChild<QWidget*>("main_widget"));
  EXPECT_TRUE(w.findChild<QMenu*>("menuToken")->isEnabled());
  // Policy disabled: no PIN action.
  EXPECT_FALSE(action(w, "actionChange_PIN")->isEnabled());
  // The page asks for codes with the empty PIN.
  ASSERT_TRUE(wait_for([&] { return !service.otp_requests().empty(); }));
  EXPECT_EQ(service.otp_requests().front().pin, "");
}

TEST_F(MainWindowTest, KeyWithPinShowsTheLoginPageThenTheOtpPageWithThatPin) {
  service.set_has_access(true);
  service.set_pin("4321");
  service.set_tokens({{"GitHub", 30}});
  MainWindow w{service.publish()};
  auto login = w.findChild<LoginPage*>();
  ASSERT_NE(login, nullptr);
  EXPECT_EQ(login->parentWidget(), w.findChild<QWidget*>("main_widget"));
  EXPECT_EQ(w.size(), w.sizeHint()) << "the window fits the login page";
  EXPECT_FALSE(w.findChild<QMenu*>("menuToken")->isEnabled());

  QPointer<LoginPage> login_alive{login};
  caf::anon_send(w.as_actor(), ::pin_atom{}, std::string{"4321"});
  ASSERT_TRUE(wait_for([&] { return otp_page(w) != nullptr && login_alive.isNull(); }));
  EXPECT_TRUE(w.findChild<QMenu*>("menuToken")->isEnabled());
  ASSERT_TRUE(wait_for([&] { return !service.otp_requests().empty(); }));
  EXPECT_EQ(service.otp_requests().front().pin, "4321");
  EXPECT_EQ(service.verified_pins(), std::vector<std::string>{"4321"});
}

TEST_F(MainWindowTest, DisplayOtpRebuildsThePageWithTheStoredPin) {
  service.set_has_access(true);
  service.set_pin("4321");
  service.set_tokens({{"GitHub", 30}});
  MainWindow w{service.publish()};
  caf::anon_send(w.as_actor(), ::pin_atom{}, std::string{"4321"});
  ASSERT_TRUE(wait_for([&] { return otp_page(w) != nullptr; }));
  QPointer<OtpWidget> first{otp_page(w)};
  ASSERT_TRUE(wait_for([&] { return service.verified_pins().size() == 1; }));

  action(w, "actionOTP")->trigger();
  EXPECT_TRUE(first.isNull());
  ASSERT_NE(otp_page(w), nullptr);
  EXPECT_EQ(w.findChildren<OtpWidget*>().size(), 1);
  ASSERT_TRUE(wait_for([&] { return service.verified_pins().size() == 2; }));
  EXPECT_EQ(service.verified_pins().back(), "4321");
}

TEST_F(MainWindowTest, PinActionOpensTheSetPinPageAndANewPinBringsCodesBack) {
  service.set_has_access(true);
  service.set_pin("4321");
  service.set_policy_enabled(true);
  service.set_tokens({{"GitHub", 30}});
  MainWindow w{service.publish()};
  caf::anon_send(w.as_actor(), ::pin_atom{}, std::string{"4321"});
  ASSERT_TRUE(wait_for([&] { return otp_page(w) != nullptr; }));

  action(w, "actionChange_PIN")->trigger();
  EXPECT_EQ(otp_page(w), nullptr);
  ASSERT_NE(w.findChild<SetPinWidget*>(), nullptr);
  EXPECT_TRUE(w.findChild<QMenu*>("menuToken")->isEnabled());

  // What the set/change page sends after a successful change.
  service.set_pin("98765");
  caf::anon_send(w.as_actor(), ::pin_atom{}, std::string{"98765"});
  ASSERT_TRUE(wait_for([&] { return otp_page(w) != nullptr; }));
  EXPECT_EQ(w.findChild<SetPinWidget*>(), nullptr);
  EXPECT_EQ(action(w, "actionChange_PIN")->text(), "Change PIN");
  ASSERT_TRUE(wait_for([&] {
    auto requests = service.otp_requests();
    return !requests.empty() && requests.back().pin == "98765";
  }));
}

// The window's PIN, the PIN each OTP page holds and the copy in each
// (pin_atom, PIN) message, the delayed one of the set/change PIN page
// included, are wiped when they are let go.
TEST_F(MainWindowTest, PinsAreWipedWhenReplacedAndWhenTheWindowCloses) {
  testing_support::WipeLog wipes;
  service.set_has_access(true);
  service.set_pin("9999"); // the pages are refused: no polling actor gets a PIN
  service.set_tokens({{"GitHub", 30}});
  {
    MainWindow w{service.publish()};
    caf::anon_send(w.as_actor(), ::pin_atom{}, std::string{"2580"});
    ASSERT_TRUE(wait_for([&] { return otp_page(w) != nullptr; }));
    EXPECT_EQ(wipes.count("2580"), 1) << "the message's copy";
    QPointer<OtpWidget> first{otp_page(w)};

    caf::anon_send(w.as_actor(), ::pin_atom{}, std::string{"0852"});
    ASSERT_TRUE(wait_for([&] { return first.isNull() && otp_page(w) != nullptr; }));
    EXPECT_EQ(wipes.count("2580"), 3) << "the window's old PIN and the first page's";
    EXPECT_EQ(wipes.count("0852"), 1);
  }
  EXPECT_EQ(wipes.count("0852"), 3) << "the window's PIN and its page's";
}

// Texts from the service (error contexts, policy reasons) are shown as they
// are: no message label reads them as HTML.
TEST_F(MainWindowTest, MessageLabelsShowServiceTextsAsPlainText) {
  const std::string markup = "<b>bold</b> <img src=\"x\">";
  service.fail(request::has_access,
               caf::error{static_cast<uint8_t>(fido_error::no_otp_token), error_category::fido,
                          caf::make_message(markup)},
               100);
  MainWindow window{service.publish()};
  LoginPage login{nullptr, caf::actor{}, service.handle()};
  SetPinWidget set_pin{nullptr, caf::actor{}, service.handle()};
  OtpWidget otp{nullptr, service.handle(), ""};
  caf::anon_send(login.as_actor(), ::msg_atom{}, markup);
  caf::anon_send(otp.as_actor(), ::msg_atom{}, markup);
  for (QWidget* page : std::initializer_list<QWidget*>{&window, &login, &set_pin, &otp}) {
    auto label = page->findChild<QLabel*>("lb_msg");
    ASSERT_NE(label, nullptr) << page->objectName().toStdString();
    EXPECT_TRUE(wait_for([&] { return label->text().contains("<b>bold</b> <img src=\"x\">"); }))
      << page->objectName().toStdString() << ": " << label->text().toStdString();
    EXPECT_EQ(label->textFormat(), Qt::PlainText) << page->objectName().toStdString();
  }
}
