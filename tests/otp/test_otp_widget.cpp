// The OTP page with its real polling actor against the scriptable service.
// The polling actor ticks once at start unless a test speeds it up; the page's
// countdown is driven by ticks the tests send, with a settable clock.

#include "caf/all.hpp"

#include <QClipboard>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLCDNumber>
#include <QLabel>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QStyleFactory>
#include <QToolTip>
#include <QVBoxLayout>

#include <limits>

#include <gtest/gtest.h>

#include "app_system.h"
#include "fake_fido_service.h"
#include "otp/copied_code.h"
#include "otp/name_codec.h"
#include "otp/otp_widget.h"
#include "otp_test_support.h"
#include "widget_probe.h"
#include "wipe_log.h"

using namespace otp_testing;
using fake::request;
using testing_support::accessible_text;
using testing_support::pixels_changed_by_focus;
using testing_support::show_active;

namespace {

class OtpWidgetTest : public ::testing::Test {
protected:
  CoutCapture out;
  FakeUnixClock clock{3000};
  std::unique_ptr<TickPacer> pacer = std::make_unique<TickPacer>(TickPacer::manual);
  fake::FidoService service{*app_system};
  std::unique_ptr<OtpWidget> page;

  void TearDown() override {
    if (!page)
      return;
    const auto exits = out.count("OtpWidgetActorDetach exit...");
    page.reset();
    // The polling actor ends on a thread of its own: its last line belongs to
    // this test's output, not to the next one's.
    wait_until([&] { return out.count("OtpWidgetActorDetach exit...") > exits; }, 2000ms);
  }

  void pace(TickPacer::mode m) {
    pacer.reset(); // its destructor restores the default pacing
    pacer = std::make_unique<TickPacer>(m);
  }

  OtpWidget& open(const std::string& pin = "") {
    page = std::make_unique<OtpWidget>(nullptr, service.handle(), pin);
    return *page;
  }

  // Opens the page on `tokens` and waits until the first list is shown and
  // the access gate has run on it.
  OtpWidget& open_with(std::vector<OtpTokenInfo> tokens, const std::string& pin = "") {
    service.set_tokens(tokens);
    open(pin);
    EXPECT_TRUE(wait_until([&] {
      return combo()->count() == int(tokens.size()) && service.count(request::has_access) == 1;
    }));
    pump();
    return *page;
  }

  QComboBox* combo() { return page->findChild<QComboBox*>("comboBox"); }
  QLCDNumber* lcd() { return page->findChild<QLCDNumber*>("lcdNumber"); }
  QProgressBar* bar() { return page->findChild<QProgressBar*>("progressBar"); }
  QString message() { return page->findChild<QLabel*>("lb_msg")->text(); }
  QPushButton* copy_button() { return page->findChild<QPushButton*>("pushButton"); }

  std::vector<std::string> items() {
    std::vector<std::string> result;
    for (int i = 0; i < combo()->count(); ++i)
      result.push_back(name_from_qstring(combo()->itemText(i)));
    return result;
  }

  // Delivers `xs` to the page's actor and handles it on this thread.
  template <class... Ts>
  void deliver(Ts&&... xs) {
    caf::anon_send(page->as_actor(), std::forward<Ts>(xs)...);
    pump();
  }
  void countdown_at(uint64_t now) {
    clock.set(now);
    deliver(::tick_atom{});
  }
  void show(const std::string& code, uint64_t step) {
    deliver(::set_atom{}, ::otp_atom{}, code, step);
  }
};

} // namespace

