// The Qt resource bundle and the Windows resources.
#include <QByteArray>
#include <QColor>
#include <QDirIterator>
#include <QFile>
#include <QIcon>
#include <QImage>
#include <QImageReader>
#include <QPixmap>
#include <QProcess>
#include <QResource>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtEndian>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <ostream>
#include <vector>

namespace {

const QString kResourcesDir = QStringLiteral(TOVRIN_SOURCE_DIR "/resources");

QByteArray readFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return file.readAll();
}

quint16 le16(const QByteArray& bytes, int at) {
    return qFromLittleEndian<quint16>(bytes.constData() + at);
}

quint32 le32(const QByteArray& bytes, int at) {
    return qFromLittleEndian<quint32>(bytes.constData() + at);
}

QImage argb(const QString& path) {
    return QImage(path).convertToFormat(QImage::Format_ARGB32);
}

// Share of pixels that are fully transparent, 0..1.
double transparentShare(const QImage& image) {
    int clear = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            clear += qAlpha(image.pixel(x, y)) == 0;
        }
    }
    return double(clear) / (image.width() * image.height());
}

// Mean colour of the pixels that are (nearly) opaque.
QColor meanOpaqueColour(const QImage& image) {
    qint64 r = 0, g = 0, b = 0, n = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb px = image.pixel(x, y);
            if (qAlpha(px) >= 250) {
                r += qRed(px);
                g += qGreen(px);
                b += qBlue(px);
                ++n;
            }
        }
    }
    if (n == 0) {
        return {};
    }
    return QColor(int(r / n), int(g / n), int(b / n));
}

// Mean difference per channel (0..255) between `image` and `other` smoothly
// scaled to the size of `image`; both premultiplied ARGB32.
double meanDifferenceScaledTo(const QImage& image, const QImage& other) {
    const QImage scaled = other.scaled(image.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    qint64 difference = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb a = image.pixel(x, y);
            const QRgb b = scaled.pixel(x, y);
            difference += std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) +
                          std::abs(qBlue(a) - qBlue(b)) + std::abs(qAlpha(a) - qAlpha(b));
        }
    }
    return double(difference) / (image.width() * image.height() * 4);
}

struct Art {
    const char* path;    // inside the bundle
    const char* format;  // as QImageReader names it
    QSize size;
};

void PrintTo(const Art& art, std::ostream* os) {
    *os << art.path;
}

const Art kPngs[] = {
    {":/pic/GoBTN.png", "png", {51, 51}},
    {":/pic/C2cBTN.png", "png", {51, 51}},
    {":/pic/halvard.png", "png", {1024, 356}},
    {":/pic/Tovrin Authenticator/Tovrin Crest 64 x 64.png", "png", {55, 64}},
    {":/pic/otp.png", "png", {64, 64}},
};

// The same drawings at twice the size, which Qt picks on screens with a
// device pixel ratio of 2.
const Art kPngs2x[] = {
    {":/pic/GoBTN@2x.png", "png", {102, 102}},
    {":/pic/C2cBTN@2x.png", "png", {102, 102}},
    {":/pic/halvard@2x.png", "png", {2048, 712}},
    {":/pic/Tovrin Authenticator/Tovrin Crest 64 x 64@2x.png", "png", {110, 128}},
    {":/pic/otp@2x.png", "png", {128, 128}},
};

const Art kSvgs[] = {
    {":/pic/eye-off.svg", "svg", {24, 24}},
    {":/pic/eye-on.svg", "svg", {24, 24}},
    {":/pic/mark.svg", "svg", {24, 24}},
    {":/pic/settings.svg", "svg", {48, 48}},
};

class BundledArt : public ::testing::TestWithParam<Art> {};
class BundledPng : public BundledArt {};

TEST_P(BundledArt, ReadsWithItsFormatAndSize) {
    const Art& art = GetParam();
    QImageReader reader(QString::fromUtf8(art.path));
    ASSERT_TRUE(reader.canRead()) << reader.errorString().toStdString();
    EXPECT_EQ(reader.format(), QByteArray(art.format));
    EXPECT_EQ(reader.size(), art.size);
    const QImage image = reader.read();
    ASSERT_FALSE(image.isNull()) << reader.errorString().toStdString();
    EXPECT_EQ(image.size(), art.size);
}

