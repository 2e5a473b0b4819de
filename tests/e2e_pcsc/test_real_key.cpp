// The whole real path: the application's widgets in this process, the
// fido-otp-service executable over TCP, pcscd, vpcd and the virtual key.
// Each test runs inside a test bed of its own (scripts/testbed.sh), whose
// network namespace keeps 127.0.0.1:12900 private to it.

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "caf/all.hpp"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QStringList>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

#include "child_process.h"
#include "main_window/main_window.h"
#include "otp/otp_widget.h"
#include "pin/login_page.h"
#include "pin/set_pin_widget.h"
#include "qt_wait.h"

using namespace std::chrono_literals;
using testing_support::ChildProcess;
using testing_support::wait_for;

namespace {

const char* const kNoTokens = "Could not find any FIDO tokens.";

// The service, started in the test bed on the application's port.
class Service {
public:
  explicit Service(std::vector<std::string> options = {}) {
    std::vector<std::string> args{FIDO_OTP_SERVICE_PATH};
    args.insert(args.end(), options.begin(), options.end());
    proc_ = std::make_unique<ChildProcess>(args);
    if (!proc_->wait_for_output("serving on 127.0.0.1:12900", 10s))
      ADD_FAILURE() << "fido-otp-service did not start:\n" << proc_->output();
  }
  std::string output() const { return proc_->output(); }

private:
  std::unique_ptr<ChildProcess> proc_;
};

std::vector<int> pids_of(const char* variable) {
  std::vector<int> pids;
  const char* text = std::getenv(variable);
  if (!text)
    return pids;
  std::string list = text;
  for (auto& c : list)
    if (c == ',')
      c = ' ';
  std::istringstream in(list);
  for (int pid; in >> pid;)
    pids.push_back(pid);
  return pids;
}

// Pulls (SIGUSR1) or inserts (SIGUSR2) the virtual key in slot `slot`.
void key_signal(int signal_number, size_t slot = 0) {
  const auto pids = pids_of("TESTBED_KEY_PIDS");
  ASSERT_GT(pids.size(), slot) << "TESTBED_KEY_PIDS";
  ASSERT_EQ(::kill(pids[slot], signal_number), 0);
}

std::string run(const std::string& command, int* status = nullptr) {
  std::string result;
  if (auto pipe = ::popen(command.c_str(), "r")) {
    char buf[256];
    while (::fgets(buf, sizeof buf, pipe))
      result += buf;
    const int rc = ::pclose(pipe);
    if (status)
      *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  }
  return result;
}

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
    text.pop_back();
  return text;
}

std::string oathtool(const std::string& secret, uint64_t time, uint32_t period, int digits) {
  return trimmed(run("oathtool --totp=SHA1 --base32 -d " + std::to_string(digits) + " -s "
                     + std::to_string(period) + " -N @" + std::to_string(time) + " '" + secret
                     + "' 2>/dev/null"));
}

// Debian's yubikit as another program on the key; its exit status.
int yubikit(const std::string& args, std::string* out = nullptr) {
  int status = -1;
  auto text = run(std::string(DEBIAN_PYTHON3) + " " + YUBIKIT_CLIENT + " " + args + " 2>&1",
                  &status);
  if (out)
    *out = text;
  return status;
}

OtpWidget* otp_page(MainWindow& w) { return w.findChild<OtpWidget*>(); }

QString label_of(QWidget* w) {
  auto label = w ? w->findChild<QLabel*>("lb_msg") : nullptr;
  return label ? label->text() : QString("(no label)");
}

// The window's own message line (not a page's).
QString window_label(MainWindow& w) {
  auto central = w.findChild<QWidget*>("centralwidget");
  for (auto label : central->findChildren<QLabel*>("lb_msg", Qt::FindDirectChildrenOnly))
    return label->text();
  return "(no label)";
}

QString code_on_screen(MainWindow& w) {
  auto page = otp_page(w);
  return page ? page->displayed_code() : QString();
}

// The code on screen is the current one for `secret`, or the one before it
// (a step may have passed between display and check).
::testing::AssertionResult is_current_code(const QString& shown, const std::string& secret,
                                           uint32_t period, int digits) {
  const auto now = static_cast<uint64_t>(std::time(nullptr));
  const auto current = oathtool(secret, now, period, digits);
  const auto previous = oathtool(secret, now - period, period, digits);
  if (current.empty())
    return ::testing::AssertionFailure() << "oathtool gave nothing";
  if (shown.toStdString() == current || shown.toStdString() == previous)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "shown \"" << shown.toStdString() << "\", oathtool "
                                       << current << " / " << previous;
}

