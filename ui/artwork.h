#pragma once

#include <QPixmap>
#include <QString>

// "pic/name.png" -> "pic/name@2x.png": where Qt's convention keeps the
// artwork drawn for screens with a device pixel ratio of 2.
QString at2x_path(const QString& path);

// The picture at `path` for screens with `device_pixel_ratio`: from its @2x
// file where the ratio is above 1 and that file exists, else from `path`.
// Icons find their @2x files by themselves; labels that show a pixmap do not.
QPixmap artwork(const QString& path, qreal device_pixel_ratio);
