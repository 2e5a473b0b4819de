// The application's main road in-process (the real main window and pages)
// against the real fido-otp-sim executable over TCP.

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <regex>
#include <string>

#include "caf/all.hpp"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include "app_system.h"
#include "qt_wait.h"
#include "sim_process.h"
#include "main_window/main_window.h"
#include "otp/otp_widget.h"
#include "pin/login_page.h"
#include "pin/set_pin_widget.h"
#include "request.h"
#include "sim/key_config.h"
#include "crypto/totp.h"

using namespace std::chrono_literals;

using testing_support::wait_for;

namespace {

// The simulated service, started from this build.
class Sim : public testing_support::SimProcess {
public:
  explicit Sim(const std::string& config_json = "") : SimProcess(FIDO_OTP_SIM_PATH, config_json) {}
};

// The code oathtool computes for a base32 secret at `time`.
std::string oathtool(const std::string& secret, uint64_t time, uint32_t period, int digits,
                     const char* algorithm = "SHA1") {
  auto cmd = std::string("oathtool --totp=") + algorithm + " --base32 -d "
             + std::to_string(digits) + " -s " + std::to_string(period) + " -N @"
             + std::to_string(time) + " '" + secret + "' 2>/dev/null";
  std::string result;
  if (auto pipe = ::popen(cmd.c_str(), "r")) {
    char buf[64];
    while (::fgets(buf, sizeof(buf), pipe))
      result += buf;
    ::pclose(pipe);
  }
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r'))
    result.pop_back();
  return result;
}

// Captures this process's standard output for as long as it lives.
class StdoutCapture {
public:
  StdoutCapture() { ::testing::internal::CaptureStdout(); }
  ~StdoutCapture() {
    if (!taken_)
      ::testing::internal::GetCapturedStdout();
  }
  std::string take() {
    taken_ = true;
    return ::testing::internal::GetCapturedStdout();
  }

private:
  bool taken_ = false;
};

uint64_t now() {
  return static_cast<uint64_t>(std::time(nullptr));
}

OtpWidget* otp_page(MainWindow& w) {
  return w.findChild<OtpWidget*>();
}

QString label(QWidget* w, const char* name = "lb_msg") {
  auto l = w ? w->findChild<QLabel*>(name) : nullptr;
  return l ? l->text() : QString();
}

// The copy button's clipboard text once the page shows a code.
QString wait_for_code(MainWindow& w, int ms = 6000) {
  QString code;
  wait_for(
    [&] {
      auto page = otp_page(w);
      if (!page || page->displayed_code().isEmpty())
        return false;
      page->findChild<QPushButton*>("pushButton")->click();
      code = QApplication::clipboard()->text();
      return !code.isEmpty();
    },
    ms);
  return code;
}

// The code must be the one for the current step or the one before (a step
// may have passed between display and check).
void expect_current_code(const QString& shown, const std::string& secret, uint32_t period,
                         int digits) {
  auto t = now();
  auto current = oathtool(secret, t, period, digits);
  auto previous = oathtool(secret, t - period, period, digits);
  ASSERT_FALSE(current.empty()) << "oathtool missing";
  EXPECT_TRUE(shown.toStdString() == current || shown.toStdString() == previous)
    << "shown " << shown.toStdString() << ", oathtool " << current << " / " << previous;
}

} // namespace

TEST(MainRoad, KeyWithoutPinShowsLiveCodesAtOnce) {
  Sim sim;
  StdoutCapture stdout_capture;
  MainWindow w{sim.port()};
  w.show();
  ASSERT_TRUE(wait_for([&] { return otp_page(w) != nullptr; }));
  auto combo = otp_page(w)->findChild<QComboBox*>("comboBox");
  ASSERT_TRUE(wait_for([&] { return combo->count() == 3; }));
  EXPECT_EQ(combo->itemText(0), "VPN");
  EXPECT_EQ(combo->itemText(2), "GitHub");
  EXPECT_EQ(combo->currentText(), "GitHub");
  EXPECT_TRUE(w.findChild<QMenu*>("menuToken")->isEnabled());
  // Default key, policy disabled: no PIN action.
  EXPECT_FALSE(w.findChild<QAction*>("actionChange_PIN")->isEnabled());

  auto key = sim::default_key();
  auto code = wait_for_code(w);
  expect_current_code(code, key.tokens[0].secret_base32, 30, 6);

  // Another token: its own code, 8 digits.
  combo->setCurrentText("VPN");
  ASSERT_TRUE(wait_for([&] { return otp_page(w)->displayed_code().size() == 8; }, 6000));
  expect_current_code(wait_for_code(w), key.tokens[2].secret_base32, 30, 8);
}