TEST_F(OtpWidgetTest, FormStartsWithItsLayoutAndClearedTexts) {
  auto& w = open();
  EXPECT_EQ(w.objectName(), "OtpWidget");
  EXPECT_EQ(w.size(), QSize(273, 303));
  auto layout = qobject_cast<QVBoxLayout*>(w.layout());
  ASSERT_NE(layout, nullptr);
  EXPECT_EQ(layout->count(), 7);
  EXPECT_EQ(layout->itemAt(1)->widget(), combo());
  EXPECT_EQ(layout->itemAt(3)->widget(), bar());
  EXPECT_EQ(layout->itemAt(4)->widget(), w.findChild<QLabel*>("lb_msg"));
  EXPECT_FALSE(w.findChild<QLabel*>("label_2")->pixmap(Qt::ReturnByValue).isNull())
    << "images come from the resource bundle";
  EXPECT_FALSE(w.findChild<QPushButton*>("pushButton")->icon().isNull());
  EXPECT_EQ(lcd()->digitCount(), 6);
  EXPECT_EQ(lcd()->intValue(), 0) << "the design value is cleared";
  EXPECT_EQ(message(), "") << "the design text is cleared";
}

TEST_F(OtpWidgetTest, BeforeAccessTheBarIsEmptyOfSixtyAndTheDisplayBlank) {
  pace(TickPacer::fast);
  service.set_has_access(true); // a PIN is set and the page holds the wrong one
  service.set_pin("1234");
  open_with({{"A", 30}}, "0000");
  EXPECT_EQ(message(), "PIN is incorrect.");
  size_t ticks = pacer->count();
  ASSERT_TRUE(wait_until([&] { return pacer->count() >= ticks + 5; }));
  EXPECT_EQ(service.count(request::get_otp), 0) << "no selection reaches the polling actor";
  EXPECT_EQ(bar()->minimum(), 0);
  EXPECT_EQ(bar()->maximum(), 60);
  EXPECT_EQ(bar()->value(), 0);
  EXPECT_EQ(page->displayed_code(), "");
  countdown_at(3010);
  EXPECT_EQ(bar()->maximum(), 60) << "the countdown waits for access";
  EXPECT_EQ(bar()->value(), 0);
}

TEST_F(OtpWidgetTest, ListsTokensInReverseWithTheFirstSelectedAndItsPeriod) {
  open_with({{"A", 30}, {"B", 45}, {"C", 7}});
  EXPECT_EQ(items(), (std::vector<std::string>{"C", "B", "A"}));
  EXPECT_EQ(combo()->currentText(), "A");
  countdown_at(3010);
  EXPECT_EQ(bar()->maximum(), 30);
  EXPECT_EQ(bar()->value(), 10);

  show("123456", 100);
  combo()->setCurrentIndex(1);
  EXPECT_EQ(page->displayed_code(), "") << "another token blanks the display at once";
  countdown_at(3011);
  EXPECT_EQ(bar()->maximum(), 45) << "the selected token's period";
  EXPECT_EQ(bar()->value(), 3011 % 45);
}

TEST_F(OtpWidgetTest, AnEmptyListClearsTheBoxAndSkipsTheGate) {
  open_with({{"A", 30}, {"B", 30}});
  deliver(::set_atom{}, ::info_atom{}, std::vector<OtpTokenInfo>{});
  EXPECT_EQ(combo()->count(), 0);
  EXPECT_EQ(service.count(request::has_access), 1) << "no gate for an empty list";
}

TEST_F(OtpWidgetTest, ShowsAndCopiesEveryDigitOfACode) {
  open_with({{"A", 30}});
  show("012345", 100);
  EXPECT_EQ(page->displayed_code(), "012345");
  EXPECT_EQ(lcd()->digitCount(), 6);
  EXPECT_EQ(lcd()->intValue(), 12345);
  page->findChild<QPushButton*>("pushButton")->click();
  EXPECT_EQ(QApplication::clipboard()->text(QClipboard::Clipboard), "012345");

  show("00001234", 100);
  EXPECT_EQ(lcd()->digitCount(), 8);
  page->findChild<QPushButton*>("pushButton")->click();
  EXPECT_EQ(QApplication::clipboard()->text(QClipboard::Clipboard), "00001234");

  show("", 0);
  EXPECT_EQ(lcd()->digitCount(), 0);
  EXPECT_EQ(page->displayed_code(), "");
  QApplication::clipboard()->setText("kept", QClipboard::Clipboard);
  page->findChild<QPushButton*>("pushButton")->click();
  EXPECT_EQ(QApplication::clipboard()->text(QClipboard::Clipboard), "kept")
    << "a blank display copies nothing";
}