TEST_P(BundledArt, IsStoredUncompressedAsCommitted) {
    const QString path = QString::fromUtf8(GetParam().path);
    QResource resource(path);
    ASSERT_TRUE(resource.isValid());
    EXPECT_EQ(resource.compressionAlgorithm(), QResource::NoCompression);
    const QByteArray committed = readFile(kResourcesDir + QLatin1Char('/') + path.mid(2));
    ASSERT_FALSE(committed.isEmpty());
    const QByteArray stored(reinterpret_cast<const char*>(resource.data()), int(resource.size()));
    EXPECT_TRUE(stored == committed) << "bundle holds " << stored.size() << " bytes, file has "
                                     << committed.size();
}

TEST_P(BundledPng, IsEightBitRgba) {
    const QString path = QString::fromUtf8(GetParam().path);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray head = file.read(26);
    ASSERT_EQ(head.size(), 26);
    ASSERT_EQ(head.left(8), QByteArray("\x89PNG\r\n\x1a\n", 8));
    ASSERT_EQ(head.mid(12, 4), QByteArray("IHDR"));
    EXPECT_EQ(quint8(head[24]), 8) << "bit depth";
    EXPECT_EQ(quint8(head[25]), 6) << "colour type (6 is RGBA)";

    const QImage image(path);
    EXPECT_EQ(image.format(), QImage::Format_ARGB32);
    EXPECT_EQ(image.depth(), 32);
    EXPECT_TRUE(image.hasAlphaChannel());
}

INSTANTIATE_TEST_SUITE_P(Png, BundledArt, ::testing::ValuesIn(kPngs));
INSTANTIATE_TEST_SUITE_P(Svg, BundledArt, ::testing::ValuesIn(kSvgs));
INSTANTIATE_TEST_SUITE_P(Png, BundledPng, ::testing::ValuesIn(kPngs));
INSTANTIATE_TEST_SUITE_P(Png2x, BundledArt, ::testing::ValuesIn(kPngs2x));
INSTANTIATE_TEST_SUITE_P(Png2x, BundledPng, ::testing::ValuesIn(kPngs2x));

// Every PNG of the bundle, the ones added later included, has an @2x file
// with the same drawing at twice the size.
TEST(Bundle, EveryPngHasATwiceAsLargeVariant) {
    int pngs = 0;
    QDirIterator it(QStringLiteral(":/pic"), {QStringLiteral("*.png")}, QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path.endsWith(QLatin1String("@2x.png"))) {
            continue;
        }
        ++pngs;
        SCOPED_TRACE(path.toStdString());
        const QString sharp = path.left(path.size() - 4) + QStringLiteral("@2x.png");
        ASSERT_TRUE(QFile::exists(sharp));
        const QImage normal = QImage(path).convertToFormat(QImage::Format_ARGB32_Premultiplied);
        const QImage large = QImage(sharp).convertToFormat(QImage::Format_ARGB32_Premultiplied);
        ASSERT_EQ(large.size(), normal.size() * 2);
        EXPECT_LT(meanDifferenceScaledTo(normal, large), 12.0);
    }
    EXPECT_EQ(pngs, int(std::size(kPngs)));
}

TEST(Bundle, StoresEveryPictureUncompressed) {
    int files = 0;
    QDirIterator it(QStringLiteral(":/pic"), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        ++files;
        EXPECT_EQ(QResource(path).compressionAlgorithm(), QResource::NoCompression)
            << path.toStdString();
    }
    EXPECT_GE(files, int(std::size(kPngs) + std::size(kPngs2x) + std::size(kSvgs)));
}

// The artwork is drawn on transparency; a render flattened onto a background fails here.
TEST(Artwork, ButtonsAreDiscsOnTransparency) {
    for (const char* path : {":/pic/GoBTN.png", ":/pic/C2cBTN.png"}) {
        SCOPED_TRACE(path);
        const QImage image = argb(QString::fromUtf8(path));
        ASSERT_FALSE(image.isNull());
        for (const QPoint corner : {QPoint(0, 0), QPoint(50, 0), QPoint(0, 50), QPoint(50, 50)}) {
            EXPECT_EQ(qAlpha(image.pixel(corner)), 0);
        }
        EXPECT_EQ(qAlpha(image.pixel(25, 4)), 255);
        EXPECT_EQ(qAlpha(image.pixel(4, 25)), 255);
    }
}