bool select_token(MainWindow& w, const QString& name) {
  auto combo = otp_page(w)->findChild<QComboBox*>("comboBox");
  const int index = combo->findText(name);
  if (index < 0)
    return false;
  combo->setCurrentIndex(index);
  return true;
}

// Waits for a fresh code of the selected token: the display is blank first
// (a new selection blanks it), then shows digits.
// Types the PINs into the set/change PIN page (the old one only when given) and
// presses its button once it is enabled.
bool submit_pins(SetPinWidget* page, const char* old_pin, const char* new_pin) {
  if (old_pin)
    page->findChild<QLineEdit*>("le_old_pin")->setText(old_pin);
  page->findChild<QLineEdit*>("le_new_pin")->setText(new_pin);
  page->findChild<QLineEdit*>("le_new_pin1")->setText(new_pin);
  auto button = page->findChild<QPushButton*>("bt_set_pin");
  if (!wait_for([&] { return button->isEnabled(); }))
    return false;
  button->click();
  return true;
}

bool wait_for_code(MainWindow& w, int ms = 10000) {
  return wait_for([&] { return !code_on_screen(w).isEmpty(); }, ms);
}

// Waits for the OTP page, with `tokens` tokens listed and a code on display.
::testing::AssertionResult shows_codes(MainWindow& w, int tokens) {
  if (!wait_for([&] { return otp_page(w) != nullptr; }, 10000))
    return ::testing::AssertionFailure() << "no OTP page: " << window_label(w).toStdString();
  auto combo = otp_page(w)->findChild<QComboBox*>("comboBox");
  if (!wait_for([&] { return combo->count() == tokens; }, 10000))
    return ::testing::AssertionFailure() << combo->count() << " tokens listed";
  if (!wait_for_code(w))
    return ::testing::AssertionFailure() << "no code: " << label_of(otp_page(w)).toStdString();
  return ::testing::AssertionSuccess();
}

void expect_no_secrets(const std::string& log, std::initializer_list<std::string> secrets) {
  for (const auto& secret : secrets)
    EXPECT_EQ(log.find(secret), std::string::npos) << "\"" << secret << "\" in the log:\n" << log;
}

// ---- Key: keys/codes.json --------------------------------------------------
const char* const kAlice = "JBSWY3DPEHPK3PXP";
const char* const kCarol = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ";
const char* const kDave = "MFRGGZDFMZTWQ2LK";

TEST(RealKey, CodesOnScreenEqualOathtool) {
  Service service;
  MainWindow w;
  w.show();
  ASSERT_TRUE(wait_for([&] { return otp_page(w) != nullptr; }, 10000)) << window_label(w).toStdString();
  auto combo = otp_page(w)->findChild<QComboBox*>("comboBox");
  ASSERT_TRUE(wait_for([&] { return combo->count() == 3; }, 10000)) << combo->count();
  // The key's order, reversed by the page; the HOTP credential is not listed,
  // the 60-s one has lost its prefix.
  EXPECT_EQ(combo->itemText(0), "Dave");
  EXPECT_EQ(combo->itemText(1), "Bank:carol");
  EXPECT_EQ(combo->itemText(2), "Example:alice");
  EXPECT_EQ(combo->currentText(), "Example:alice");
  ASSERT_TRUE(wait_for_code(w));
  EXPECT_TRUE(is_current_code(code_on_screen(w), kAlice, 30, 6));

  ASSERT_TRUE(select_token(w, "Bank:carol"));
  ASSERT_TRUE(wait_for([&] { return code_on_screen(w).size() == 8; }, 10000));
  EXPECT_TRUE(is_current_code(code_on_screen(w), kCarol, 60, 8));

  ASSERT_TRUE(select_token(w, "Dave"));
  ASSERT_TRUE(wait_for([&] { return code_on_screen(w).size() == 7; }, 10000));
  EXPECT_TRUE(is_current_code(code_on_screen(w), kDave, 15, 7));
  EXPECT_EQ(label_of(otp_page(w)), "");
  expect_no_secrets(service.output(), {code_on_screen(w).toStdString(), kAlice, kCarol});
}