TEST_F(OtpWidgetTest, ACodeIsBlankedByTheFirstTickAfterItsStep) {
  open_with({{"A", 30}});
  show("123456", 100);
  countdown_at(3029);
  EXPECT_EQ(page->displayed_code(), "123456");
  EXPECT_EQ(bar()->value(), 29);
  countdown_at(3030);
  EXPECT_EQ(page->displayed_code(), "");
  EXPECT_EQ(bar()->value(), 0) << "the bar starts again at the step boundary";
  EXPECT_EQ(out.count("clear101 100"), 1u);
  EXPECT_EQ(out.count("set"), 1u);
  EXPECT_EQ(out.count("set done"), 1u);
}

TEST_F(OtpWidgetTest, StopWhileActiveEmptiesTheBoxAndFreezesTheCountdown) {
  open_with({{"A", 30}});
  countdown_at(3010);
  ASSERT_EQ(bar()->value(), 10);
  deliver(::msg_atom{}, std::string("list failed"));
  deliver(::stop_atom{});
  EXPECT_EQ(combo()->count(), 0);
  EXPECT_EQ(bar()->value(), 0);
  EXPECT_EQ(page->displayed_code(), "");
  EXPECT_EQ(message(), "list failed");
  EXPECT_EQ(out.count("stop atom"), 1u);

  show("654321", 100); // codes still arrive and are shown
  countdown_at(4000);
  EXPECT_EQ(page->displayed_code(), "654321") << "no blanking while waiting";
  EXPECT_EQ(bar()->value(), 0);
}

TEST_F(OtpWidgetTest, AChangedListWhileActiveRerunsTheGateAndAsksForAFreshCode) {
  pace(TickPacer::fast);
  open_with({{"A", 30}});
  ASSERT_TRUE(wait_until([&] { return page->displayed_code() == "A:3000"; }));
  // The polling actor keeps ticking within the same step and asks nothing.
  size_t ticks = pacer->count();
  ASSERT_TRUE(wait_until([&] { return pacer->count() >= ticks + 5; }));
  EXPECT_EQ(service.count(request::get_otp), 1);

  service.set_tokens({{"A", 30}, {"B", 30}});
  ASSERT_TRUE(wait_until([&] { return service.count(request::get_otp) >= 2; }));
  pump();
  EXPECT_EQ(service.count(request::has_access), 2) << "the gate ran again";
  EXPECT_EQ(items(), (std::vector<std::string>{"B", "A"}));
  auto asked = service.otp_requests();
  EXPECT_EQ(asked[1].name, "A");
  EXPECT_EQ(asked[1].time, 3000u) << "same token, same step, fresh code";
  EXPECT_TRUE(wait_until([&] { return page->displayed_code() == "A:3000"; }));
}

TEST_F(OtpWidgetTest, SelectionsReachThePollingActorWithThePin) {
  pace(TickPacer::fast);
  service.set_has_access(true);
  service.set_pin("2468");
  open_with({{"A", 30}, {"B", 30}}, "2468");
  ASSERT_TRUE(wait_until([&] { return page->displayed_code() == "A:3000"; }));
  combo()->setCurrentIndex(0);
  ASSERT_TRUE(wait_until([&] { return page->displayed_code() == "B:3000"; }));
  auto asked = service.otp_requests();
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_EQ(asked[1].name, "B");
  EXPECT_EQ(asked[1].pin, "2468");
  EXPECT_EQ(message(), "") << "the prompt is cleared once the code is there";
}

TEST_F(OtpWidgetTest, PollingActorMessagesReachTheLabel) {
  service.fail(request::check_hwaccess, make_error(fido_error::open_device_failed));
  open();
  EXPECT_TRUE(wait_until([&] {
    return message() == "Failed to check if the device has hardware access support.";
  }));
}