TEST(Artwork, GoButtonIsGreenAndClipboardButtonGrey) {
    const QColor go = meanOpaqueColour(argb(QStringLiteral(":/pic/GoBTN.png")));
    ASSERT_TRUE(go.isValid());
    EXPECT_GT(go.green(), go.red() + 40);
    EXPECT_GT(go.green(), go.blue() + 40);

    const QColor copy = meanOpaqueColour(argb(QStringLiteral(":/pic/C2cBTN.png")));
    ASSERT_TRUE(copy.isValid());
    const int spread = std::max({copy.red(), copy.green(), copy.blue()}) -
                       std::min({copy.red(), copy.green(), copy.blue()});
    EXPECT_LT(spread, 25) << "mean colour " << copy.name().toStdString();
}

TEST(Artwork, OtpGlyphIsDarkOnTransparency) {
    const QImage image = argb(QStringLiteral(":/pic/otp.png"));
    ASSERT_FALSE(image.isNull());
    EXPECT_GT(transparentShare(image), 0.3);
    int ink = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb px = image.pixel(x, y);
            if (qAlpha(px) >= 128) {
                ++ink;
                EXPECT_LT(qGray(px), 80) << "at " << x << "," << y;
            }
        }
    }
    EXPECT_GT(ink, 200);
}

TEST(Artwork, CrestAndLogoLeaveTheirBackgroundTransparent) {
    const QImage crest = argb(QStringLiteral(":/pic/Tovrin Authenticator/Tovrin Crest 64 x 64.png"));
    ASSERT_FALSE(crest.isNull());
    // A shield: square shoulders, a pointed foot.
    EXPECT_EQ(qAlpha(crest.pixel(0, 63)), 0);
    EXPECT_EQ(qAlpha(crest.pixel(54, 63)), 0);
    EXPECT_EQ(qAlpha(crest.pixel(27, 32)), 255);
    EXPECT_EQ(qAlpha(crest.pixel(3, 20)), 255);

    const QImage logo = argb(QStringLiteral(":/pic/halvard.png"));
    ASSERT_FALSE(logo.isNull());
    const double clear = transparentShare(logo);
    EXPECT_GT(clear, 0.3);
    EXPECT_LT(clear, 0.95);
}

TEST(SvgIcons, SvgReaderIsInstalled) {
    EXPECT_TRUE(QImageReader::supportedImageFormats().contains("svg"))
        << "the Qt SVG image plugin (libqt5svg5) is missing";
}

// Code names the eye icons without a suffix; the image reader finds the .svg entry.
TEST(SvgIcons, EyesLoadWithoutSuffix) {
    for (const char* name : {":/pic/eye-off", ":/pic/eye-on"}) {
        SCOPED_TRACE(name);
        const QString path = QString::fromUtf8(name);
        EXPECT_FALSE(QFile::exists(path));

        QImageReader reader(path);
        EXPECT_EQ(reader.format(), QByteArray("svg"));
        const QImage image = reader.read();
        ASSERT_FALSE(image.isNull()) << reader.errorString().toStdString();
        EXPECT_EQ(image.size(), QSize(24, 24));
        EXPECT_LT(transparentShare(image.convertToFormat(QImage::Format_ARGB32)), 0.95);

        const QIcon icon(path);
        EXPECT_FALSE(icon.isNull());
        const QPixmap pixmap = icon.pixmap(QSize(24, 24));
        ASSERT_FALSE(pixmap.isNull());
        EXPECT_EQ(pixmap.size(), QSize(24, 24));
    }
}

TEST(SvgIcons, CrossedEyeHasTheStrokeTheOpenEyeLacks) {
    const QImage on = argb(QStringLiteral(":/pic/eye-on"));
    const QImage off = argb(QStringLiteral(":/pic/eye-off"));
    ASSERT_FALSE(on.isNull());
    ASSERT_FALSE(off.isNull());
    EXPECT_EQ(qAlpha(on.pixel(4, 4)), 0);
    EXPECT_GT(qAlpha(off.pixel(4, 4)), 100);
    EXPECT_EQ(qAlpha(on.pixel(19, 19)), 0);
    EXPECT_GT(qAlpha(off.pixel(19, 19)), 100);
}

// --- Windows resources ------------------------------------------------------------

const QString kWindowsDir = kResourcesDir + QStringLiteral("/windows");

struct IcoImage {
    int width = 0;
    int height = 0;
    int bitCount = 0;
    QByteArray data;
};

