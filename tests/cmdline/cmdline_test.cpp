// The command line: switches, the tokenizer's edge cases, the usage text.
#include "cmdline/cmdline.h"
#include "support/messagebox_recorder.h"
#include "support/qt_printers.h"

#include <gtest/gtest.h>

namespace {

const QString kUsage = QStringLiteral(
    "Usage:\r\n"
    "\r\n"
    "TessalyIndexManager  [/help]  [/auto]  [/log] [/index <index name>]\r\n"
    "\r\n"
    "/help\t\t\tDisplays this help message\r\n"
    "/auto\t\t\tRun automatically (e.g. for use with a systemd timer or cron)\r\n"
    "/log\t\t\tLogs information to indexlog.dat during indexing\r\n"
    "/index <indexName>\t\tName of the index to (re)build\r\n"
    "\r\n"
    "Note: all arguments are optional.");

QString ErrorBox(const QString& errorText) {
    return errorText + QStringLiteral("\r\n\r\n") + kUsage + QStringLiteral("\r\n\r\nClick OK to leave the program.");
}

TEST(UsageText, IsExactToTheByte) {
    EXPECT_EQ(cmdline::GetUsageText().toUtf8(), kUsage.toUtf8());
    EXPECT_FALSE(cmdline::GetUsageText().endsWith(QStringLiteral("\r\n")));
}

struct ParseCase {
    const char* name;
    QString commandLine;
    bool result;
    bool autoMode;
    bool logMode;
    QString indexName;
    // Boxes shown, in order: (text, flags).
    QList<std::pair<QString, int>> boxes;
};

class ParseCommandLineTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseCommandLineTest, SetsModesAndShowsBoxes) {
    const ParseCase& c = GetParam();
    testsupport::MessageBoxRecorder boxes;
    EXPECT_EQ(cmdline::ParseCommandLine(c.commandLine), c.result);
    EXPECT_EQ(cmdline::IsAutoMode(), c.autoMode);
    EXPECT_EQ(cmdline::IsLogMode(), c.logMode);
    EXPECT_EQ(cmdline::GetIndexName(), c.indexName);
    ASSERT_EQ(boxes.Boxes().size(), c.boxes.size());
    for (qsizetype i = 0; i < c.boxes.size(); ++i) {
        EXPECT_EQ(boxes.Boxes().at(i).text, c.boxes.at(i).first) << "box " << i;
        EXPECT_EQ(boxes.Boxes().at(i).flags, c.boxes.at(i).second) << "box " << i;
    }
}

