#include "set_pin_widget.h"

#include "actor_widget_guard.h"

#include <chrono>
#include <system_error>
#include <utility>

#include "caf/send.hpp"

#include <QCoreApplication>

#include "app_system.h"
#include "keyboard_focus.h"
#include "page_worker.h"
#include "request.h"

#include "ui_set_pin_widget.h"

namespace {

const char* const change_failed =
  QT_TRANSLATE_NOOP("SetPinWidget", "Could not start the PIN change.");

void set_pin(const caf::actor& page, const caf::actor& main_window,
             const fido_otp_actor& service, const std::string& old_pin, const std::string& new_pin,
             const std::string& confirmation) {
  if (new_pin != confirmation) {
    tell(page, "new password and confirm password do not match");
    return;
  }
  auto verdict = request_blocking<PinPolicyResult>(*app_system, service, ::check_atom{},
                                                   ::compliant_atom{}, ::policy_atom{},
                                                   new_pin);
  if (!verdict) {
    tell(page, verdict.error_text());
    return;
  }
  if (!verdict->is_compliant) {
    tell(page, verdict->reason);
    return;
  }
  tell(page, "Please touch the key...");
  auto changed = request_blocking<void>(*app_system, service, ::change_atom{},
                                        ::access_atom{}, new_pin, old_pin);
  if (!changed) {
    tell(page, changed.error_text());
    return;
  }
  tell(page, "PIN was set successfully.");
  // The actor system's clock holds the message; this thread ends at once.
  if (main_window)
    caf::delayed_anon_send(main_window, std::chrono::seconds(2), ::pin_atom{}, new_pin);
}

// The action button says what it does, which depends on the page's mode.
void name_for_mode(QPushButton* button, bool change_mode) {
  const QString name = change_mode ? SetPinWidget::tr("Change PIN") : SetPinWidget::tr("Set PIN");
  button->setAccessibleName(name);
  button->setToolTip(name);
}

} // namespace

SetPinWidget::SetPinWidget(QWidget* parent, caf::actor main_window, fido_otp_actor service)
  : super(parent),
    ui(std::make_unique<Ui::SetPinWidget>()),
    service(std::move(service)),
    main_window(std::move(main_window)),
    start_thread(start_detached) {
  ui->setupUi(this);
  focus_first_tab_stop_on_show(this);
  ring_icon_when_focused(ui->bt_set_pin);
  ui->lb_msg->setText("");
  auto has_access = request_blocking<bool>(*app_system, this->service, ::has_atom{},
                                           ::access_atom{});
  if (!has_access) {
    // The mode is unknown: keep the old-PIN field for a key that has a PIN,
    // and still install the handlers so the button comes back after a press.
    ui->lb_msg->setText(QString::fromStdString(has_access.error_text()));
  } else if (*has_access) {
    ui->le_old_pin->show();
  } else {
    ui->le_old_pin->setText("");
    ui->le_old_pin->hide();
  }
  name_for_mode(ui->bt_set_pin, !ui->le_old_pin->isHidden());
  init();
}

SetPinWidget::~SetPinWidget() {
  stop_widget_delivery(self());
}

void SetPinWidget::init() {
  super::init(*app_system);
  set_message_handler([this](caf::actor_companion*) -> caf::message_handler {
    return {
      [this](::enable_atom) { ui->bt_set_pin->setEnabled(true); },
      [this](::msg_atom, const std::string& text) {
        ui->lb_msg->setText(QString::fromStdString(text));
      },
    };
  });
}

void SetPinWidget::set_thread_starter(thread_starter starter) {
  start_thread = std::move(starter);
}

void SetPinWidget::set_pin_clicked() {
  ui->bt_set_pin->setEnabled(false);
  crypto::secret_string old_pin{ui->le_old_pin->isHidden() ? std::string{}
                                                           : pin_text(ui->le_old_pin->text())};
  crypto::secret_string new_pin{pin_text(ui->le_new_pin->text())};
  crypto::secret_string confirmation{pin_text(ui->le_new_pin1->text())};
  // The worker gets counted handles and its own copies of the texts, never `this`.
  // The job's copies are wiped when the job goes, also when it never runs.
  auto job = [page = as_actor(), main_window = main_window, service = service,
              old_pin = std::move(old_pin), new_pin = std::move(new_pin),
              confirmation = std::move(confirmation)]() mutable {
    set_pin_worker(std::move(page), std::move(main_window), std::move(service), old_pin.str(),
                   new_pin.str(), confirmation.str());
  };
  try {
    start_thread(std::move(job));
  } catch (const std::system_error&) {
    ui->lb_msg->setText(tr(change_failed));
    ui->bt_set_pin->setEnabled(true);
  }
}

void set_pin_worker(caf::actor page, caf::actor main_window, fido_otp_actor service,
                    std::string old_pin, std::string new_pin, std::string confirmation) {
  // The delayed message holds a copy of its own: the main window wipes it.
  wipe_on_exit wipe{old_pin, new_pin, confirmation};
  enable_on_exit guard{page};
  auto failure = QCoreApplication::translate("SetPinWidget", change_failed).toStdString();
  run_worker(page, "SetPinWidget", failure,
             [&] { set_pin(page, main_window, service, old_pin, new_pin, confirmation); });
}
