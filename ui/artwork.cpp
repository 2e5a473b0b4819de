#include "artwork.h"

#include <QFileInfo>

QString at2x_path(const QString& path) {
  const QFileInfo file(path);
  const QString suffix = file.suffix();
  if (suffix.isEmpty())
    return path + QStringLiteral("@2x");
  return path.left(path.size() - suffix.size() - 1) + QStringLiteral("@2x.") + suffix;
}

QPixmap artwork(const QString& path, qreal device_pixel_ratio) {
  if (device_pixel_ratio > 1) {
    QPixmap sharp(at2x_path(path));
    if (!sharp.isNull()) {
      sharp.setDevicePixelRatio(2);
      return sharp;
    }
  }
  return QPixmap(path);
}
