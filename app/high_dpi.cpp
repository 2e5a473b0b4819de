#include "high_dpi.h"

#include <QCoreApplication>
#include <QGuiApplication>

void enable_high_dpi_scaling() {
  QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
  QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
  // Whole factors only: 1 below 144 dpi, 2 from 144 to 240 dpi, and so on.
  // Widgets drawn at fractional factors leave gaps and blurred lines.
  QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
    Qt::HighDpiScaleFactorRoundingPolicy::Round);
}
