// Pictures for labels on high-DPI screens.
#include <QPixmap>
#include <QString>

#include <gtest/gtest.h>

#include "artwork.h"

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

    const QPixmap sharp = artwork(kCrest, 2.0);
    EXPECT_EQ(sharp.size(), QSize(110, 128));
    EXPECT_EQ(sharp.devicePixelRatio(), 2.0) << "laid out at the normal size";

    // Without an @2x file the picture itself is used.
    const QPixmap eye = artwork(QStringLiteral(":/pic/eye-on.svg"), 2.0);
    EXPECT_EQ(eye.size(), QSize(24, 24));
    EXPECT_TRUE(artwork(QStringLiteral(":/pic/missing.png"), 2.0).isNull());
}

}  // namespace
