#pragma once

// What a user who cannot see the screen, or uses no mouse, gets from a
// widget: the texts assistive technology reads, and whether focus shows.

#include <vector>

#include <QAccessible>
#include <QAccessibleInterface>
#include <QApplication>
#include <QImage>
#include <QLineEdit>
#include <QPointer>
#include <QString>
#include <QTest>
#include <QVBoxLayout>
#include <QWidget>

namespace testing_support {

// The text of kind `kind` (Name, Description, ...) that screen readers get.
inline QString accessible_text(QWidget* widget, QAccessible::Text kind) {
  auto iface = QAccessible::queryAccessibleInterface(widget);
  return iface ? iface->text(kind) : QString("(no accessible interface)");
}

// Shows `top` as the active window, so that its widgets can hold the focus.
inline bool show_active(QWidget* top) {
  top->show();
  QApplication::setActiveWindow(top);
  return QTest::qWaitForWindowActive(top);
}

// A shown, active window whose focus sits in a field of its own; a test adds
// a page to it as the main window does when it switches pages. The pages stay
// the test's: the host lets go of them when it ends.
class PageHost {
public:
  PageHost() : layout(new QVBoxLayout(&window)), field(new QLineEdit) { layout->addWidget(field); }
  ~PageHost() {
    for (auto& page : pages)
      if (page)
        page->setParent(nullptr);
  }
  bool show() {
    if (!show_active(&window))
      return false;
    field->setFocus();
    return field->hasFocus();
  }
  void add(QWidget* page) {
    pages.push_back(page);
    layout->addWidget(page);
  }

  QWidget window;
  QVBoxLayout* layout;
  QLineEdit* field;

private:
  std::vector<QPointer<QWidget>> pages;
};

// How many pixels of `widget` (in an active window) differ between its looks
// without and with the keyboard focus.
inline int pixels_changed_by_focus(QWidget* widget) {
  widget->clearFocus();
  QApplication::processEvents();
  const QImage unfocused = widget->grab().toImage();
  widget->setFocus(Qt::TabFocusReason);
  QApplication::processEvents();
  if (!widget->hasFocus())
    return -1;
  const QImage focused = widget->grab().toImage();
  if (focused.size() != unfocused.size())
    return -1;
  int changed = 0;
  for (int y = 0; y < focused.height(); ++y)
    for (int x = 0; x < focused.width(); ++x)
      changed += focused.pixel(x, y) != unfocused.pixel(x, y);
  return changed;
}

} // namespace testing_support
