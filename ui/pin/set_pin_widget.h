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
class SetPinWidget;
}

// Sets a first access PIN (key without PIN: the old-PIN field is hidden) or
// changes it; the service work runs on a worker thread. A new PIN reaches
// the main window 2 seconds after the success text.
class SetPinWidget : public caf::mixin::actor_widget<QWidget, 32337> {
  Q_OBJECT

public:
  using super = caf::mixin::actor_widget<QWidget, 32337>;

  // Asks the service on the calling thread whether the key has a PIN.
  SetPinWidget(QWidget* parent, caf::actor main_window, fido_otp_actor service);
  ~SetPinWidget() override;

  void init();

  // Replaces how set_pin_clicked() starts its worker (tests).
  void set_thread_starter(thread_starter starter);

public Q_SLOTS:
  void set_pin_clicked();

private:
  std::unique_ptr<Ui::SetPinWidget> ui;
  fido_otp_actor service;
  caf::actor main_window;
  thread_starter start_thread;
};

// The worker of set_pin_clicked(): checks the confirmation, the PIN policy,
// then has the service replace `old_pin` by `new_pin`; on success the new PIN
// goes to `main_window` (when valid) 2 seconds later. Reports to `page` (when
// valid), always ending with enable_atom. Touches no widget.
void set_pin_worker(caf::actor page, caf::actor main_window, fido_otp_actor service,
                    std::string old_pin, std::string new_pin, std::string confirmation);
