#pragma once

// CAF headers come before Qt headers.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "caf/actor.hpp"
#include "caf/mixin/actor_widget.hpp"

#include <QString>
#include <QWidget>

#include "copied_code.h"
#include "fido_otp_actor.h"

namespace Ui {
class OtpWidget;
}

// The page that shows one-time codes: lists the key's tokens, shows the
// selected token's code and how much of its period has passed, and copies the
// code. Token lists and codes come from its polling actor.
class OtpWidget : public caf::mixin::actor_widget<QWidget, 32337> {
  Q_OBJECT

public:
  using super = caf::mixin::actor_widget<QWidget, 32337>;

  OtpWidget(QWidget* parent, fido_otp_actor service, std::string pin);
  ~OtpWidget() override;

  void init();

  // The PIN access gate: runs on (get_atom, access_atom) after every non-empty
  // token list; grants access or says in lb_msg why not.
  void get_access();

  // The code on the display, every digit; empty while the display is blank.
  const QString& displayed_code() const { return code_text; }

public Q_SLOTS:
  void index_changed(const QString& text);
  void copy_clicked();

private:
  void finish_form();
  void set_tokens(const std::vector<OtpTokenInfo>& list);
  void show_code(const QString& code);
  void blank_display();
  void countdown_tick();
  void forget_copied_code();

  fido_otp_actor service;
  std::unique_ptr<Ui::OtpWidget> ui;
  caf::actor polling_actor;
  // Unsigned: token periods go up to 4294967295 seconds.
  uint32_t period = 60;
  bool active = false;
  uint64_t last_step = 0;
  std::vector<OtpTokenInfo> tokens;
  std::string pin;
  QString code_text;
  // The code last put on the clipboard, taken back when its step ends.
  std::optional<copied_code> copied;
};
