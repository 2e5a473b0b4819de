#pragma once

// CAF headers come before Qt headers.
#include <functional>
#include <memory>
#include <string>

#include "caf/actor.hpp"
#include "caf/mixin/actor_widget.hpp"

#include <QWidget>

#include "fido_otp_actor.h"
#include "page_worker.h"

namespace Ui {
class LoginPage;
}

// Asks for the access PIN, has the service verify it on a worker thread and
// hands an accepted PIN to the main window.
class LoginPage : public caf::mixin::actor_widget<QWidget, 32337> {
  Q_OBJECT

public:
  using super = caf::mixin::actor_widget<QWidget, 32337>;

  LoginPage(QWidget* parent, caf::actor main_window, fido_otp_actor service);
  ~LoginPage() override;

  // Replaces how go_click() starts its worker (tests).
  void set_thread_starter(thread_starter starter);

public Q_SLOTS:
  void go_click();

private:
  caf::actor main_window;
  fido_otp_actor service;
  std::unique_ptr<Ui::LoginPage> ui;
  thread_starter start_thread;
};

// The worker of go_click(): verifies `pin` with the service, reports the
// outcome to `page` and hands an accepted PIN to `main_window` (when valid).
// Its last message to `page` is always enable_atom. Touches no widget.
void verify_pin_worker(caf::actor page, fido_otp_actor service, caf::actor main_window,
                       std::string pin);
