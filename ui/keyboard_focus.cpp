#include "keyboard_focus.h"

#include <QAbstractButton>
#include <QEvent>
#include <QIcon>
#include <QImage>
#include <QPainter>
#include <QPalette>
#include <QPen>
#include <QPixmap>
#include <QWidget>

namespace {

class FocusOnShow : public QObject {
public:
  explicit FocusOnShow(QWidget* page) : QObject(page), page(page) {}

protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == page && event->type() == QEvent::Show) {
      if (auto field = first_tab_stop(page))
        field->setFocus(Qt::OtherFocusReason);
    }
    return false;
  }

private:
  QWidget* page;
};

} // namespace

QWidget* first_tab_stop(QWidget* page) {
  for (auto w = page->nextInFocusChain(); w && w != page; w = w->nextInFocusChain()) {
    if (page->isAncestorOf(w) && w->isVisibleTo(page) && w->isEnabled() &&
        (w->focusPolicy() & Qt::TabFocus))
      return w;
  }
  return nullptr;
}

void focus_first_tab_stop_on_show(QWidget* page) {
  page->installEventFilter(new FocusOnShow(page));
}

void ring_icon_when_focused(QAbstractButton* button) {
  QIcon icon = button->icon();
  const QColor colour = button->palette().color(QPalette::Highlight);
  for (const QSize& size : icon.availableSizes(QIcon::Normal, QIcon::Off)) {
    QImage image = icon.pixmap(size).toImage();
    image.setDevicePixelRatio(1);
    const qreal width = image.width() / 12.0;
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(colour, width));
    painter.setBrush(Qt::NoBrush);
    const qreal inset = width / 2;
    painter.drawEllipse(QRectF(image.rect()).adjusted(inset, inset, -inset, -inset));
    painter.end();
    icon.addPixmap(QPixmap::fromImage(image), QIcon::Active, QIcon::Off);
  }
  button->setIcon(icon);
}