const QString kEmpty;

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseCommandLineTest,
    ::testing::Values(
        ParseCase{"Empty", QString(), true, false, false, kEmpty, {}},
        ParseCase{"AllBlanks", QStringLiteral("    "), true, false, false, kEmpty, {}},
        ParseCase{"IndexAndAutoAnyCase", QStringLiteral("/Index MyIdx /AUTO"), true, true, false,
                  QStringLiteral("MyIdx"), {}},
        ParseCase{"ValuesKeepTheirCase", QStringLiteral("/index SaLeS"), true, false, false, QStringLiteral("SaLeS"), {}},
        ParseCase{"LogAlone", QStringLiteral("/log"), true, false, true, kEmpty, {}},
        ParseCase{"SurroundingBlanksTrimmed", QStringLiteral("  /log  "), true, false, true, kEmpty, {}},
        ParseCase{"LastIndexWins", QStringLiteral("/index A /index B"), true, false, false, QStringLiteral("B"), {}},
        ParseCase{"IndexWithoutValue", QStringLiteral("/auto /index"), true, true, false, kEmpty, {}},
        ParseCase{"ValueOfAutoIgnored", QStringLiteral("/auto yes /log no"), true, true, true, kEmpty, {}},
        ParseCase{"QuotedValueStripped", QStringLiteral("/index \"Sales\""), true, false, false, QStringLiteral("Sales"), {}},
        ParseCase{"TwoBlanksAfterSwitchAreItsEmptyValue", QStringLiteral("/index  /auto"), true, true, false, kEmpty, {}},
        // A tokenizer error ends the parse before any switch takes effect.
        ParseCase{"QuotedValueWithBlankIsSplit", QStringLiteral("/index \"My Idx\""), false, false, false, kEmpty,
                  {{ErrorBox(QStringLiteral("Unknown command line argument \"Idx\"\".")), 48}}},
        ParseCase{"EmptyPieceWhereSwitchExpected", QStringLiteral("/index X  /auto"), false, false, false, kEmpty,
                  {{ErrorBox(QStringLiteral("Unknown command line argument \"\".")), 48}}},
        ParseCase{"FirstPieceWithoutSlash", QStringLiteral("index X"), false, false, false, kEmpty,
                  {{ErrorBox(QStringLiteral("Unknown command line argument \"index\".")), 48}}},
        ParseCase{"UnknownSwitchLowerCased", QStringLiteral("/FOO"), false, false, false, kEmpty,
                  {{ErrorBox(QStringLiteral("Unknown argument \"foo\"")), 48}}},
        ParseCase{"UnknownSwitchStopsTheLoop", QStringLiteral("/foo /auto"), false, false, false, kEmpty,
                  {{ErrorBox(QStringLiteral("Unknown argument \"foo\"")), 48}}},
        ParseCase{"LoneSlash", QStringLiteral("/"), false, false, false, kEmpty,
                  {{ErrorBox(QStringLiteral("Unknown argument \"\"")), 48}}},
        ParseCase{"HelpWithValidSwitchesGoesOn", QStringLiteral("/help /auto"), false, true, false, kEmpty,
                  {{kUsage, 64}}},
        ParseCase{"HelpThenUnknown", QStringLiteral("/help /xyz"), false, false, false, kEmpty,
                  {{kUsage, 64}, {ErrorBox(QStringLiteral("Unknown argument \"xyz\"")), 48}}},
        ParseCase{"TabIsPartOfAPiece", QStringLiteral("/log\t/auto"), false, false, false, kEmpty,
                  {{ErrorBox(QStringLiteral("Unknown argument \"log\t/auto\"")), 48}}}),
    [](const ::testing::TestParamInfo<ParseCase>& info) { return std::string(info.param.name); });

TEST(ParseCommandLine, ResetsStateOnEveryCall) {
    testsupport::MessageBoxRecorder boxes;
    ASSERT_TRUE(cmdline::ParseCommandLine(QStringLiteral("/auto /log /index X")));
    ASSERT_TRUE(cmdline::ParseCommandLine(QString()));
    EXPECT_FALSE(cmdline::IsAutoMode());
    EXPECT_FALSE(cmdline::IsLogMode());
    EXPECT_TRUE(cmdline::GetIndexName().isEmpty());
}

struct TokenCase {
    const char* name;
    QString text;
    QStringList names;
    QStringList values;
    QString error;
};

class TokenizeTest : public ::testing::TestWithParam<TokenCase> {};

TEST_P(TokenizeTest, SplitsIntoSwitchesAndValues) {
    const TokenCase& c = GetParam();
    QStringList names;
    QStringList values;
    EXPECT_EQ(cmdline::TokenizeCommandLine(c.text, names, values), c.error);
    EXPECT_EQ(names, c.names);
    EXPECT_EQ(values, c.values);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TokenizeTest,
    ::testing::Values(
        TokenCase{"SwitchesAndValues", QStringLiteral("/A x /b"), {QStringLiteral("a"), QStringLiteral("b")},
                  {QStringLiteral("x"), QString()}, QString()},
        TokenCase{"OnlyEndQuotesRemoved", QStringLiteral("/i \"a\"b\""), {QStringLiteral("i")},
                  {QStringLiteral("a\"b")}, QString()},
        TokenCase{"LoneQuoteBecomesEmpty", QStringLiteral("/i \""), {QStringLiteral("i")}, {QString()}, QString()},
        TokenCase{"QuotedValueWithBlank", QStringLiteral("/index \"My Idx\""), {QStringLiteral("index")},
                  {QStringLiteral("My")}, QStringLiteral("Unknown command line argument \"Idx\"\".")},
        TokenCase{"SecondValueIsAnError", QStringLiteral("/i a b"), {QStringLiteral("i")}, {QStringLiteral("a")},
                  QStringLiteral("Unknown command line argument \"b\".")}),
    [](const ::testing::TestParamInfo<TokenCase>& info) { return std::string(info.param.name); });

}  // namespace