TEST(RealKey, YubikitUsesTheKeyWhileTheAppRuns) {
  Service service;
  MainWindow w;
  w.show();
  ASSERT_TRUE(wait_for([&] { return otp_page(w) != nullptr; }, 10000));
  ASSERT_TRUE(wait_for_code(w));
  std::string out;
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(yubikit("codes", &out), 0) << out;
    EXPECT_NE(out.find("Example:alice "), std::string::npos) << out;
    EXPECT_NE(out.find("60/Bank:carol "), std::string::npos) << out;
    // The app keeps its codes meanwhile: a new selection gets a new code.
    ASSERT_TRUE(select_token(w, round % 2 ? "Example:alice" : "Bank:carol"));
    ASSERT_TRUE(wait_for_code(w)) << label_of(otp_page(w)).toStdString();
  }
  EXPECT_EQ(label_of(otp_page(w)), "");
}

// ---- Key: keys/password.json (password "1234") -----------------------------

TEST(RealKey, WrongPinThenRightPinThenAChangeThatTheKeyKeeps) {
  Service service;
  MainWindow w;
  w.show();
  auto login = w.findChild<LoginPage*>();
  ASSERT_NE(login, nullptr) << window_label(w).toStdString();
  auto pin = login->findChild<QLineEdit*>("le_pin");
  auto go = login->findChild<QPushButton*>("bt_go");
  pin->setText("0000");
  go->click();
  ASSERT_TRUE(wait_for([&] { return label_of(login) == "Wrong PIN."; }, 10000))
    << label_of(login).toStdString();
  ASSERT_TRUE(wait_for([&] { return go->isEnabled(); }));
  pin->setText("1234");
  go->click();
  ASSERT_TRUE(wait_for([&] { return otp_page(w) != nullptr; }, 10000)) << label_of(login).toStdString();
  ASSERT_TRUE(wait_for_code(w)) << label_of(otp_page(w)).toStdString();
  EXPECT_TRUE(is_current_code(code_on_screen(w), kAlice, 30, 6));

  auto action = w.findChild<QAction*>("actionChange_PIN");
  ASSERT_TRUE(action->isEnabled());
  EXPECT_EQ(action->text(), "Change PIN");
  action->trigger();
  auto page = w.findChild<SetPinWidget*>();
  ASSERT_NE(page, nullptr);
  EXPECT_TRUE(page->findChild<QLineEdit*>("le_old_pin")->isVisibleTo(page));
  ASSERT_TRUE(submit_pins(page, "1234", "135790"));
  ASSERT_TRUE(wait_for([&] { return label_of(page) == "PIN was set successfully."; }, 10000))
    << label_of(page).toStdString();
  ASSERT_TRUE(wait_for([&] { return otp_page(w) != nullptr; }, 6000));
  ASSERT_TRUE(wait_for_code(w)) << label_of(otp_page(w)).toStdString();
  EXPECT_TRUE(is_current_code(code_on_screen(w), kAlice, 30, 6));

  // The key itself, read by another client.
  std::string out;
  EXPECT_EQ(yubikit("validate 135790", &out), 0) << out;
  EXPECT_EQ(yubikit("validate 1234", &out), 1) << out;
  expect_no_secrets(service.output(), {"1234", "0000", "135790", code_on_screen(w).toStdString()});
}

// ---- Key: keys/codes.json, service with --require-pin ----------------------

