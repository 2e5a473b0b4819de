// The masked line edit with its hold-to-reveal eye button.
#include <QAction>
#include <QApplication>
#include <QFocusEvent>
#include <QIcon>
#include <QImage>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include "pin/password_line_edit.h"

namespace {

QImage image_of(const QIcon& icon) {
  return icon.pixmap(QSize(24, 24)).toImage().convertToFormat(QImage::Format_ARGB32);
}

QImage image_of(const char* path) {
  return image_of(QIcon(path));
}

QToolButton* eye_of(PasswordLineEdit& edit) {
  auto buttons = edit.findChildren<QToolButton*>();
  return buttons.size() == 1 ? buttons.front() : nullptr;
}

void send(QWidget* to, QEvent::Type type) {
  if (type == QEvent::FocusIn || type == QEvent::FocusOut) {
    QFocusEvent event(type, Qt::OtherFocusReason);
    QApplication::sendEvent(to, &event);
  } else {
    QEvent event(type);
    QApplication::sendEvent(to, &event);
  }
}

} // namespace

TEST(PasswordLineEdit, StartsMaskedWithAHiddenEyeAtTheTrailingEnd) {
  QWidget window;
  PasswordLineEdit& edit = *new PasswordLineEdit(&window);
  EXPECT_EQ(edit.echoMode(), QLineEdit::Password);
  EXPECT_STREQ(edit.metaObject()->className(), "QLineEdit");
  ASSERT_EQ(edit.actions().size(), 1);
  auto action = edit.actions().front();
  auto eye = eye_of(edit);
  ASSERT_NE(eye, nullptr);
  EXPECT_EQ(action->associatedWidgets().last(), eye);
  EXPECT_TRUE(eye->isHidden());
  EXPECT_EQ(eye->cursor().shape(), Qt::PointingHandCursor);
  ASSERT_FALSE(image_of(":/pic/eye-off").isNull()) << "SVG icons load without a suffix";
  EXPECT_EQ(image_of(eye->icon()), image_of(":/pic/eye-off"));

  // Trailing: with the field shown, the eye sits at its right end.
  edit.setGeometry(0, 0, 200, 30);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  send(&edit, QEvent::Enter);
  EXPECT_GT(eye->geometry().center().x(), edit.width() / 2);
}

TEST(PasswordLineEdit, TextShowsOnlyWhileTheEyeIsHeldDown) {
  PasswordLineEdit edit(nullptr);
  edit.setText("s3cret");
  auto eye = eye_of(edit);
  ASSERT_NE(eye, nullptr);
  edit.setGeometry(0, 0, 200, 30);
  edit.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&edit));
  send(&edit, QEvent::Enter);
  ASSERT_TRUE(eye->isVisible());

  QTest::mousePress(eye, Qt::LeftButton);
  EXPECT_EQ(edit.echoMode(), QLineEdit::Normal);
  EXPECT_EQ(image_of(eye->icon()), image_of(":/pic/eye-on"));
  EXPECT_NE(image_of(":/pic/eye-on"), image_of(":/pic/eye-off"));
  QTest::mouseRelease(eye, Qt::LeftButton);
  EXPECT_EQ(edit.echoMode(), QLineEdit::Password);
  EXPECT_EQ(image_of(eye->icon()), image_of(":/pic/eye-off"));

  // A click that is released at once leaves the text masked.
  QTest::mouseClick(eye, Qt::LeftButton);
  EXPECT_EQ(edit.echoMode(), QLineEdit::Password);
  EXPECT_EQ(edit.text(), "s3cret");
}

TEST(PasswordLineEdit, TriggeringTheActionRevealsNothing) {
  PasswordLineEdit edit(nullptr);
  auto eye = eye_of(edit);
  ASSERT_NE(eye, nullptr);
  auto icon_before = image_of(eye->icon());
  edit.actions().front()->trigger();
  EXPECT_EQ(edit.echoMode(), QLineEdit::Password);
  EXPECT_EQ(image_of(eye->icon()), icon_before);
}

TEST(PasswordLineEdit, EyeFollowsTheLastOfFocusAndPointerEvents) {
  PasswordLineEdit edit(nullptr);
  auto eye = eye_of(edit);
  ASSERT_NE(eye, nullptr);
  struct step {
    QEvent::Type event;
    bool shown;
  };
  const step steps[] = {
    {QEvent::FocusIn, true},  {QEvent::FocusOut, false}, {QEvent::Enter, true},
    {QEvent::Leave, false},   {QEvent::FocusIn, true},   {QEvent::Leave, false},
    {QEvent::Enter, true},    {QEvent::FocusOut, false}, {QEvent::FocusIn, true},
    {QEvent::Enter, true},
  };
  int i = 0;
  for (auto& s : steps) {
    send(&edit, s.event);
    EXPECT_EQ(!eye->isHidden(), s.shown) << "step " << i << ", event " << s.event;
    ++i;
  }
}

TEST(PasswordLineEdit, FocusEventsStillReachTheLineEdit) {
  PasswordLineEdit edit(nullptr);
  edit.setText("1234");
  // QLineEdit selects its text when focused by Tab and drops the selection on focus loss.
  QFocusEvent in(QEvent::FocusIn, Qt::TabFocusReason);
  QApplication::sendEvent(&edit, &in);
  EXPECT_FALSE(eye_of(edit)->isHidden());
  EXPECT_EQ(edit.selectedText(), "1234");
  QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
  QApplication::sendEvent(&edit, &out);
  EXPECT_TRUE(eye_of(edit)->isHidden());
  EXPECT_FALSE(edit.hasSelectedText());
}
