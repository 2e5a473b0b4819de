#include "main_window.h"

#include <spdlog/spdlog.h>

#include "caf/actor_cast.hpp"
#include "caf/actor_system.hpp"
#include "caf/io/middleman.hpp"

#include "crypto/secure_clear.h"

#include <QLayoutItem>
#include <QTimer>
#include <QVBoxLayout>

#include "actor_widget_guard.h"
#include "app_system.h"
#include "otp/otp_widget.h"
#include "pin/about_diag.h"
#include "pin/login_page.h"
#include "pin/set_pin_widget.h"
#include "request.h"
#include "service_owner.h"

namespace {

const char* const no_service_text = "Failed to connect to FIDO service.";

} // namespace

MainWindow::MainWindow(uint16_t service_port) : service_port(service_port) {
  ui.setupUi(this);
  init();
}

MainWindow::~MainWindow() {
  stop_widget_delivery(self());
  crypto::secure_clear(pin);
}

void MainWindow::init() {
  super::init(*app_system);
  ui.lb_msg->setText("");
  auto content = new QVBoxLayout(ui.main_widget);
  content->setContentsMargins(0, 0, 0, 0);
  ui.menuToken->setEnabled(false);

  // The PIN goes only to a service run by root, a system account or the
  // user: any other listener counts as no connection at all. The service's
  // end of the connection is checked too, in case the port changed hands
  // between the check and the connection.
  caf::expected<caf::actor> service_actor{caf::sec::cannot_connect_to_node};
  auto distrust = untrusted_service_listener(service_port);
  if (!distrust) {
    if (service_connect_hook)
      service_connect_hook();
    service_actor = app_system->middleman().remote_actor(fido_service_host, service_port);
    // An actor of this very process (published by it on that port) comes
    // without a connection to check.
    if (service_actor && service_actor->node() != app_system->node())
      distrust = untrusted_service_connection(service_port);
  }
  if (distrust) {
    spdlog::critical("{}", *distrust);
    service_actor = caf::sec::cannot_connect_to_node;
  }
  if (!service_actor) {
    spdlog::critical("Failed to get service actor");
    ui.lb_msg->setText(no_service_text);
    return;
  }
  auto fido_otp = request_blocking<caf::actor>(*app_system, *service_actor, ::get_atom{},
                                               ::actor_fido_otp{});
  if (fido_otp) {
    spdlog::info("get fido otp actor");
    service = caf::actor_cast<fido_otp_actor>(*fido_otp);
  } else {
    spdlog::critical("Failed to get fido otp actor");
    ui.lb_msg->setText(no_service_text);
  }
  if (!service)
    return;

  auto has_access = request_blocking<bool>(*app_system, service, ::has_atom{}, ::access_atom{});
  if (has_access) {
    setup_after_token(*has_access);
    return;
  }
  ui.lb_msg->setText(QString::fromStdString(has_access.error_text()));
  if (!poll_timer) {
    poll_timer = new QTimer(this);
    poll_timer->setInterval(3000);
    connect(poll_timer, &QTimer::timeout, this, &MainWindow::poll_token);
    poll_timer->start();
  }
}

void MainWindow::poll_token() {
  auto has_access = request_blocking<bool>(*app_system, service, ::has_atom{}, ::access_atom{});
  if (!has_access) {
    ui.lb_msg->setText(QString::fromStdString(has_access.error_text()));
    return;
  }
  poll_timer->stop();
  poll_timer->deleteLater();
  poll_timer = nullptr;
  ui.lb_msg->setText("");
  setup_after_token(*has_access);
}

void MainWindow::change_pin_button_status() {
  auto policy = request_blocking<bool>(*app_system, service, ::check_atom{}, ::pin_atom{},
                                       ::policy_atom{});
  if (!policy || !*policy) {
    ui.actionChange_PIN->setEnabled(false);
    return;
  }
  ui.actionChange_PIN->setEnabled(true);
  auto has_access = request_blocking<bool>(*app_system, service, ::has_atom{}, ::access_atom{});
  if (!has_access) {
    spdlog::error("[change_pin_button_status] Failed to check is_access_empty");
    return;
  }
  bool is_access_empty = !*has_access;
  ui.actionChange_PIN->setText(is_access_empty ? tr("Set PIN") : tr("Change PIN"));
}

void MainWindow::setup_after_token(bool has_access) {
  if (has_access) {
    login_page = new LoginPage(ui.main_widget, as_actor(), service);
    ui.main_widget->layout()->addWidget(login_page);
    adjustSize();
  } else {
    // Handled through the event queue, once the handler below is installed.
    caf::anon_send(as_actor(), ::pin_atom{}, std::string{});
  }
  set_message_handler([this](caf::actor_companion*) -> caf::message_handler {
    return {
      [this](::pin_atom, std::string& new_pin) {
        crypto::secure_clear(pin);
        pin = new_pin;
        // The message's copy as well (this handler is its last reader).
        crypto::secure_clear(new_pin);
        show_otp_page();
        ui.menuToken->setEnabled(true);
        change_pin_button_status();
      },
    };
  });
}

void MainWindow::clear_content() {
  auto content = ui.main_widget->layout();
  while (auto item = content->takeAt(0)) {
    delete item->widget();
    delete item;
  }
}

void MainWindow::show_otp_page() {
  clear_content();
  otp_widget = new OtpWidget(nullptr, service, pin);
  ui.main_widget->layout()->addWidget(otp_widget);
}

void MainWindow::bt_otp_sel_clicked() {
  show_otp_page();
}

void MainWindow::bt_setting_sel_clicked() {
  clear_content();
  set_pin_widget = new SetPinWidget(nullptr, as_actor(), service);
  ui.main_widget->layout()->addWidget(set_pin_widget);
}

void MainWindow::bt_about_clicked() {
  AboutDiag about(this);
  about.exec();
}
