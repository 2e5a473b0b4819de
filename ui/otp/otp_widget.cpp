#include "otp_widget.h"

#include "actor_widget_guard.h"

#include <algorithm>
#include <chrono>
#include <iostream>
#include <utility>

#include "caf/actor_system.hpp"
#include "caf/send.hpp"

#include "crypto/secure_clear.h"

#include <QApplication>
#include <QClipboard>
#include <QShortcut>
#include <QToolTip>

#include "access_gate.h"
#include "app_system.h"
#include "artwork.h"
#include "copied_code.h"
#include "countdown.h"
#include "keyboard_focus.h"
#include "name_codec.h"
#include "otp_widget_actor_detach.h"
#include "ui_otp_widget.h"
#include "unix_clock.h"

namespace {

const char* const crest_path = ":/pic/Tovrin Authenticator/Tovrin Crest 64 x 64.png";
const char* const logo_path = ":/pic/halvard.png";
// How long the confirmation of a copy stays next to the button.
constexpr int copied_tip_ms = 2000;

} // namespace

OtpWidget::OtpWidget(QWidget* parent, fido_otp_actor service, std::string entered_pin)
  : super(parent), service(std::move(service)), ui(new Ui::OtpWidget),
    pin(std::move(entered_pin)) {
  // A short PIN leaves its bytes behind in the moved-from argument.
  crypto::secure_clear(entered_pin);
  ui->setupUi(this);
  finish_form();
  ui->lb_msg->setText(QString());
  ui->progressBar->setRange(0, static_cast<int>(period));
  ui->progressBar->setValue(0);
  blank_display();
  init();
}

OtpWidget::~OtpWidget() {
  stop_widget_delivery(self());
  forget_copied_code();
  crypto::secure_clear(pin);
  std::cout << "destroy OtpWidget..." << std::endl;
  // The polling actor may be waiting for a touch of the key: do not wait for it.
  caf::anon_send_exit(polling_actor, caf::exit_reason::user_shutdown);
}

// What the form cannot say: focus on the token list when the page is shown, a
// visible focus on the copy button and Ctrl+C for it, and the pictures from
// their @2x files on high-DPI screens.
void OtpWidget::finish_form() {
  focus_first_tab_stop_on_show(this);
  ring_icon_when_focused(ui->pushButton);
  auto copy = new QShortcut(QKeySequence::Copy, this);
  connect(copy, &QShortcut::activated, ui->pushButton, &QAbstractButton::click);
  const qreal ratio = qApp->devicePixelRatio();
  ui->label_2->setPixmap(artwork(crest_path, ratio));
  ui->label->setPixmap(artwork(logo_path, ratio));
}

void OtpWidget::init() {
  super::init(*app_system);
  polling_actor = app_system->spawn<OtpWidgetActorDetach, caf::detached>(as_actor(), service);
  caf::anon_send(as_actor(), ::tick_atom{});
  set_message_handler([this](caf::actor_companion*) -> caf::message_handler {
    return {
      [this](::get_atom, ::access_atom) { get_access(); },
      [this](::set_atom, ::info_atom, const std::vector<OtpTokenInfo>& list) {
        set_tokens(list);
      },
      [this](::set_atom, ::otp_atom, const std::string& code, uint64_t step) {
        std::cout << "set" << std::endl;
        show_code(QString::fromStdString(code));
        last_step = step;
        std::cout << "set done" << std::endl;
      },
      [this](::msg_atom, const std::string& text) {
        ui->lb_msg->setText(QString::fromStdString(text));
      },
      [this](::stop_atom) {
        std::cout << "stop atom" << std::endl;
        active = false;
        ui->comboBox->clear();
        ui->progressBar->setValue(0);
        blank_display();
      },
      [this](::tick_atom) { countdown_tick(); },
      [this](::name_atom) {
        if (active && polling_actor)
          caf::anon_send(polling_actor, ::name_atom{},
                         name_from_qstring(ui->comboBox->currentText()), pin);
      },
    };
  });
}

void OtpWidget::set_tokens(const std::vector<OtpTokenInfo>& list) {
  tokens = list;
  ui->comboBox->clear();
  // Each token goes to the front: the box lists them in reverse, and its
  // current item stays the first token of the list.
  for (auto& token : tokens)
    ui->comboBox->insertItem(0, name_to_qstring(token.name));
  if (!tokens.empty()) {
    caf::anon_send(as_actor(), ::get_atom{}, ::access_atom{});
    period = tokens.front().period;
  }
}

void OtpWidget::index_changed(const QString& text) {
  blank_display();
  auto name = name_from_qstring(text);
  auto token = std::find_if(tokens.begin(), tokens.end(),
                            [&](const OtpTokenInfo& x) { return x.name == name; });
  if (token != tokens.end())
    period = token->period;
  caf::anon_send(as_actor(), ::name_atom{});
}

void OtpWidget::copy_clicked() {
  // A blank display copies nothing: the clipboard keeps what it had.
  if (code_text.isEmpty())
    return;
  QApplication::clipboard()->setMimeData(secret_mime_data(code_text), QClipboard::Clipboard);
  // The code may belong to a token other than the one selected now.
  copied = copied_code{code_text,
                       copied_code_expiry(last_step, unix_clock::now(), tokens, period)};
  // Qt's tool tip hides itself after the given time: no timer of our own.
  auto button = ui->pushButton;
  QToolTip::showText(button->mapToGlobal(QPoint(button->width(), button->height() / 2)),
                     tr("Copied"), button, QRect(), copied_tip_ms);
}

// Takes the code back from the clipboard unless something else was copied
// since; another program's clipboard is neither read nor cleared.
void OtpWidget::forget_copied_code() {
  if (!copied)
    return;
  auto clipboard = QApplication::clipboard();
  if (clipboard_holds_copied_code(*clipboard, QGuiApplication::platformName(), copied->text))
    clipboard->clear(QClipboard::Clipboard);
  copied.reset();
}

// As many digits as the code has, so that leading zeros stay; an empty code
// leaves no digit at all.
void OtpWidget::show_code(const QString& code) {
  code_text = code;
  ui->lcdNumber->setDigitCount(code.size());
  ui->lcdNumber->display(code);
  // Screen readers read the digits here, leading zeros included.
  ui->lcdNumber->setAccessibleDescription(code);
}

void OtpWidget::blank_display() {
  code_text.clear();
  ui->lcdNumber->display(QString());
  ui->lcdNumber->setAccessibleDescription(QString());
}

void OtpWidget::countdown_tick() {
  uint64_t now = unix_clock::now();
  if (copied && now >= copied->valid_until)
    forget_copied_code();
  if (active && period != 0) {
    uint64_t step = now / period;
    if (step > last_step) {
      std::cout << "clear" << step << " " << last_step << std::endl;
      blank_display();
    }
    auto bar = bar_position_at(now, period);
    ui->progressBar->setRange(0, bar.maximum);
    ui->progressBar->setValue(bar.value);
  }
  caf::delayed_anon_send(as_actor(), std::chrono::seconds(1), ::tick_atom{});
}

void OtpWidget::get_access() {
  auto verdict = check_access(*app_system, service, pin);
  if (verdict.message)
    ui->lb_msg->setText(QString::fromStdString(*verdict.message));
  if (verdict.granted) {
    active = true;
    caf::anon_send(as_actor(), ::name_atom{});
  }
}
