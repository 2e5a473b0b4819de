// Where keyboard focus starts on a page.
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWidget>

#include <gtest/gtest.h>

#include "keyboard_focus.h"

namespace {

TEST(FirstTabStop, SkipsWhatTabSkips) {
    QWidget page;
    auto layout = new QVBoxLayout(&page);
    auto hidden = new QLineEdit;
    auto disabled = new QLineEdit;
    auto no_focus = new QPushButton;
    auto click_only = new QPushButton;
    auto first = new QComboBox;
    auto second = new QLineEdit;
    for (QWidget* w : std::initializer_list<QWidget*>{hidden, disabled, no_focus, click_only, first, second})
        layout->addWidget(w);
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

}  // namespace