TEST(RealKey, RequirePinRefusesAKeyWithoutPasswordUntilAPinIsSet) {
  Service service({"--require-pin"});
  MainWindow w;
  w.show();
  ASSERT_TRUE(wait_for([&] { return otp_page(w) != nullptr; }, 10000));
  ASSERT_TRUE(wait_for(
    [&] { return label_of(otp_page(w)) == "Please set a PIN first as PIN policy is enabled."; },
    10000))
    << label_of(otp_page(w)).toStdString();
  EXPECT_TRUE(code_on_screen(w).isEmpty());
  auto action = w.findChild<QAction*>("actionChange_PIN");
  ASSERT_TRUE(action->isEnabled());
  EXPECT_EQ(action->text(), "Set PIN");
  action->trigger();
  auto page = w.findChild<SetPinWidget*>();
  ASSERT_NE(page, nullptr);
  EXPECT_FALSE(page->findChild<QLineEdit*>("le_old_pin")->isVisibleTo(page));
  ASSERT_TRUE(submit_pins(page, nullptr, "12345"));
  ASSERT_TRUE(wait_for([&] { return label_of(page).startsWith("The PIN must have at least 6"); }))
    << label_of(page).toStdString();
  ASSERT_TRUE(submit_pins(page, nullptr, "246810"));
  ASSERT_TRUE(wait_for([&] { return label_of(page) == "PIN was set successfully."; }, 10000))
    << label_of(page).toStdString();
  ASSERT_TRUE(wait_for([&] { return otp_page(w) != nullptr; }, 6000));
  ASSERT_TRUE(wait_for_code(w)) << label_of(otp_page(w)).toStdString();
  EXPECT_TRUE(is_current_code(code_on_screen(w), kAlice, 30, 6));
  EXPECT_EQ(action->text(), "Change PIN");
  std::string out;
  EXPECT_EQ(yubikit("validate 246810", &out), 0) << out;
}

// ---- Key: keys/touch.json (touched after 1.5 s) ----------------------------

TEST(RealKey, TouchTokenPromptsThenShowsTheCode) {
  Service service;
  MainWindow w;
  w.show();
  ASSERT_TRUE(wait_for([&] { return otp_page(w) != nullptr; }, 10000));
  ASSERT_TRUE(wait_for([&] { return label_of(otp_page(w)) == "Please touch the key..."; }, 10000))
    << label_of(otp_page(w)).toStdString();
  EXPECT_TRUE(code_on_screen(w).isEmpty());
  ASSERT_TRUE(wait_for_code(w)) << label_of(otp_page(w)).toStdString();
  EXPECT_TRUE(is_current_code(code_on_screen(w), kAlice, 30, 6));
  EXPECT_EQ(label_of(otp_page(w)), "");
}

// ---- Key: keys/touch-never.json (never touched, gives up after 1 s) --------

TEST(RealKey, TouchTimeoutClearsThePromptAndAsksAgain) {
  Service service;
  MainWindow w;
  w.show();
  ASSERT_TRUE(wait_for([&] { return otp_page(w) != nullptr; }, 10000));
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(wait_for([&] { return label_of(otp_page(w)) == "Please touch the key..."; }, 10000))
      << label_of(otp_page(w)).toStdString();
    ASSERT_TRUE(wait_for([&] { return label_of(otp_page(w)).isEmpty(); }, 10000))
      << label_of(otp_page(w)).toStdString();
    EXPECT_TRUE(code_on_screen(w).isEmpty());
  }
  EXPECT_NE(service.output().find("get_otp: error fido_error 7"), std::string::npos)
    << service.output();
}

// ---- Key: keys/codes.json ---------------------------------------------------

TEST(RealKey, PulledKeyIsNoTokensAndItsCodesComeBackWithoutAClick) {
  Service service;
  MainWindow w;
  w.show();
  ASSERT_TRUE(shows_codes(w, 3));
  auto combo = otp_page(w)->findChild<QComboBox*>("comboBox");
  key_signal(SIGUSR1);
  // The next code request: another token selected asks for one at once. No
  // other error comes first.
  ASSERT_TRUE(select_token(w, "Dave"));
  QStringList seen;
  ASSERT_TRUE(wait_for(
    [&] {
      const auto text = label_of(otp_page(w));
      if (seen.isEmpty() || seen.back() != text)
        seen << text;
      return text.startsWith(kNoTokens);
    },
    10000))
    << seen.join(" | ").toStdString();
  seen.removeAll("");
  seen.removeAll("Please touch the key...");
  EXPECT_EQ(seen.size(), 1) << seen.join(" | ").toStdString();
  // The list stays while the key is out.
  EXPECT_EQ(combo->count(), 3);
  EXPECT_TRUE(code_on_screen(w).isEmpty());
  key_signal(SIGUSR2);
  ASSERT_TRUE(wait_for(
    [&] { return label_of(otp_page(w)).isEmpty() && !code_on_screen(w).isEmpty(); }, 10000))
    << label_of(otp_page(w)).toStdString();
  EXPECT_TRUE(is_current_code(code_on_screen(w), kDave, 15, 7));
  EXPECT_EQ(combo->currentText(), "Dave");
  EXPECT_EQ(combo->count(), 3);
}