TEST(MainRoad, KeyWithPinLoginCodesChangePinCodesAgain) {
  Sim sim(R"({"pin": "1234", "policy_enabled": true,
              "pin_policy": {"min_length": 6, "max_length": 8, "digits_only": true},
              "tokens": [{"name": "Bank", "secret": "JBSWY3DPEHPK3PXP", "period": 30}]})");
  StdoutCapture stdout_capture;
  MainWindow w{sim.port()};
  w.show();
  auto login = w.findChild<LoginPage*>();
  ASSERT_NE(login, nullptr);
  auto pin_edit = login->findChild<QLineEdit*>("le_pin");
  auto go = login->findChild<QPushButton*>("bt_go");

  pin_edit->setText("0000");
  QTest::keyClick(pin_edit, Qt::Key_Return);
  ASSERT_TRUE(wait_for([&] { return label(login) == "Wrong PIN."; }));
  ASSERT_TRUE(wait_for([&] { return go->isEnabled(); }));
  EXPECT_EQ(pin_edit->text(), "0000");

  pin_edit->setText("1234");
  go->click();
  ASSERT_TRUE(wait_for([&] { return otp_page(w) != nullptr; }));
  expect_current_code(wait_for_code(w), "JBSWY3DPEHPK3PXP", 30, 6);
  auto pin_action = w.findChild<QAction*>("actionChange_PIN");
  EXPECT_TRUE(pin_action->isEnabled());
  EXPECT_EQ(pin_action->text(), "Change PIN");

  pin_action->trigger();
  auto set_pin = w.findChild<SetPinWidget*>();
  ASSERT_NE(set_pin, nullptr);
  ASSERT_TRUE(wait_for([&] { return otp_page(w) == nullptr; }));
  EXPECT_TRUE(set_pin->findChild<QLineEdit*>("le_old_pin")->isVisibleTo(set_pin));
  set_pin->findChild<QLineEdit*>("le_old_pin")->setText("1234");
  set_pin->findChild<QLineEdit*>("le_new_pin")->setText("135790");
  set_pin->findChild<QLineEdit*>("le_new_pin1")->setText("135790");
  set_pin->findChild<QPushButton*>("bt_set_pin")->click();
  ASSERT_TRUE(wait_for([&] { return label(set_pin) == "PIN was set successfully."; }));
  // Two seconds later the OTP page comes back, opened with the new PIN.
  ASSERT_TRUE(wait_for([&] { return otp_page(w) != nullptr; }, 5000));
  expect_current_code(wait_for_code(w), "JBSWY3DPEHPK3PXP", 30, 6);
  EXPECT_EQ(label(otp_page(w)), "");
  EXPECT_EQ(pin_action->text(), "Change PIN");

  // The key itself has the new PIN.
  auto out = stdout_capture.take();
  auto sim_out = sim.output();
  EXPECT_NE(sim_out.find("change_pin: ok"), std::string::npos) << sim_out;
  for (auto secret : {"1234", "0000", "135790", "JBSWY3DPEHPK3PXP"}) {
    EXPECT_EQ(out.find(secret), std::string::npos) << secret << " in the app's output";
    EXPECT_EQ(sim_out.find(secret), std::string::npos) << secret << " in the service's output";
  }
}

TEST(MainRoad, ServiceLostMidSessionEmptiesTheListAndKeepsTheWindow) {
  auto sim = std::make_unique<Sim>();
  StdoutCapture stdout_capture;
  MainWindow w{sim->port()};
  w.show();
  ASSERT_TRUE(wait_for([&] { return otp_page(w) != nullptr; }));
  auto combo = otp_page(w)->findChild<QComboBox*>("comboBox");
  ASSERT_TRUE(wait_for([&] { return combo->count() == 3; }));
  sim->kill();
  ASSERT_TRUE(wait_for([&] { return combo->count() == 0; }, 6000));
  EXPECT_FALSE(label(otp_page(w)).isEmpty());
  EXPECT_TRUE(otp_page(w)->displayed_code().isEmpty());
  EXPECT_TRUE(w.isVisible());
  EXPECT_EQ(label(otp_page(w)), "system_error(request_receiver_down)");
  // Polling goes on, every 3 seconds after a failure.
  wait_for([] { return false; }, 3500);
  auto out = stdout_capture.take();
  EXPECT_NE(out.find("stop atom"), std::string::npos);
  int failures = 0;
  for (size_t at = 0; (at = out.find("Failed to get otp info", at)) != std::string::npos; ++at)
    ++failures;
  EXPECT_EQ(failures, 2) << out;
}

TEST(MainRoad, HostileTokenListsStayUsable) {
  Sim sim(R"({"generate_tokens": {"count": 10000, "prefix": "tok", "period": 30},
              "tokens": [
                {"name_hex": "c3 28 a0 a1", "secret": "GEZDGNBVGY3TQOJQ", "digits": 8},
                {"name_repeat": {"text": "A", "count": 1048576}, "secret": "GEZDGNBVGY3TQOJQ"},
                {"name": "Zero", "secret": "MFRGGZDFMZTWQ2LK", "period": 0},
                {"name": "Glacial", "secret": "MFRGGZDFMZTWQ2LK", "period": 4294967295}]})");
  StdoutCapture stdout_capture;
  MainWindow w{sim.port()};
  w.show();
  ASSERT_TRUE(wait_for([&] { return otp_page(w) != nullptr; }));
  auto combo = otp_page(w)->findChild<QComboBox*>("comboBox");
  ASSERT_TRUE(wait_for([&] { return combo->count() == 10004; }, 15000)) << combo->count();
  // The first token (an invalid UTF-8 name) still gets its code: the name
  // went back to the service byte for byte.
  auto code = wait_for_code(w, 10000);
  expect_current_code(code, "GEZDGNBVGY3TQOJQ", 30, 8);
  for (auto name : {"Zero", "Glacial"}) {
    combo->setCurrentText(name);
    ASSERT_TRUE(wait_for([&] { return !otp_page(w)->displayed_code().isEmpty(); }, 10000)) << name;
  }
}
