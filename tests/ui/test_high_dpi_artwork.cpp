// Pictures for labels on high-DPI screens.
#include <QApplication>
#include <QIcon>
#include <QLabel>
#include <QPixmap>
#include <QString>

#include <gtest/gtest.h>

#include "artwork.h"
#include "pin/about_diag.h"

namespace {

const QString kCrest = QStringLiteral(":/pic/Tovrin Authenticator/Tovrin Crest 64 x 64.png");

TEST(Artwork, At2xFilesSitBesideTheirPictures) {
    EXPECT_EQ(at2x_path(kCrest), ":/pic/Tovrin Authenticator/Tovrin Crest 64 x 64@2x.png");
    EXPECT_EQ(at2x_path(":/pic/halvard.png"), ":/pic/halvard@2x.png");
    EXPECT_EQ(at2x_path(":/pic/eye-on"), ":/pic/eye-on@2x");
}

TEST(Artwork, ScreensAboveRatioOneGetTheLargerDrawing) {
    const QPixmap normal = artwork(kCrest, 1.0);
    EXPECT_EQ(normal.size(), QSize(55, 64));
    EXPECT_EQ(normal.devicePixelRatio(), 1.0);

    for (qreal ratio : {1.5, 2.0, 3.0}) {
        SCOPED_TRACE(ratio);
        const QPixmap sharp = artwork(kCrest, ratio);
        EXPECT_EQ(sharp.size(), QSize(110, 128));
        EXPECT_EQ(sharp.devicePixelRatio(), 2.0) << "laid out at the normal size";
    }

    // Without an @2x file the picture itself is used.
    const QPixmap eye = artwork(QStringLiteral(":/pic/eye-on.svg"), 2.0);
    EXPECT_EQ(eye.size(), QSize(24, 24));
    EXPECT_TRUE(artwork(QStringLiteral(":/pic/missing.png"), 2.0).isNull());
}

// Run as ui.at_device_pixel_ratio_2 (QT_SCALE_FACTOR=2).
TEST(AtRatio2, AboutBoxAndButtonIconsDrawTheLargerArtwork) {
    ASSERT_EQ(qApp->devicePixelRatio(), 2.0);
    AboutDiag box(nullptr);
    const QPixmap crest = box.findChild<QLabel*>("label")->pixmap(Qt::ReturnByValue);
    EXPECT_EQ(crest.size(), QSize(110, 128));

    // A 40 x 40 icon is drawn from the 102 x 102 file, at 80 x 80 device pixels.
    const QPixmap copy = QIcon(QStringLiteral(":/pic/C2cBTN.png")).pixmap(QSize(40, 40));
    EXPECT_EQ(copy.size(), QSize(80, 80));
    EXPECT_EQ(copy.devicePixelRatio(), 2.0);
}

}  // namespace