TEST(RealKey, StoppedPcscdIsThePcscErrorText) {
  Service service;
  MainWindow w;
  w.show();
  ASSERT_TRUE(shows_codes(w, 3));
  const auto pcscd = pids_of("TESTBED_PCSCD_PID");
  ASSERT_EQ(pcscd.size(), 1u);
  ASSERT_EQ(::kill(pcscd[0], SIGTERM), 0);
  ASSERT_TRUE(select_token(w, "Bank:carol"));
  ASSERT_TRUE(wait_for(
    [&] { return label_of(otp_page(w)).startsWith("Failed to connect to reader ("); }, 10000))
    << label_of(otp_page(w)).toStdString();
  EXPECT_NE(label_of(otp_page(w)).indexOf("systemctl start pcscd"), -1)
    << label_of(otp_page(w)).toStdString();
}

TEST(RealKey, AKeyHeldByAnotherProgramIsThePcscErrorNamingTheReader) {
  Service service;
  MainWindow w;
  w.show();
  ASSERT_TRUE(wait_for([&] { return otp_page(w) != nullptr; }, 10000));
  ASSERT_TRUE(wait_for_code(w));
  ChildProcess holder({DEBIAN_PYTHON3, YUBIKIT_CLIENT, "hold", "4"});
  ASSERT_TRUE(holder.wait_for_output("held", 10s)) << holder.output();
  ASSERT_TRUE(select_token(w, "Bank:carol"));
  ASSERT_TRUE(wait_for(
    [&] { return label_of(otp_page(w)).startsWith("Failed to connect to card (reader \""); }, 10000))
    << label_of(otp_page(w)).toStdString();
  EXPECT_NE(label_of(otp_page(w)).indexOf(" 00 00\""), -1) << label_of(otp_page(w)).toStdString();
  // Let go: the codes come back at the next try.
  ASSERT_TRUE(wait_for(
    [&] { return label_of(otp_page(w)).isEmpty() && code_on_screen(w).size() == 8; }, 15000))
    << label_of(otp_page(w)).toStdString();
  EXPECT_TRUE(is_current_code(code_on_screen(w), kCarol, 60, 8));
}

// ---- Key: keys/touch-slow.json (never touched, gives up after 15 s) --------

TEST(RealKey, KeyPulledDuringATouchWaitIsAnErrorNotAHang) {
  Service service;
  MainWindow w;
  w.show();
  ASSERT_TRUE(wait_for([&] { return otp_page(w) != nullptr; }, 10000));
  ASSERT_TRUE(wait_for([&] { return label_of(otp_page(w)) == "Please touch the key..."; }, 10000))
    << label_of(otp_page(w)).toStdString();
  QElapsedTimer waited;
  waited.start();
  key_signal(SIGUSR1);
  ASSERT_TRUE(wait_for([&] { return label_of(otp_page(w)).startsWith(kNoTokens); }, 10000))
    << label_of(otp_page(w)).toStdString();
  EXPECT_LT(waited.elapsed(), 5000);
  key_signal(SIGUSR2);
  ASSERT_TRUE(wait_for([&] { return label_of(otp_page(w)) == "Please touch the key..."; }, 10000))
    << label_of(otp_page(w)).toStdString();
}

// ---- Keys: keys/codes.json and keys/password.json, both inserted -----------

TEST(RealKey, TwoKeysAreOneTooMany) {
  Service service;
  MainWindow w;
  w.show();
  ASSERT_TRUE(wait_for(
    [&] {
      return window_label(w).startsWith(
        "More than one FIDO token were found. Only support one FIDO token.");
    },
    10000))
    << window_label(w).toStdString();
  EXPECT_EQ(otp_page(w), nullptr);
  // One key out: the window goes on to the codes at its next try.
  key_signal(SIGUSR1, 1);
  ASSERT_TRUE(wait_for([&] { return otp_page(w) != nullptr; }, 10000)) << window_label(w).toStdString();
  ASSERT_TRUE(wait_for_code(w));
  EXPECT_TRUE(is_current_code(code_on_screen(w), kAlice, 30, 6));
}

} // namespace
