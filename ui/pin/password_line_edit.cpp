#include "password_line_edit.h"

#include <QAction>
#include <QCoreApplication>
#include <QIcon>
#include <QToolButton>

namespace {

const char* const masked_icon = ":/pic/eye-off";
const char* const revealed_icon = ":/pic/eye-on";

} // namespace

PasswordLineEdit::PasswordLineEdit(QWidget* parent) : QLineEdit(parent) {
  setEchoMode(QLineEdit::Password);
  // The action only places the button; its triggered() is left unconnected.
  auto action = addAction(QIcon(masked_icon), QLineEdit::TrailingPosition);
  // The eye button takes its tip from the action.
  const QString show_pin = QCoreApplication::translate("PasswordLineEdit", "Show PIN");
  action->setToolTip(show_pin);
  eye = qobject_cast<QToolButton*>(action->associatedWidgets().last());
  eye->setAccessibleName(show_pin);
  eye->hide();
  eye->setCursor(Qt::PointingHandCursor);
  connect(eye, &QToolButton::pressed, this, &PasswordLineEdit::eye_pressed);
  connect(eye, &QToolButton::released, this, &PasswordLineEdit::eye_released);
}

PasswordLineEdit::~PasswordLineEdit() = default;

void PasswordLineEdit::eye_pressed() {
  eye->setIcon(QIcon(revealed_icon));
  setEchoMode(QLineEdit::Normal);
}

void PasswordLineEdit::eye_released() {
  eye->setIcon(QIcon(masked_icon));
  setEchoMode(QLineEdit::Password);
}

void PasswordLineEdit::focusInEvent(QFocusEvent* event) {
  eye->show();
  QLineEdit::focusInEvent(event);
}

void PasswordLineEdit::focusOutEvent(QFocusEvent* event) {
  eye->hide();
  QLineEdit::focusOutEvent(event);
}

void PasswordLineEdit::enterEvent(QEvent* event) {
  eye->show();
  QWidget::enterEvent(event);
}

void PasswordLineEdit::leaveEvent(QEvent* event) {
  eye->hide();
  QWidget::leaveEvent(event);
}
