#pragma once

class QAbstractButton;
class QWidget;

// The first widget of `page` that Tab reaches: in the page's tab order, a
// descendant that is shown, enabled and takes focus by Tab; null if none.
QWidget* first_tab_stop(QWidget* page);

// Gives the first tab stop of `page` the keyboard focus each time the page is
// shown, so that typing goes to its first field at once.
void focus_first_tab_stop_on_show(QWidget* page);

// A flat round image button looks the same focused and unfocused in styles
// that draw no focus frame on flat buttons (Fusion among them). Styles show a
// focused push button's icon in its Active mode: this gives the button's icon
// an Active look, its artwork ringed in the palette's highlight colour.
void ring_icon_when_focused(QAbstractButton* button);
