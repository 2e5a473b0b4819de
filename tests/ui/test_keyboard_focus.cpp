// Where keyboard focus starts on a page, and how a focused image button looks.
#include <QApplication>
#include <QComboBox>
#include <QIcon>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QVBoxLayout>
#include <QWidget>

#include <gtest/gtest.h>

#include "keyboard_focus.h"
#include "widget_probe.h"

namespace {

using testing_support::pixels_changed_by_focus;
using testing_support::show_active;

// Lays the widgets out on `page`, top to bottom, in tab order.
template <class... Widgets>
void lay_out(QWidget& page, Widgets*... widgets) {
    auto layout = new QVBoxLayout(&page);
    (layout->addWidget(widgets), ...);
}

TEST(FirstTabStop, SkipsWhatTabSkips) {
    QWidget page;
    auto hidden = new QLineEdit;
    auto disabled = new QLineEdit;
    auto no_focus = new QPushButton;
    auto click_only = new QPushButton;
    auto first = new QComboBox;
    auto second = new QLineEdit;
    lay_out(page, hidden, disabled, no_focus, click_only, first, second);
    hidden->hide();
    disabled->setEnabled(false);
    no_focus->setFocusPolicy(Qt::NoFocus);
    click_only->setFocusPolicy(Qt::ClickFocus);
    EXPECT_EQ(first_tab_stop(&page), first);

    QWidget::setTabOrder(second, first);  // tab order, not position, decides
    EXPECT_EQ(first_tab_stop(&page), second);

    QWidget empty;
    EXPECT_EQ(first_tab_stop(&empty), nullptr);
}

TEST(FirstTabStop, GetsTheFocusEachTimeThePageIsShown) {
    QWidget page;
    auto optional = new QLineEdit;
    auto field = new QLineEdit;
    auto other = new QLineEdit;
    lay_out(page, optional, field, other);
    optional->hide();
    focus_first_tab_stop_on_show(&page);
    ASSERT_TRUE(show_active(&page));
    EXPECT_EQ(QApplication::focusWidget(), field);

    other->setFocus();
    page.hide();
    optional->show();
    ASSERT_TRUE(show_active(&page));
    EXPECT_EQ(QApplication::focusWidget(), optional);
}

TEST(FocusRing, FlatImageButtonLooksDifferentWhenFocused) {
    QWidget page;
    page.setStyleSheet("font: 13px \"Tahoma\";");
    auto other = new QLineEdit;
    auto button = new QPushButton;
    lay_out(page, other, button);
    button->setFixedSize(40, 40);
    button->setIcon(QIcon(":/pic/C2cBTN.png"));
    button->setIconSize(QSize(40, 40));
    button->setFlat(true);
    ASSERT_TRUE(show_active(&page));
    button->clearFocus();
    QApplication::processEvents();
    const QImage unfocused = button->grab().toImage();

    ring_icon_when_focused(button);
    EXPECT_EQ(button->grab().toImage(), unfocused) << "the unfocused look stays";
    EXPECT_GT(pixels_changed_by_focus(button), 200);
}

}  // namespace
