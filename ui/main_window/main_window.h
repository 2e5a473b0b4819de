#pragma once

// CAF headers come before Qt headers.
#include <cstdint>
#include <string>

#include "caf/mixin/actor_widget.hpp"

#include <QMainWindow>

#include "fido_otp_actor.h"
#include "ui_main_window.h"

class QTimer;
class LoginPage;
class OtpWidget;
class SetPinWidget;

// The application's only top-level window: connects to the FIDO OTP service
// and hosts one page at a time in `main_widget`.
class MainWindow : public caf::mixin::actor_widget<QMainWindow, 32337> {
  Q_OBJECT

public:
  using super = caf::mixin::actor_widget<QMainWindow, 32337>;

  // The service is looked up at 127.0.0.1 on `service_port`; the application
  // always uses the default, tests pick a free port.
  explicit MainWindow(uint16_t service_port = fido_service_port);
  ~MainWindow() override;

  void init();
  void setup_after_token(bool has_access);

public Q_SLOTS:
  void bt_setting_sel_clicked();
  void bt_otp_sel_clicked();
  void bt_about_clicked();
  void poll_token();
  void change_pin_button_status();

private:
  void clear_content();
  void show_otp_page();

  Ui::MainWindow ui;
  OtpWidget* otp_widget = nullptr;
  SetPinWidget* set_pin_widget = nullptr;
  LoginPage* login_page = nullptr;
  fido_otp_actor service;
  std::string pin;
  QTimer* poll_timer = nullptr;
  uint16_t service_port;
};
