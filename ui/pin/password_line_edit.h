#pragma once

#include <QLineEdit>

class QEvent;
class QFocusEvent;
class QToolButton;

// A masked line edit with an eye button at its trailing end: the text shows
// only while the button is held down. The button is visible while the field
// has the pointer or the focus, whichever changed last.
// No Q_OBJECT: the widget adds nothing to QLineEdit's meta-object.
class PasswordLineEdit : public QLineEdit {
public:
  explicit PasswordLineEdit(QWidget* parent);
  ~PasswordLineEdit() override;

  void eye_pressed();
  void eye_released();

protected:
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void enterEvent(QEvent* event) override;
  void leaveEvent(QEvent* event) override;

private:
  QToolButton* eye = nullptr; // owned by the line edit
};
