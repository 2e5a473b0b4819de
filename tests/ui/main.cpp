#include <QApplication>

#include <gtest/gtest.h>

#include "high_dpi.h"

int main(int argc, char** argv) {
    // No display is needed, also when the binary is started by hand.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    ::testing::InitGoogleTest(&argc, argv);
    enable_high_dpi_scaling();  // as the application does
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
