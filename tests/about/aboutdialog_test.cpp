// The About box: texts set at load, the version line, the link, OK.
#include "about/aboutdialog.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "platform/openlink.h"

namespace {

QString TextOf(const about::AboutDialog& box, const char* name) {
    const auto* label = box.findChild<QLabel*>(QLatin1String(name));
    return label ? label->text() : QStringLiteral("<missing %1>").arg(QLatin1String(name));
}

TEST(AboutBox, LoadSetsCaptionTitleAndVersion) {
    about::AboutDialog box;
    EXPECT_EQ(box.windowTitle(), QStringLiteral("About Lumora Index Manager"));
    EXPECT_EQ(TextOf(box, "lblTitle"), QStringLiteral("Lumora Index Manager"));
    // The project's version as CMake spells it, e.g. "1.0.0".
    EXPECT_EQ(TextOf(box, "lblVersion"), QStringLiteral("Version " LUMORA_TEST_VERSION_TEXT));
    EXPECT_EQ(TextOf(box, "lblDescription"), QStringLiteral("Powered by SQLite FTS5"));
    EXPECT_EQ(TextOf(box, "lblURL"), QStringLiteral("https://sqlite.org/fts5.html"));
    EXPECT_FALSE(TextOf(box, "Label1").isEmpty());
    EXPECT_FALSE(TextOf(box, "lblDisclaimer").isEmpty());
    EXPECT_EQ(box.findChild<QLabel*>(QStringLiteral("Picture1"))->pixmap().size(), QSize(80, 105));
}

struct VersionCase {
    int major, minor, revision;
    const char* line;
};

class VersionLineTest : public ::testing::TestWithParam<VersionCase> {};

TEST_P(VersionLineTest, PlainDecimalNumbers) {
    const VersionCase& c = GetParam();
    EXPECT_EQ(about::AboutDialog::VersionLine(c.major, c.minor, c.revision), QString::fromLatin1(c.line));
}

INSTANTIATE_TEST_SUITE_P(Lines, VersionLineTest,
                         ::testing::Values(VersionCase{2, 62, 9, "Version 2.62.9"},
                                           VersionCase{1, 0, 0, "Version 1.0.0"},
                                           VersionCase{10, 5, 1009, "Version 10.5.1009"}));

TEST(AboutBox, LinkOpensEachTimeAndTheBoxStays) {
    QStringList opened;
    platform::SetOpenLinkHook([&opened](const QString& address) { opened.append(address); });
    about::AboutDialog box;
    box.show();
    auto* link = box.findChild<QLabel*>(QStringLiteral("lblURL"));
    ASSERT_NE(link, nullptr);
    QTest::mouseClick(link, Qt::LeftButton);
    QTest::mouseClick(link, Qt::LeftButton);
    EXPECT_EQ(opened, (QStringList{QStringLiteral("https://sqlite.org/fts5.html"),
                                   QStringLiteral("https://sqlite.org/fts5.html")}));
    EXPECT_TRUE(box.isVisible());
    EXPECT_EQ(link->cursor().shape(), Qt::BitmapCursor);
    EXPECT_EQ(link->cursor().hotSpot(), QPoint(12, 9));
    EXPECT_TRUE(link->font().underline());
    platform::SetOpenLinkHook({});
}

TEST(AboutBox, OkClosesTheModalBox) {
    about::AboutDialog box;
    QTimer::singleShot(0, &box, [&box] {
        QTest::mouseClick(box.findChild<QPushButton*>(QStringLiteral("cmdOK")), Qt::LeftButton);
    });
    // Should OK not close it, end the wait so the test fails instead of hanging.
    QTimer::singleShot(3000, &box, [&box] { box.done(-1); });
    EXPECT_EQ(box.exec(), QDialog::Accepted);
}

}  // namespace