TEST_F(OtpWidgetTest, MessagesToADestroyedPageAreDropped) {
  open_with({{"A", 30}});
  auto gone = page->as_actor();
  page.reset();
  // What a polling actor that was waiting for the key reports afterwards,
  // and the countdown tick that was still scheduled.
  caf::anon_send(gone, ::msg_atom{}, std::string(""));
  caf::anon_send(gone, ::set_atom{}, ::otp_atom{}, std::string("123456"), uint64_t{100});
  caf::anon_send(gone, ::tick_atom{});
  pump();
  EXPECT_TRUE(wait_exit(gone, 500ms)) << "destroying the page ends its actor";
}

TEST_F(OtpWidgetTest, ThePinIsWipedWhenThePageCloses) {
  testing_support::WipeLog wipes;
  open("1357"); // no tokens, no access: the PIN stays with the page
  pump();
  EXPECT_EQ(wipes.count("1357"), 0);
  page.reset();
  EXPECT_EQ(wipes.count("1357"), 1);
}

TEST_F(OtpWidgetTest, DestroyingThePageDoesNotWaitForTheKey) {
  pace(TickPacer::fast);
  // Kept to the end of the process: the request it holds is never answered.
  auto key = new fake::FidoService{*app_system};
  key->set_tokens({{"A", 30}});
  key->hang(request::get_otp);
  page = std::make_unique<OtpWidget>(nullptr, key->handle(), "");
  ASSERT_TRUE(wait_until([&] { return key->count(request::get_otp) == 1; }));
  QElapsedTimer timer;
  timer.start();
  page.reset();
  EXPECT_LT(timer.elapsed(), 500);
  EXPECT_EQ(out.count("destroy OtpWidget..."), 1u);
  EXPECT_EQ(out.count("OtpWidgetActorDetach exit..."), 0u)
    << "the polling actor still waits for the key";
}

// -- Keyboard, screen readers and the clipboard ----------------------------------

namespace {

const char* const secret_hint = "x-kde-passwordManagerHint";

QString clipboard_text() {
  return QApplication::clipboard()->text(QClipboard::Clipboard);
}

} // namespace

TEST_F(OtpWidgetTest, ScreenReadersGetTheButtonsPurposeAndTheDigitsOnDisplay) {
  open_with({{"A", 30}});
  EXPECT_EQ(accessible_text(copy_button(), QAccessible::Name), "Copy code");
  EXPECT_EQ(copy_button()->toolTip(), "Copy code");
  EXPECT_EQ(accessible_text(lcd(), QAccessible::Name), "One-time code");
  EXPECT_EQ(accessible_text(lcd(), QAccessible::Description), "");
  show("012345", 100);
  EXPECT_EQ(accessible_text(lcd(), QAccessible::Name), "One-time code");
  EXPECT_EQ(accessible_text(lcd(), QAccessible::Description), "012345");
  countdown_at(3030);
  EXPECT_EQ(accessible_text(lcd(), QAccessible::Description), "") << "blank with the display";
}

TEST_F(OtpWidgetTest, KeyboardUsersStartOnTheTokenListAndSeeTheFocusOnTheCopyButton) {
  open_with({{"A", 30}});
  testing_support::PageHost window;
  ASSERT_TRUE(window.show());
  window.add(page.get());
  EXPECT_TRUE(wait_until([&] { return QApplication::focusWidget() == combo(); }));
  const QString platform_style = QApplication::style()->objectName();
  for (const QString& style : {platform_style, QString("Fusion"), QString("Windows")}) {
    SCOPED_TRACE(style.toStdString());
    QApplication::setStyle(QStyleFactory::create(style));
    EXPECT_GT(pixels_changed_by_focus(copy_button()), 200);
  }
  QApplication::setStyle(QStyleFactory::create(platform_style));
}

