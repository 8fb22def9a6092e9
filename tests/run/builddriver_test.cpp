// The build driver on its own, without a widget or an application object of widgets:
// what it tells its view, in which order, and how each run ends.
#include <gtest/gtest.h>

#include <QDate>
#include <QLocale>

#include "run/builddriver.h"
#include "support/fake_component.h"
#include "support/messagebox_recorder.h"
#include "support/qt_printers.h"
#include "component/globals.h"

namespace {

class RecordingView final : public run::BuildView {
public:
    void UpdateStatus(const QString& text) override { calls << QStringLiteral("status:") + text; }
    void ProcessEvents() override {}
    void ShowAutomated() override { calls << QStringLiteral("automated"); }
    void ShowBusy() override { calls << QStringLiteral("busy"); }
    void SetIndexing(bool indexing) override { calls << (indexing ? QStringLiteral("indexing") : QStringLiteral("built")); }
    void ShowIdle() override { calls << QStringLiteral("idle"); }
    void ShowResults(const QString&, const QString& documents) override { calls << QStringLiteral("results:") + documents; }
    QStringList calls;
};

struct RunCase {
    const char* name;
    bool automated;
    bool noDataSource;
    bool buildSucceeds;
    bool abortDuringBuild;
    const char* viewCalls;  // the view's calls, joined with blanks
    const char* box;        // the one message shown, "" for none
    run::BuildDriver::Outcome outcome;
    const char* failedStep;  // what the monitoring file names
};

class BuildDriverRunTest : public ::testing::TestWithParam<RunCase> {
protected:
    void SetUp() override {
        state = testsupport::InstallFakeComponent();
        state->indexList = {{QStringLiteral("sales"), QStringLiteral("Sales documents")}};
        state->indexes[QStringLiteral("sales")] = {{QStringLiteral("IndexPath"), QStringLiteral("/srv/idx/sales")}};
        state->connectionStrings[QStringLiteral("RAdozudo")] = QStringLiteral("radozudo-text");
        component::g_indexConfiguration = std::make_shared<testsupport::FakeConfiguration>(*state);
        component::g_indexConfiguration->LoadIndex(QStringLiteral("sales"));
    }
    void TearDown() override { component::g_indexConfiguration.reset(); }

    std::shared_ptr<testsupport::FakeState> state;
    testsupport::MessageBoxRecorder boxes;
};

TEST_P(BuildDriverRunTest, TellsTheViewEachStepAndEndsAsExpected) {
    const RunCase& c = GetParam();
    if (c.noDataSource) state->connectionStrings.clear();
    const bool succeeds = c.buildSucceeds;
    const bool abort = c.abortDuringBuild;
    state->build = [succeeds, abort](testsupport::FakeBuilder& builder) {
        builder.handler->UpdateStatus(QStringLiteral("working"));
        if (abort) builder.SetAborted(true);
        return succeeds;
    };
    state->metricsDirectory = QStringLiteral("/metrics");
    RecordingView view;
    run::BuildDriver driver(view);

    EXPECT_EQ(driver.Run(c.automated), c.outcome);
    EXPECT_EQ(view.calls.join(QLatin1Char(' ')), QString::fromUtf8(c.viewCalls));
    const QString box = QString::fromUtf8(c.box);
    EXPECT_EQ(boxes.Texts(), box.isEmpty() ? QStringList() : QStringList{box});
    EXPECT_EQ(state->configuredHandler, c.noDataSource ? nullptr : static_cast<component::StatusHandler*>(&view));
    const QByteArray step = QByteArray("lumora_index_last_run_failed_step{index=\"sales\",step=\"") + c.failedStep + '"';
    EXPECT_TRUE(state->metricsFiles.value(QStringLiteral("/metrics/lumora_index_sales.prom")).contains(step)) << step.constData();
}

using Outcome = run::BuildDriver::Outcome;
INSTANTIATE_TEST_SUITE_P(
    Runs, BuildDriverRunTest,
    ::testing::Values(
        RunCase{"Success", false, false, true, false, "busy indexing status:working built idle results:42",
                "Index was built OK", Outcome::Succeeded, "none"},
        RunCase{"AutomatedSuccessSaysNothing", true, false, true, false,
                "automated busy indexing status:working built idle results:42", "", Outcome::Succeeded, "none"},
        RunCase{"BuildFails", true, false, false, false, "automated busy indexing status:working built idle",
                "Problems occurred during the indexing process.", Outcome::Failed, "build"},
        RunCase{"Stopped", false, false, false, true, "busy indexing status:working built idle",
                "Indexing aborted", Outcome::Failed, "build"},
        RunCase{"NoDataSource", false, true, true, false, "built idle",
                "Primary data source not defined for the selected index.\r\nPlease put a datasource RAdozudo or "
                "Primary in the index's DbDataSources item.\r\n\r\nError Source: TessalyIndexManager\r\n"
                "Error Number: 80040000\r\n\r\nPlease contact your administrator.",
                Outcome::Failed, "datasources"}),
    [](const ::testing::TestParamInfo<RunCase>& info) { return std::string(info.param.name); });

TEST(GeneralDateText, HoldsTodaysDateAndNoZoneName) {
    const QString text = run::GeneralDateText();
    EXPECT_TRUE(text.contains(QLocale::system().toString(QDate::currentDate(), QLocale::ShortFormat))) << text.toStdString();
    EXPECT_FALSE(text.contains(QStringLiteral("UTC"))) << text.toStdString();
}

}  // namespace
