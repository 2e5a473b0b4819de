// The names and the icon the application shows a Linux desktop, against the
// desktop entry and metadata that are installed with it.
#include <QColor>
#include <QFile>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QRegularExpression>
#include <QString>

#include <gtest/gtest.h>

#include "desktop_identity.h"

namespace {

const QString kDesktopDir = QStringLiteral(TOVRIN_SOURCE_DIR "/resources/desktop/");

QByteArray readFile(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The value of `key=` in a desktop entry, or a null string.
QString entryValue(const QByteArray& entry, const char* key) {
  const QRegularExpression line(QStringLiteral("^%1=(.*)$").arg(QString::fromLatin1(key)),
                                QRegularExpression::MultilineOption);
  const auto match = line.match(QString::fromUtf8(entry));
  return match.hasMatch() ? match.captured(1) : QString();
}

} // namespace

TEST(DesktopIdentity, NamesMatchTheDesktopEntryAndMetadata) {
  name_application_for_desktop();
  // The X11 plugin builds WM_CLASS from these two when the first window appears.
  EXPECT_EQ(QCoreApplication::applicationName(), QString::fromLatin1(window_class));
  EXPECT_EQ(qgetenv("RESOURCE_NAME"), QByteArray(window_class));
  EXPECT_EQ(QGuiApplication::desktopFileName(), QString::fromLatin1(desktop_file_name));

  const QByteArray entry =
      readFile(kDesktopDir + QString::fromLatin1(desktop_file_name) + QStringLiteral(".desktop"));
  ASSERT_FALSE(entry.isEmpty()) << "no desktop entry named after the desktop file name";
  EXPECT_EQ(entryValue(entry, "StartupWMClass"), QString::fromLatin1(window_class));
  EXPECT_EQ(entryValue(entry, "Icon"), QString::fromLatin1(desktop_file_name));

  const QByteArray metainfo = readFile(kDesktopDir + QString::fromLatin1(desktop_file_name) +
                                       QStringLiteral(".metainfo.xml"));
  EXPECT_TRUE(metainfo.contains(QByteArray("<id>") + desktop_file_name + "</id>"));
}

TEST(DesktopIdentity, WindowIconIsTheCrestAtEverySize) {
  set_application_window_icon();
  const QIcon icon = QGuiApplication::windowIcon();
  ASSERT_FALSE(icon.isNull());
  for (int size : {16, 32, 64, 128, 256}) {
    SCOPED_TRACE(size);
    const QImage image = icon.pixmap(size, size).toImage().convertToFormat(QImage::Format_ARGB32);
    ASSERT_EQ(image.size(), QSize(size, size));
    // Transparent corners around a blue shield.
    EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0);
    EXPECT_EQ(qAlpha(image.pixel(size - 1, size - 1)), 0);
    const QColor face(image.pixel(size / 2, size * 3 / 4));
    EXPECT_EQ(face.alpha(), 255);
    EXPECT_GT(face.blue(), face.red() + 40);
  }
  // One drawing: the bundle carries the scalable icon that is installed.
  const QByteArray installed = readFile(kDesktopDir + QStringLiteral("icons/hicolor/scalable/apps/") +
                                        QString::fromLatin1(desktop_file_name) + QStringLiteral(".svg"));
  EXPECT_FALSE(installed.isEmpty());
  EXPECT_EQ(readFile(QString::fromUtf8(window_icon_path)), installed);
}
