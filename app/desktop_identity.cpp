#include "desktop_identity.h"

#include <QGuiApplication>
#include <QIcon>
#include <QString>
#include <QtGlobal>

#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)

void name_application_for_desktop() {
  // The class half of WM_CLASS is the application name; the instance half
  // would be argv[0]'s name, and without argv the X11 plugin takes it from
  // RESOURCE_NAME (set here, whatever the environment held).
  QCoreApplication::setApplicationName(QString::fromLatin1(window_class));
  QGuiApplication::setDesktopFileName(QString::fromLatin1(desktop_file_name));
  qputenv("RESOURCE_NAME", window_class);
}

void set_application_window_icon() {
  // An SVG icon has no fixed sizes: the X11 plugin renders it at 16, 32, 64
  // and 128 pixels into _NET_WM_ICON.
  QGuiApplication::setWindowIcon(QIcon(QString::fromUtf8(window_icon_path)));
}

#else

void name_application_for_desktop() {}
void set_application_window_icon() {}

#endif
