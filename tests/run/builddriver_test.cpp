// The build driver on its own, without a widget or an application object: what it
// tells its view, in which order, what it hands the builder and the propagator, and
// how each run ends.
#include <QDate>
#include <QLocale>

#include "driver_fixture.h"

namespace {

const QString kFailure = QStringLiteral("Problems occurred during the indexing process.");

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

TEST_F(DriverTest, TheBuilderGetsTheSettingsOfTheCurrentIndexWhole) {
    component::VerifySettings verify;
    verify.minDocuments = 7;
    verify.maxShrinkPercent = 100;
    verify.checkQueries = {QStringLiteral("ocean OR sea")};
    state->verify[QStringLiteral("sales")] = verify;
    state->verify[QStringLiteral("other")] = component::VerifySettings();
    const component::BuildModeSettings mode{component::BuildMode::Changes, 12};
    state->buildMode[QStringLiteral("sales")] = mode;
    Run();
    EXPECT_EQ(state->configuredHandler, static_cast<component::StatusHandler*>(&view));
    ASSERT_TRUE(state->settingsGiven.has_value());
    const component::IndexSettings& given = *state->settingsGiven;
    EXPECT_EQ((QStringList{given.name, given.path, given.query, given.storedColumns, given.tokenizer, given.prefix}),
              (QStringList{QStringLiteral("sales"), QStringLiteral("/srv/idx/sales"),
                           QStringLiteral("SELECT ID, BODY FROM DOC"), QStringLiteral("URL"),
                           QStringLiteral("unicode61"), QStringLiteral("2 3")}));
    EXPECT_EQ(given.verify, verify);
    EXPECT_EQ(given.buildMode, mode);
    // The index's own data source takes the place of the catalog's connection.
    EXPECT_EQ(state->connectionGiven, QStringLiteral("Provider=SQLite;Database=d.db"));
    EXPECT_EQ(state->reads.mid(0, 5),
              (QStringList{QStringLiteral("Settings"), QStringLiteral("DbDataSources"),
                           QStringLiteral("DbSetting1"), QStringLiteral("DbSetting2"),
                           QStringLiteral("DbDataSources")}));
}

TEST_F(DriverTest, FallsBackToRAdozudoWhenPrimaryIsEmpty) {
    state->connectionStrings.remove(QStringLiteral("Primary"));
    state->dataSources.remove(QStringLiteral("sales"));
    Run();
    EXPECT_EQ(state->connectionGiven, QStringLiteral("radozudo-text"));
    EXPECT_EQ(state->serviceCalls.mid(0, 3),
              (QStringList{QStringLiteral("ResolveDataSource(Docs)"),
                           QStringLiteral("GetConnectionString(u,p,Primary)"),
                           QStringLiteral("GetConnectionString(u,p,RAdozudo)")}));
}

TEST_F(DriverTest, NoDataSourceReportsTheTwoLineErrorAndCreatesNoBuilder) {
    state->connectionStrings.clear();
    Run();
    EXPECT_EQ(state->buildersCreated, 0);
    ASSERT_EQ(boxes.Boxes().size(), 1);
    EXPECT_EQ(boxes.Boxes().at(0).text,
              QStringLiteral(
                  "Primary data source not defined for the selected index.\r\n"
                  "Please put a datasource RAdozudo or Primary in the index's DbDataSources item.\r\n\r\n"
                  "Error Source: TessalyIndexManager\r\nError Number: 80040000\r\n\r\n"
                  "Please contact your administrator."));
    EXPECT_EQ(state->events.size(), 1);
    EXPECT_TRUE(state->writes.isEmpty());
}

TEST_F(DriverTest, AReportWhoseLogEntryFailsIsStillShown) {
    state->connectionStrings.clear();
    state->eventLogError = component::Error(9, QStringLiteral("EventLog"), QStringLiteral("journal is gone"));
    Run();
    ASSERT_EQ(boxes.Boxes().size(), 1);
    EXPECT_TRUE(boxes.Boxes().at(0).text.startsWith(
        QStringLiteral("Primary data source not defined for the selected index.\r\n")));
    EXPECT_TRUE(boxes.Boxes().at(0).text.endsWith(
        QStringLiteral("Please contact your administrator.\r\n\r\n"
                       "This error could not be written to the event log:\r\njournal is gone")));
    EXPECT_EQ(view.calls.filter(QStringLiteral("built")).size(), 1);
}

TEST_F(DriverTest, BuildRaisingIsReportedAtOnceAndUserNodesStillRun) {
    state->build = [](testsupport::FakeBuilder&) -> bool {
        throw component::Error(0x1234, QStringLiteral("Builder"), QStringLiteral("disk on fire"));
    };
    Run();
    ASSERT_EQ(boxes.Boxes().size(), 2);
    EXPECT_TRUE(
        boxes.Boxes().at(0).text.startsWith(QStringLiteral("disk on fire\r\n\r\nError Source: Builder\r\n"
                                                           "Error Number: 1234\r\n")));
    EXPECT_EQ(boxes.Boxes().at(1).text, kFailure);
    EXPECT_TRUE(UserNodesRan());
    EXPECT_EQ(view.calls.filter(QStringLiteral("built")).size(), 1);
    EXPECT_TRUE(state->writes.isEmpty());
}

TEST_F(DriverTest, BuildFalseWithoutErrorEndsInFailureWithoutReport) {
    state->build = [](testsupport::FakeBuilder&) { return false; };
    Run();
    EXPECT_EQ(boxes.Texts(), QStringList{kFailure});
    EXPECT_EQ(boxes.Boxes().at(0).flags, 48);
    EXPECT_TRUE(state->events.isEmpty());
    EXPECT_TRUE(UserNodesRan());
}

TEST_F(DriverTest, UserNodeFailureEndsAsAborted) {
    state->openConnectionError = component::Error(1, QStringLiteral("Db"), QStringLiteral("down"));
    Run();
    EXPECT_EQ(state->abortRequests, 1);
    EXPECT_EQ(boxes.Texts(), QStringList{QStringLiteral("Indexing aborted")});
    EXPECT_TRUE(state->writes.isEmpty());
}

TEST_F(DriverTest, FailedPropagationWarnsThenFailsAndKeepsOldValues) {
    state->propagations[QStringLiteral("sales")] = {QStringLiteral("/replica/a")};
    QStringList propagatedTargets;
    state->propagate = [&](component::StatusHandler* handler, const QString& path,
                           const QStringList& targets) {
        EXPECT_EQ(handler, static_cast<component::StatusHandler*>(&view));
        EXPECT_EQ(path, QStringLiteral("/srv/idx/sales"));
        propagatedTargets = targets;
        return false;
    };
    Run();
    EXPECT_EQ(propagatedTargets, QStringList{QStringLiteral("/replica/a")});
    EXPECT_EQ(boxes.Texts(),
              (QStringList{QStringLiteral("The index was built OK, but one or more propagations failed.\r\n"
                                          "For more information, see the system log."),
                           kFailure}));
    EXPECT_EQ(boxes.Boxes().at(0).flags, 48);
    EXPECT_TRUE(state->writes.isEmpty());
    EXPECT_FALSE(view.calls.contains(QStringLiteral("results:42")));
}

TEST_F(DriverTest, PropagationRaisingCountsAsFailedPropagation) {
    state->propagations[QStringLiteral("sales")] = {QStringLiteral("/replica/a")};
    state->propagate = [](component::StatusHandler*, const QString&, const QStringList&) -> bool {
        throw component::Error(9, QStringLiteral("P"), QStringLiteral("copy failed"));
    };
    Run();
    ASSERT_EQ(boxes.Boxes().size(), 2);
    EXPECT_TRUE(boxes.Boxes().at(0).text.startsWith(QStringLiteral("The index was built OK, but")));
    EXPECT_EQ(boxes.Boxes().at(1).text, kFailure);
    EXPECT_TRUE(state->events.isEmpty());
}

TEST_F(DriverTest, NoPropagatorWithoutTargets) {
    Run();
    EXPECT_EQ(state->propagatorsCreated, 0);
}

TEST_F(DriverTest, FailedLastBuiltWriteIsReportedWithPrefixAndStillSucceeds) {
    state->writeError = component::Error(0x4711, QStringLiteral("Config"), QStringLiteral("read-only file"));
    state->writeErrorProperty = QStringLiteral("LastBuilt");
    Run();
    EXPECT_TRUE(state->writes.isEmpty());  // NumDocuments is not attempted
    ASSERT_EQ(boxes.Boxes().size(), 2);
    EXPECT_TRUE(boxes.Boxes().at(0).text.startsWith(QStringLiteral(
        "Unable to write results to config file:\r\nread-only file\r\n\r\nError Source: Config\r\n"
        "Error Number: 4711\r\n")));
    EXPECT_EQ(boxes.Boxes().at(1).text, QStringLiteral("Index was built OK"));
    EXPECT_TRUE(view.calls.contains(QStringLiteral("results:42")));
}

TEST(GeneralDateText, HoldsTodaysDateAndNoZoneName) {
    const QString text = run::GeneralDateText();
    EXPECT_TRUE(text.contains(QLocale::system().toString(QDate::currentDate(), QLocale::ShortFormat))) << text.toStdString();
    EXPECT_FALSE(text.contains(QStringLiteral("UTC"))) << text.toStdString();
}

}  // namespace
