// Texts the dialog computes: the engine version and the help text.
#include "maindialog/dialogtexts.h"

#include <gtest/gtest.h>

namespace {

struct VersionCase {
    std::int16_t major;
    std::int16_t minor;
    std::int32_t build;
    const char* text;
};

class EngineVersionTest : public ::testing::TestWithParam<VersionCase> {};

TEST_P(EngineVersionTest, FormatsMajorMinorBuild) {
    const VersionCase& c = GetParam();
    EXPECT_EQ(maindialog::EngineVersionText(c.major, c.minor, c.build), QString::fromLatin1(c.text));
}

INSTANTIATE_TEST_SUITE_P(Versions, EngineVersionTest,
                         ::testing::Values(VersionCase{6, 5, 812, "6.05 (812)"}, VersionCase{3, 40, 1, "3.40 (1)"},
                                           VersionCase{1, 0, 0, "1.00 (0)"}, VersionCase{1, 7, 3, "1.07 (3)"},
                                           VersionCase{1, 10, 3, "1.10 (3)"}, VersionCase{1, 123, 3, "1.123 (3)"},
                                           VersionCase{12, 5, 123456789, "12.05 (123456789)"},
                                           // A negative number keeps its sign.
                                           VersionCase{-1, -5, -2, "-1.-05 (-2)"}));

TEST(EngineVersionMessage, NamesTheEngineInUse) {
    EXPECT_EQ(maindialog::EngineVersionMessage(3, 40, 1), QStringLiteral("SQLite FTS5 engine version:\r\n3.40 (1)"));
}

TEST(HelpText, IsExactToTheByte) {
    const QString expected = QStringLiteral(
        "This program can be used to (re)build the indexes used for Search.\r\n"
        "\r\n"
        "First, build an index by clicking \"Start Indexing\".\r\n"
        "After that you can click \"Search Index\" to test if the index works properly.\r\n"
        "\r\n"
        "\r\n"
        "The program can be executed interactively, or it can be scheduled with a systemd timer or cron.\r\n"
        "To run the program from a systemd timer or cron, specify the switches /auto and /index, e.g.:\r\n"
        "\r\n"
        "TessalyIndexManager /auto /index 1\r\n"
        "\r\n"
        "The \"Start Indexing\" option will then be executed automatically.\r\n"
        "To get more information about the available command line switches, run the program with the /help "
        "switch, as follows:\r\n"
        "\r\n"
        "TessalyIndexManager /help");
    EXPECT_EQ(maindialog::HelpText().toUtf8(), expected.toUtf8());
}

}  // namespace