// Reads the directory of an .ico file; the test fails on a malformed one.
std::vector<IcoImage> readIco(const QByteArray& ico) {
    std::vector<IcoImage> images;
    if (ico.size() < 6 || le16(ico, 0) != 0 || le16(ico, 2) != 1) {
        ADD_FAILURE() << "not an icon file";
        return images;
    }
    const int count = le16(ico, 4);
    for (int i = 0; i < count; ++i) {
        const int entry = 6 + 16 * i;
        if (entry + 16 > ico.size()) {
            ADD_FAILURE() << "directory cut short";
            break;
        }
        IcoImage image;
        image.width = quint8(ico[entry]) == 0 ? 256 : quint8(ico[entry]);
        image.height = quint8(ico[entry + 1]) == 0 ? 256 : quint8(ico[entry + 1]);
        image.bitCount = le16(ico, entry + 6);
        const quint32 bytes = le32(ico, entry + 8);
        const quint32 offset = le32(ico, entry + 12);
        if (quint64(offset) + bytes > quint64(ico.size())) {
            ADD_FAILURE() << "image " << i << " runs past the end";
            break;
        }
        image.data = ico.mid(int(offset), int(bytes));
        images.push_back(image);
    }
    return images;
}

TEST(WindowsResources, IconIsOne32BitImageOfTheCrest) {
    const QString path = kWindowsDir + QStringLiteral("/app.ico");
    const std::vector<IcoImage> images = readIco(readFile(path));
    ASSERT_EQ(images.size(), 1u);
    const IcoImage& only = images.front();
    EXPECT_EQ(only.width, 199);
    EXPECT_EQ(only.height, 231);
    EXPECT_EQ(only.bitCount, 32);
    // Stored as a bitmap: BITMAPINFOHEADER, height doubled for the AND mask.
    ASSERT_GE(only.data.size(), 40);
    EXPECT_EQ(le32(only.data, 0), 40u);
    EXPECT_EQ(le32(only.data, 4), 199u);
    EXPECT_EQ(le32(only.data, 8), 2u * 231u);
    EXPECT_EQ(le16(only.data, 14), 32);

    QImage icon(path, "ico");
    ASSERT_FALSE(icon.isNull());
    icon = icon.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    EXPECT_EQ(icon.size(), QSize(199, 231));
    EXPECT_EQ(qAlpha(icon.pixel(0, 230)), 0);
    EXPECT_EQ(qAlpha(icon.pixel(99, 115)), 255);

    // Scaled down it matches the bundled crest.
    const QImage crest = QImage(QStringLiteral(":/pic/Tovrin Authenticator/Tovrin Crest 64 x 64.png"))
                             .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    EXPECT_LT(meanDifferenceScaledTo(crest, icon), 12.0);
}

TEST(WindowsResources, ManifestRunsAsInvokerWithoutUiAccess) {
    QFile file(kWindowsDir + QStringLiteral("/app.manifest"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&file);
    QStringList path;
    int levels = 0;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement()) {
            path << xml.name().toString();
            if (xml.name() == QLatin1String("requestedExecutionLevel")) {
                ++levels;
                EXPECT_EQ(path.join(QLatin1Char('/')).toStdString(),
                          "assembly/trustInfo/security/requestedPrivileges/requestedExecutionLevel");
                EXPECT_EQ(xml.namespaceUri().toString().toStdString(), "urn:schemas-microsoft-com:asm.v3");
                EXPECT_EQ(xml.attributes().value(QLatin1String("level")).toString().toStdString(),
                          "asInvoker");
                EXPECT_EQ(xml.attributes().value(QLatin1String("uiAccess")).toString().toStdString(),
                          "false");
            }
        } else if (xml.isEndElement()) {
            path.removeLast();
        }
    }
    EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
    EXPECT_EQ(levels, 1);
}

struct ResId {
    quint16 number = 0;  // 0 when the id is a name
    QString name;
};

struct ResEntry {
    ResId type;
    ResId name;
    QByteArray data;
};

bool readResId(const QByteArray& bytes, int& at, ResId& id) {
    if (at + 2 > bytes.size()) {
        return false;
    }
    if (le16(bytes, at) == 0xFFFF) {
        if (at + 4 > bytes.size()) {
            return false;
        }
        id.number = le16(bytes, at + 2);
        at += 4;
        return true;
    }
    for (;;) {
        if (at + 2 > bytes.size()) {
            return false;
        }
        const quint16 unit = le16(bytes, at);
        at += 2;
        if (unit == 0) {
            return true;
        }
        id.name.append(QChar(unit));
    }
}

