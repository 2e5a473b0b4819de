#include "login_page.h"

#include "actor_widget_guard.h"

#include <system_error>
#include <utility>

#include <spdlog/spdlog.h>

#include "caf/send.hpp"

#include <QCoreApplication>

#include "app_system.h"
#include "keyboard_focus.h"
#include "page_worker.h"
#include "request.h"

#include "ui_login_page.h"

namespace {

const char* const check_failed =
  QT_TRANSLATE_NOOP("LoginPage", "Could not start the PIN check.");

void verify_pin(const caf::actor& page, const fido_otp_actor& service,
                const caf::actor& main_window, const std::string& pin) {
  auto correct = request_blocking<bool>(*app_system, service, ::verify_atom{}, ::access_atom{},
                                        pin);
  if (!correct) {
    spdlog::error("Failed to verify PIN. Error: {}", correct.error_text());
    tell(page, correct.error_text());
  } else if (*correct) {
    spdlog::info("PIN OK");
    tell(page, "PIN OK.");
    if (main_window)
      caf::anon_send(main_window, ::pin_atom{}, pin);
  } else {
    spdlog::info("Wrong PIN");
    tell(page, "Wrong PIN.");
  }
}

} // namespace

LoginPage::LoginPage(QWidget* parent, caf::actor main_window, fido_otp_actor service)
  : super(parent),
    main_window(std::move(main_window)),
    service(std::move(service)),
    ui(std::make_unique<Ui::LoginPage>()),
    start_thread(start_detached) {
  ui->setupUi(this);
  focus_first_tab_stop_on_show(this);
  ring_icon_when_focused(ui->bt_go);
  ui->lb_msg->setText("");
  super::init(*app_system);
  set_message_handler([this](caf::actor_companion*) -> caf::message_handler {
    return {
      [this](::enable_atom) { ui->bt_go->setEnabled(true); },
      [this](::msg_atom, const std::string& text) {
        ui->lb_msg->setText(QString::fromStdString(text));
      },
    };
  });
}

LoginPage::~LoginPage() {
  stop_widget_delivery(self());
}

void LoginPage::set_thread_starter(thread_starter starter) {
  start_thread = std::move(starter);
}

void LoginPage::go_click() {
  crypto::secret_string pin{pin_text(ui->le_pin->text())};
  ui->bt_go->setEnabled(false);
  // The worker gets counted handles and its own copy of the PIN, never `this`.
  // The job's copy is wiped when the job goes, also when it never runs.
  auto job = [page = as_actor(), service = service, main_window = main_window,
              pin = std::move(pin)]() mutable {
    verify_pin_worker(std::move(page), std::move(service), std::move(main_window), pin.str());
  };
  try {
    start_thread(std::move(job));
  } catch (const std::system_error&) {
    ui->lb_msg->setText(tr(check_failed));
    ui->bt_go->setEnabled(true);
  }
}

void verify_pin_worker(caf::actor page, fido_otp_actor service, caf::actor main_window,
                       std::string pin) {
  wipe_on_exit wipe{pin};
  enable_on_exit guard{page};
  auto failure = QCoreApplication::translate("LoginPage", check_failed).toStdString();
  run_worker(page, "LoginPage", failure, [&] { verify_pin(page, service, main_window, pin); });
}