TEST_F(OtpWidgetTest, CopyMarksTheCodeSecretAndConfirmsBesideTheButtonForTwoSeconds) {
  open_with({{"A", 30}});
  ASSERT_TRUE(show_active(page.get()));
  deliver(::msg_atom{}, std::string("kept"));
  show("012345", 100);
  copy_button()->click();
  QElapsedTimer shown;
  shown.start();
  auto data = QApplication::clipboard()->mimeData(QClipboard::Clipboard);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data->text(), "012345");
  EXPECT_EQ(data->data(secret_hint), "secret");
  EXPECT_TRUE(QToolTip::isVisible());
  EXPECT_EQ(QToolTip::text(), "Copied");
  EXPECT_EQ(message(), "kept") << "the confirmation leaves the message line alone";
  ASSERT_TRUE(wait_until([] { return !QToolTip::isVisible(); }, 5000ms));
  EXPECT_GE(shown.elapsed(), 1500);
  EXPECT_LE(shown.elapsed(), 3500);
}

TEST_F(OtpWidgetTest, CtrlCCopiesLikeTheButton) {
  open_with({{"A", 30}});
  ASSERT_TRUE(show_active(page.get()));
  show("012345", 100);
  QTest::keySequence(QApplication::focusWidget(), QKeySequence::Copy);
  auto data = QApplication::clipboard()->mimeData(QClipboard::Clipboard);
  ASSERT_NE(data, nullptr) << "nothing copied";
  EXPECT_EQ(data->text(), "012345");
  EXPECT_EQ(data->data(secret_hint), "secret");
  EXPECT_EQ(QToolTip::text(), "Copied");
}

TEST_F(OtpWidgetTest, ACopiedCodeLeavesTheClipboardWhenItsStepEnds) {
  open_with({{"A", 30}});
  show("123456", 100);
  copy_button()->click();
  countdown_at(3029);
  EXPECT_EQ(clipboard_text(), "123456");
  countdown_at(3030);
  EXPECT_EQ(clipboard_text(), "");

  // The code's own step counts, also once the page has stopped counting down.
  show("654321", 101);
  copy_button()->click();
  deliver(::stop_atom{});
  countdown_at(3059);
  EXPECT_EQ(clipboard_text(), "654321");
  countdown_at(3060);
  EXPECT_EQ(clipboard_text(), "");
}

// Codes carry only their step: the step says which token's period ends them.
TEST_F(OtpWidgetTest, ACopiedCodeEndsWithTheStepItWasMadeFor) {
  open_with({{"A", 30}, {"B", 60}});
  // A code for A (step 100 of 30 s) arrives after the user picked B (60 s),
  // as when a touch was pending.
  combo()->setCurrentIndex(0);
  ASSERT_EQ(combo()->currentText(), "B");
  show("123456", 100);
  copy_button()->click();
  countdown_at(3029);
  EXPECT_EQ(clipboard_text(), "123456");
  countdown_at(3030);
  EXPECT_EQ(clipboard_text(), "") << "A's step is over, not step 100 of B at 6060";

  // A step that fits a longer period than the selected token's: one period
  // of the selected token after the copy at most.
  deliver(::set_atom{}, ::info_atom{},
          std::vector<OtpTokenInfo>{{"A", 30}, {"B", 60}, {"C", 100}});
  combo()->setCurrentIndex(combo()->findText("A"));
  clock.set(3040);
  show("234567", 30); // C's step at 3040
  copy_button()->click();
  countdown_at(3069);
  EXPECT_EQ(clipboard_text(), "234567");
  countdown_at(3070);
  EXPECT_EQ(clipboard_text(), "") << "not at the end of C's step, 3100";
}

TEST_F(OtpWidgetTest, WhatTheUserCopiedSinceStaysOnTheClipboard) {
  open_with({{"A", 30}});
  show("123456", 100);
  copy_button()->click();
  QApplication::clipboard()->setText("mine", QClipboard::Clipboard);
  countdown_at(3030);
  EXPECT_EQ(clipboard_text(), "mine");

  show("234567", 101);
  copy_button()->click();
  QApplication::clipboard()->setText("234567", QClipboard::Clipboard); // the same digits, from elsewhere
  countdown_at(3060);
  EXPECT_EQ(clipboard_text(), "234567");

  // The same digits with the same hint, copied by someone else.
  show("456789", 102);
  copy_button()->click();
  auto theirs = new QMimeData;
  theirs->setText("456789");
  theirs->setData(secret_hint, "secret");
  QApplication::clipboard()->setMimeData(theirs, QClipboard::Clipboard);
  countdown_at(3090);
  EXPECT_EQ(clipboard_text(), "456789");

  show("345678", 103);
  copy_button()->click();
  QApplication::clipboard()->setText("theirs", QClipboard::Clipboard);
  page.reset();
  EXPECT_EQ(clipboard_text(), "theirs");
}

