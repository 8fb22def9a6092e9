// Error reporting: the report text, the box, the event-log entry.
#include "report/report.h"

#include <gtest/gtest.h>

#include "support/fake_component.h"
#include "support/messagebox_recorder.h"
#include "support/qt_printers.h"
#include "component/globals.h"

namespace {

class ReportErrorTest : public ::testing::Test {
protected:
    void SetUp() override {
        state = testsupport::InstallFakeComponent();
        state->currentIndex = QStringLiteral("Sales");
        component::g_indexConfiguration = std::make_shared<testsupport::FakeConfiguration>(*state);
    }
    std::shared_ptr<testsupport::FakeState> state;
    testsupport::MessageBoxRecorder boxes;
};

struct HexCase {
    std::int32_t number;
    const char* shown;
};

class HexNumberTest : public ::testing::TestWithParam<HexCase> {};

TEST_P(HexNumberTest, UpperCaseTwosComplementWithoutLeadingZeros) {
    EXPECT_EQ(report::HexNumber(GetParam().number), QString::fromLatin1(GetParam().shown));
}

INSTANTIATE_TEST_SUITE_P(Numbers, HexNumberTest,
                         ::testing::Values(HexCase{5, "5"}, HexCase{255, "FF"}, HexCase{-1, "FFFFFFFF"},
                                           HexCase{static_cast<std::int32_t>(0x80040000u), "80040000"},
                                           HexCase{0x1000, "1000"}));

TEST_F(ReportErrorTest, NoErrorShowsAndLogsNothing) {
    EXPECT_FALSE(report::ReportError(component::Error()));
    EXPECT_TRUE(boxes.Boxes().isEmpty());
    EXPECT_TRUE(state->events.isEmpty());
}

TEST_F(ReportErrorTest, ShowsTheReportAndLogsTheSameText) {
    const component::Error error(255, QStringLiteral("Zarvik.Test"), QStringLiteral("Line one\r\nLine two"));
    EXPECT_TRUE(report::ReportError(error));
    const QString expected = QStringLiteral(
        "Line one\r\nLine two\r\n\r\nError Source: Zarvik.Test\r\nError Number: FF\r\n\r\n"
        "Please contact your administrator.");
    ASSERT_EQ(boxes.Boxes().size(), 1);
    EXPECT_EQ(boxes.Boxes().at(0).text, expected);
    EXPECT_EQ(boxes.Boxes().at(0).flags, 48);
    ASSERT_EQ(state->events.size(), 1);
    EXPECT_EQ(state->events.at(0).message, expected);
    EXPECT_EQ(state->events.at(0).type, 0);
    EXPECT_EQ(state->events.at(0).source, QStringLiteral("TessalyIndexManager (indexName=Sales)"));
}

TEST_F(ReportErrorTest, EmptyDescriptionStartsWithTwoEmptyLines) {
    EXPECT_TRUE(report::ReportError(component::Error(5, QStringLiteral("S"), QString())));
    ASSERT_EQ(boxes.Boxes().size(), 1);
    EXPECT_TRUE(boxes.Boxes().at(0).text.startsWith(
        QStringLiteral("\r\n\r\nError Source: S\r\nError Number: 5\r\n")));
}

TEST_F(ReportErrorTest, SourceHasEmptyNameWhenNoIndexIsCurrent) {
    state->currentIndex.clear();
    report::ReportError(component::Error(-1, QStringLiteral("S"), QStringLiteral("d")));
    ASSERT_EQ(state->events.size(), 1);
    EXPECT_EQ(state->events.at(0).source, QStringLiteral("TessalyIndexManager (indexName=)"));
    EXPECT_TRUE(state->events.at(0).message.contains(QStringLiteral("Error Number: FFFFFFFF")));
}

TEST_F(ReportErrorTest, LoggingFailureRaisesBeforeTheBoxIsShown) {
    state->eventLogError = component::Error(7, QStringLiteral("EventLog"), QStringLiteral("log is full"));
    try {
        report::ReportError(component::Error(5, QStringLiteral("S"), QStringLiteral("d")));
        FAIL() << "the logging failure must reach the caller";
    } catch (const component::Error& e) {
        EXPECT_EQ(e.Number(), 7);
        EXPECT_EQ(e.Description(), QStringLiteral("log is full"));
    }
    EXPECT_TRUE(boxes.Boxes().isEmpty());
}

TEST_F(ReportErrorTest, AbsorbedReportStillShowsTheErrorWhenLoggingFails) {
    const component::Error error(5, QStringLiteral("S"), QStringLiteral("the build failed"));
    state->eventLogError = component::Error(7, QStringLiteral("EventLog"), QStringLiteral("log is full"));
    report::ReportErrorAbsorbed(error);
    ASSERT_EQ(boxes.Boxes().size(), 1);
    EXPECT_EQ(boxes.Boxes().at(0).text,
              report::ErrorReportText(error) +
                  QStringLiteral("\r\n\r\nThis error could not be written to the event log:\r\nlog is full"));
    EXPECT_EQ(boxes.Boxes().at(0).flags, 48);

    // With a working log it is the plain report, logged once.
    state->eventLogError.reset();
    report::ReportErrorAbsorbed(error);
    ASSERT_EQ(boxes.Boxes().size(), 2);
    EXPECT_EQ(boxes.Boxes().at(1).text, report::ErrorReportText(error));
    EXPECT_EQ(state->events.size(), 1);
}

}  // namespace
