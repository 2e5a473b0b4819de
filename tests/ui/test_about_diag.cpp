// The About box.
#include "pin/about_diag.h"

#include <QCoreApplication>
#include <QLabel>
#include <QPixmap>
#include <QSpacerItem>
#include <QTest>
#include <QTranslator>
#include <QVBoxLayout>

#include <gtest/gtest.h>

namespace {

const QSize kBoxSize(280, 150);

QLabel* label(const AboutDiag& box, const char* name) {
    return box.findChild<QLabel*>(QString::fromLatin1(name));
}

// Marks every text of the AboutDiag context, so a test can see what went through translation.
class MarkingTranslator : public QTranslator {
public:
    QString translate(const char* context, const char* source, const char* /*disambiguation*/,
                      int /*n*/) const override {
        if (qstrcmp(context, "AboutDiag") != 0) {
            return {};
        }
        return QStringLiteral("[%1]").arg(QString::fromUtf8(source));
    }
    bool isEmpty() const override { return false; }
};

TEST(AboutDiag, IsTopLevelWhateverParentItIsGiven) {
    QWidget owner;
    AboutDiag given(&owner);
    EXPECT_EQ(given.parent(), nullptr);
    EXPECT_TRUE(given.isWindow());
    EXPECT_TRUE(owner.findChildren<AboutDiag*>().isEmpty());

    AboutDiag orphan(nullptr);
    EXPECT_EQ(orphan.parent(), nullptr);
    EXPECT_TRUE(orphan.isWindow());
}

TEST(AboutDiag, KeepsItsFixedSize) {
    AboutDiag box(nullptr);
    EXPECT_EQ(box.objectName().toStdString(), "AboutDiag");
    EXPECT_EQ(box.size(), kBoxSize);
    EXPECT_EQ(box.minimumSize(), kBoxSize);
    EXPECT_EQ(box.maximumSize(), kBoxSize);

    box.resize(500, 400);
    EXPECT_EQ(box.size(), kBoxSize);

    box.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&box));
    box.resize(500, 400);
    QCoreApplication::processEvents();
    EXPECT_EQ(box.size(), kBoxSize);
}

TEST(AboutDiag, StacksCrestNameAndNoticeCentredAboveASpacer) {
    AboutDiag box(nullptr);
    auto* layout = qobject_cast<QVBoxLayout*>(box.layout());
    ASSERT_NE(layout, nullptr);
    EXPECT_EQ(layout->objectName().toStdString(), "verticalLayout");
    ASSERT_EQ(layout->count(), 4);

    const char* const names[] = {"label", "label_2", "label_3"};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(names[i]);
        QLayoutItem* item = layout->itemAt(i);
        EXPECT_EQ(item->widget(), label(box, names[i]));
        EXPECT_NE(item->widget(), nullptr);
        EXPECT_EQ(int(item->alignment()), int(Qt::AlignHCenter));
    }

    QSpacerItem* spacer = layout->itemAt(3)->spacerItem();
    ASSERT_NE(spacer, nullptr);
    EXPECT_EQ(spacer->sizeHint(), QSize(20, 20));
    EXPECT_EQ(spacer->sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
    EXPECT_EQ(spacer->sizePolicy().verticalPolicy(), QSizePolicy::Expanding);
}

TEST(AboutDiag, ShowsTitleProductNameAndNotice) {
    AboutDiag box(nullptr);
    EXPECT_EQ(box.windowTitle().toStdString(), "About");
    EXPECT_EQ(box.styleSheet().toStdString(), "font: 13px \"Tahoma\";");

    QLabel* name = label(box, "label_2");
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(name->text().toStdString(), "Tovrin Authenticator G2");
    EXPECT_TRUE(name->styleSheet().isEmpty());

    QLabel* notice = label(box, "label_3");
    ASSERT_NE(notice, nullptr);
    EXPECT_TRUE(notice->text().contains(QLatin1String("Halvard"))) << notice->text().toStdString();
    EXPECT_TRUE(notice->styleSheet().isEmpty());
}

TEST(AboutDiag, ShowsTheCrestScaledIntoASmallLabel) {
    AboutDiag box(nullptr);
    QLabel* logo = label(box, "label");
    ASSERT_NE(logo, nullptr);
    EXPECT_TRUE(logo->text().isEmpty());
    EXPECT_TRUE(logo->hasScaledContents());
    EXPECT_EQ(logo->maximumSize(), QSize(60, 60));

    const QPixmap crest = logo->pixmap(Qt::ReturnByValue);
    ASSERT_FALSE(crest.isNull()) << "the crest did not load from the resource bundle";
    EXPECT_EQ(crest.size(), QSize(55, 64));

    box.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&box));
    EXPECT_LE(logo->width(), 60);
    EXPECT_LE(logo->height(), 60);
    EXPECT_TRUE(box.rect().contains(logo->geometry()));
}

TEST(AboutDiag, TextsGoThroughTranslation) {
    MarkingTranslator translator;
    ASSERT_TRUE(QCoreApplication::installTranslator(&translator));
    AboutDiag box(nullptr);
    QCoreApplication::removeTranslator(&translator);

    EXPECT_EQ(box.windowTitle().toStdString(), "[About]");
    QLabel* name = label(box, "label_2");
    QLabel* notice = label(box, "label_3");
    ASSERT_NE(name, nullptr);
    ASSERT_NE(notice, nullptr);
    EXPECT_EQ(name->text().toStdString(), "[Tovrin Authenticator G2]");
    EXPECT_TRUE(notice->text().startsWith(QLatin1Char('['))) << notice->text().toStdString();
}

TEST(AboutDiag, AddsNoSignalsOrSlots) {
    const QMetaObject& meta = AboutDiag::staticMetaObject;
    EXPECT_STREQ(meta.className(), "AboutDiag");
    EXPECT_EQ(meta.superClass(), &QDialog::staticMetaObject);
    EXPECT_EQ(meta.methodCount(), QDialog::staticMetaObject.methodCount());
}

}  // namespace