TEST_F(OtpWidgetTest, DestroyingThePageTakesItsCodeBack) {
  open_with({{"A", 30}});
  show("123456", 100);
  copy_button()->click();
  ASSERT_EQ(clipboard_text(), "123456");
  page.reset();
  EXPECT_EQ(clipboard_text(), "");
}

// Run as otp.at_device_pixel_ratio_2 (QT_SCALE_FACTOR=2).
TEST_F(OtpWidgetTest, AtRatio2PicturesAndTheCopyButtonUseTheLargerArtwork) {
  ASSERT_EQ(qApp->devicePixelRatio(), 2.0);
  auto& w = open();
  EXPECT_EQ(w.findChild<QLabel*>("label_2")->pixmap(Qt::ReturnByValue).size(), QSize(110, 128));
  EXPECT_EQ(w.findChild<QLabel*>("label")->pixmap(Qt::ReturnByValue).size(), QSize(2048, 712));
  for (auto mode : {QIcon::Normal, QIcon::Active}) {
    const QPixmap icon = copy_button()->icon().pixmap(QSize(40, 40), mode);
    EXPECT_EQ(icon.size(), QSize(80, 80)) << "mode " << mode;
  }
}

TEST(CopiedCode, IsValidToTheEndOfItsStep) {
  EXPECT_EQ(end_of_step(100, 30), 3030u);
  EXPECT_EQ(end_of_step(0, 30), 30u);
  constexpr auto never = std::numeric_limits<uint64_t>::max();
  EXPECT_EQ(end_of_step(100, 0), never) << "a period of 0 never ends";
  EXPECT_EQ(end_of_step(never / 30 - 1, 30), never / 30 * 30);
  EXPECT_EQ(end_of_step(never / 30, 30), never) << "no overflow";
  EXPECT_EQ(end_of_step(never, 4294967295u), never);
}

TEST(CopiedCode, ExpiresWithTheStepOfATokenWhosePeriodFitsIt) {
  constexpr auto never = std::numeric_limits<uint64_t>::max();
  const std::vector<OtpTokenInfo> tokens{{"A", 30}, {"B", 60}, {"Z", 0}};
  const uint64_t now = 1700000010; // A's step 56666667, B's 28333333
  EXPECT_EQ(copied_code_expiry(now / 30, now, tokens, 60), 1700000040u)
    << "A's code with B selected ends with A's step, not decades later";
  EXPECT_EQ(copied_code_expiry(now / 60, now, tokens, 60), 1700000040u) << "B's own step";
  EXPECT_EQ(copied_code_expiry(now / 60, now, tokens, 30), now + 30)
    << "at most one period of the selected token after the copy";
  EXPECT_EQ(copied_code_expiry(1, 50, {{"A", 40}, {"B", 30}}, 0), 60u)
    << "the earliest end of the periods that fit (A's 80, B's 60)";
  EXPECT_EQ(copied_code_expiry(7, 3000, tokens, 60), 3000u) << "over for every token: ended";
  EXPECT_EQ(copied_code_expiry(now, now, tokens, 60), now + 60)
    << "a step still to come for a token: no more than the selected period";
  EXPECT_EQ(copied_code_expiry(0, now, {{"Z", 0}}, 0), never) << "no period, no end";
  EXPECT_EQ(copied_code_expiry(0, now, {}, 0), never);
  EXPECT_EQ(copied_code_expiry(never / 30, never - 5, {{"A", 30}}, 30), never) << "no overflow";
}
