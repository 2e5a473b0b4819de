#include "accessibility.h"

#ifdef TOVRIN_AT_SPI

#include <QAccessible>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QEvent>
#include <QGuiApplication>
#include <QObject>
#include <QString>

namespace {

// The bridge's connection to the accessibility bus goes by this name.
bool accessibility_bus_joined() {
  return QDBusConnection(QStringLiteral("QAccessibilityConnection")).isConnected();
}

// Waits for the first queued call to the bridge, its start call, drops it
// when it comes before the bus is joined, and removes itself.
class BridgeStartFilter : public QObject {
public:
  using QObject::QObject;

protected:
  bool eventFilter(QObject* receiver, QEvent* event) override {
    if (event->type() != QEvent::MetaCall || !receiver->inherits("QSpiAccessibleBridge"))
      return false;
    QCoreApplication::instance()->removeEventFilter(this);
    deleteLater();
    return !accessibility_bus_joined();
  }
};

} // namespace

void start_accessibility_bridge() {
  if (QGuiApplication::platformName() != QLatin1String("xcb"))
    return;
  auto app = QCoreApplication::instance();
  app->installEventFilter(new BridgeStartFilter(app));
  // Creates the bridge now, so that its start call is the next call queued for it.
  QAccessible::isActive();
}

#else

void start_accessibility_bridge() {}

#endif