// Splits a compiled .res file into its entries.
std::vector<ResEntry> readRes(const QByteArray& bytes) {
    std::vector<ResEntry> entries;
    int at = 0;
    while (at + 8 <= bytes.size()) {
        const quint32 dataSize = le32(bytes, at);
        const quint32 headerSize = le32(bytes, at + 4);
        ResEntry entry;
        int field = at + 8;
        if (!readResId(bytes, field, entry.type) || !readResId(bytes, field, entry.name) ||
            quint64(at) + headerSize + dataSize > quint64(bytes.size())) {
            ADD_FAILURE() << "malformed entry at byte " << at;
            break;
        }
        entry.data = bytes.mid(at + int(headerSize), int(dataSize));
        entries.push_back(entry);
        at = (at + int(headerSize + dataSize) + 3) & ~3;
    }
    return entries;
}

constexpr quint16 kRtIcon = 3;
constexpr quint16 kRtGroupIcon = 14;
constexpr quint16 kRtManifest = 24;

TEST(WindowsResources, ScriptCompilesToIconGroupAndManifest) {
    QString windres = QStandardPaths::findExecutable(QStringLiteral("x86_64-w64-mingw32-windres"));
    if (windres.isEmpty()) {
        GTEST_SKIP() << "x86_64-w64-mingw32-windres is not installed";
    }
    QTemporaryDir out;
    ASSERT_TRUE(out.isValid());
    const QString res = out.filePath(QStringLiteral("app.res"));
    QStringList args{QStringLiteral("-i"), kWindowsDir + QStringLiteral("/app.rc"),
                     QStringLiteral("-O"), QStringLiteral("res"), QStringLiteral("-o"), res};
    // windres preprocesses with the MinGW compiler; without one the host's cpp does it.
    if (QStandardPaths::findExecutable(QStringLiteral("x86_64-w64-mingw32-gcc")).isEmpty()) {
        const QString cpp = QStandardPaths::findExecutable(QStringLiteral("cpp"));
        if (cpp.isEmpty()) {
            GTEST_SKIP() << "no C preprocessor for windres";
        }
        args << QStringLiteral("--preprocessor=") + cpp;
    }
    QProcess windresRun;
    windresRun.setWorkingDirectory(out.path());  // the script must find its files by itself
    windresRun.start(windres, args);
    ASSERT_TRUE(windresRun.waitForFinished(60000));
    ASSERT_EQ(windresRun.exitStatus(), QProcess::NormalExit);
    ASSERT_EQ(windresRun.exitCode(), 0) << windresRun.readAllStandardError().toStdString();

    std::vector<ResEntry> icons, groups, manifests;
    for (const ResEntry& entry : readRes(readFile(res))) {
        if (entry.type.number == kRtIcon) {
            icons.push_back(entry);
        } else if (entry.type.number == kRtGroupIcon) {
            groups.push_back(entry);
        } else if (entry.type.number == kRtManifest) {
            manifests.push_back(entry);
        }
    }

    const std::vector<IcoImage> ico = readIco(readFile(kWindowsDir + QStringLiteral("/app.ico")));
    ASSERT_EQ(ico.size(), 1u);
    ASSERT_EQ(icons.size(), 1u);
    EXPECT_TRUE(icons[0].data == ico[0].data) << "icon image differs from app.ico";

    ASSERT_EQ(groups.size(), 1u);
    EXPECT_EQ(groups[0].name.name.toStdString(), "IDI_ICON1");
    const QByteArray& group = groups[0].data;
    ASSERT_EQ(group.size(), 6 + 14);
    EXPECT_EQ(le16(group, 2), 1) << "type: icon";
    EXPECT_EQ(le16(group, 4), 1) << "image count";
    EXPECT_EQ(quint8(group[6]), 199);
    EXPECT_EQ(quint8(group[7]), 231);
    EXPECT_EQ(le16(group, 12), 32) << "bits per pixel";
    EXPECT_EQ(le32(group, 14), quint32(ico[0].data.size()));
    EXPECT_EQ(le16(group, 18), icons[0].name.number) << "group points at the icon image";

    ASSERT_EQ(manifests.size(), 1u);
    EXPECT_EQ(manifests[0].name.number, 1) << "the manifest the loader reads for a process";
    EXPECT_TRUE(manifests[0].data == readFile(kWindowsDir + QStringLiteral("/app.manifest")));
}

}  // namespace
