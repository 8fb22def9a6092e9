// One build from the dialog, driven through the scripted fake component: data-source
// lookup, busy state, stop, user nodes, propagation, write-back and outcome.
#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTimer>

#include "dialog_fixture.h"

namespace {

const QString kFailure = QStringLiteral("Problems occurred during the indexing process.");

class BuildDriverTest : public DialogTest {
protected:
    void SetUp() override {
        DialogTest::SetUp();
        ASSERT_TRUE(dialog->SelectCurrentIndex(QStringLiteral("sales")));
        dialog->show();
        state->reads.clear();
    }
    // Either way of reading the catalog asks for the users' assignments.
    bool UserNodesRan() const {
        return !state->statements.filter(QStringLiteral("FROM CATALOGNODEBYUSER")).isEmpty();
    }
};

TEST_F(BuildDriverTest, SuccessWritesResultsUpdatesLabelsAndSaysSo) {
    Click("StartButton");
    ASSERT_EQ(boxes.Texts(), QStringList{QStringLiteral("Index was built OK")});
    EXPECT_EQ(boxes.Boxes().at(0).flags, 64);
    ASSERT_EQ(state->writes.size(), 2);
    EXPECT_TRUE(state->writes.at(0).startsWith(QStringLiteral("LastBuilt=")));
    EXPECT_EQ(state->writes.at(1), QStringLiteral("NumDocuments=42"));
    EXPECT_EQ(Child<QLabel>("NumDocuments")->text(), QStringLiteral("42"));
    EXPECT_EQ(Child<QLabel>("LastBuilt")->text(), state->writes.at(0).mid(10));
    EXPECT_TRUE(UserNodesRan());
    EXPECT_TRUE(dialog->IsLoaded());
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Lumora Index Manager"));
}

TEST_F(BuildDriverTest, TheBuilderGetsTheSettingsOfTheCurrentIndexWhole) {
    component::VerifySettings verify;
    verify.minDocuments = 7;
    verify.maxShrinkPercent = 100;
    verify.checkQueries = {QStringLiteral("ocean OR sea")};
    state->verify[QStringLiteral("sales")] = verify;
    state->verify[QStringLiteral("other")] = component::VerifySettings();
    const component::BuildModeSettings mode{component::BuildMode::Changes, 12};
    state->buildMode[QStringLiteral("sales")] = mode;
    Click("StartButton");
    EXPECT_EQ(state->configuredHandler, static_cast<component::StatusHandler*>(dialog.get()));
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

TEST_F(BuildDriverTest, FallsBackToRAdozudoWhenPrimaryIsEmpty) {
    state->connectionStrings.remove(QStringLiteral("Primary"));
    state->dataSources.remove(QStringLiteral("sales"));
    Click("StartButton");
    EXPECT_EQ(state->connectionGiven, QStringLiteral("radozudo-text"));
    EXPECT_EQ(state->serviceCalls.mid(0, 3),
              (QStringList{QStringLiteral("ResolveDataSource(Docs)"),
                           QStringLiteral("GetConnectionString(u,p,Primary)"),
                           QStringLiteral("GetConnectionString(u,p,RAdozudo)")}));
}

TEST_F(BuildDriverTest, NoDataSourceReportsTheTwoLineErrorAndCreatesNoBuilder) {
    state->connectionStrings.clear();
    Click("StartButton");
    EXPECT_EQ(state->buildersCreated, 0);
    ASSERT_EQ(boxes.Boxes().size(), 1);
    EXPECT_EQ(boxes.Boxes().at(0).text,
              QStringLiteral(
                  "Primary data source not defined for the selected index.\r\n"
                  "Please put a datasource RAdozudo or Primary in the index's DbDataSources item.\r\n\r\n"
                  "Error Source: TessalyIndexManager\r\nError Number: 80040000\r\n\r\n"
                  "Please contact your administrator."));
    EXPECT_EQ(state->events.size(), 1);
    EXPECT_TRUE(Child("StartButton")->isEnabled());
    EXPECT_FALSE(Child("StopButton")->isEnabled());
    EXPECT_TRUE(state->writes.isEmpty());
}

TEST_F(BuildDriverTest, AReportWhoseLogEntryFailsIsStillShown) {
    state->connectionStrings.clear();
    state->eventLogError = component::Error(9, QStringLiteral("EventLog"), QStringLiteral("journal is gone"));
    Click("StartButton");
    ASSERT_EQ(boxes.Boxes().size(), 1);
    EXPECT_TRUE(boxes.Boxes().at(0).text.startsWith(
        QStringLiteral("Primary data source not defined for the selected index.\r\n")));
    EXPECT_TRUE(boxes.Boxes().at(0).text.endsWith(
        QStringLiteral("Please contact your administrator.\r\n\r\n"
                       "This error could not be written to the event log:\r\njournal is gone")));
    EXPECT_TRUE(Child("StartButton")->isEnabled());
    EXPECT_FALSE(dialog->IsIndexing());
}

TEST_F(BuildDriverTest, BuildRaisingIsReportedAtOnceAndUserNodesStillRun) {
    state->build = [](testsupport::FakeBuilder&) -> bool {
        throw component::Error(0x1234, QStringLiteral("Builder"), QStringLiteral("disk on fire"));
    };
    Click("StartButton");
    ASSERT_EQ(boxes.Boxes().size(), 2);
    EXPECT_TRUE(
        boxes.Boxes().at(0).text.startsWith(QStringLiteral("disk on fire\r\n\r\nError Source: Builder\r\n"
                                                           "Error Number: 1234\r\n")));
    EXPECT_EQ(boxes.Boxes().at(1).text, kFailure);
    EXPECT_TRUE(UserNodesRan());
    EXPECT_FALSE(dialog->IsIndexing());
    EXPECT_TRUE(state->writes.isEmpty());
}

TEST_F(BuildDriverTest, BuildFalseWithoutErrorEndsInFailureWithoutReport) {
    state->build = [](testsupport::FakeBuilder&) { return false; };
    Click("StartButton");
    EXPECT_EQ(boxes.Texts(), QStringList{kFailure});
    EXPECT_EQ(boxes.Boxes().at(0).flags, 48);
    EXPECT_TRUE(state->events.isEmpty());
    EXPECT_TRUE(UserNodesRan());
}

struct StopCase {
    const char* name;
    int answer;
    bool aborted;
    QString outcome;
};

class StopTest : public BuildDriverTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(StopTest, StopQuestionDecidesWhetherTheBuildIsAborted) {
    const StopCase& c = GetParam();
    bool busyState = false;
    state->build = [&](testsupport::FakeBuilder& builder) {
        busyState = !Child("StartButton")->isEnabled() && Child("StopButton")->isEnabled() &&
                    !Child("IndexCombo")->isEnabled() && dialog->cursor().shape() == Qt::WaitCursor &&
                    dialog->IsIndexing();
        boxes.SetNextAnswer(c.answer);
        Click("StopButton");
        builder.handler->ProcessEvents();
        return !builder.Aborted();
    };
    Click("StartButton");
    EXPECT_TRUE(busyState);
    ASSERT_EQ(boxes.Boxes().size(), 2);
    EXPECT_EQ(boxes.Boxes().at(0).text, QStringLiteral("Do you want to stop the indexing process"));
    EXPECT_EQ(boxes.Boxes().at(0).flags, 36);
    EXPECT_EQ(state->abortRequests, c.aborted ? 1 : 0);
    EXPECT_EQ(boxes.Boxes().at(1).text, c.outcome);
    EXPECT_EQ(state->writes.isEmpty(), c.aborted);
    EXPECT_TRUE(UserNodesRan());  // a stopped build still recomputes the users' nodes
    EXPECT_TRUE(Child("StartButton")->isEnabled());
    EXPECT_FALSE(Child("StopButton")->isEnabled());
    EXPECT_TRUE(Child("IndexCombo")->isEnabled());
    EXPECT_NE(dialog->cursor().shape(), Qt::WaitCursor);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, StopTest,
    ::testing::Values(StopCase{"Yes", platform::kIdYes, true, QStringLiteral("Indexing aborted")},
                      StopCase{"No", platform::kIdNo, false, QStringLiteral("Index was built OK")}),
    [](const ::testing::TestParamInfo<StopCase>& info) { return std::string(info.param.name); });

TEST_F(BuildDriverTest, UserNodeFailureEndsAsAborted) {
    state->openConnectionError = component::Error(1, QStringLiteral("Db"), QStringLiteral("down"));
    Click("StartButton");
    EXPECT_EQ(state->abortRequests, 1);
    EXPECT_EQ(boxes.Texts(), QStringList{QStringLiteral("Indexing aborted")});
    EXPECT_TRUE(state->writes.isEmpty());
}

TEST_F(BuildDriverTest, FailedPropagationWarnsThenFailsAndKeepsOldValues) {
    state->propagations[QStringLiteral("sales")] = {QStringLiteral("/replica/a")};
    QStringList propagatedTargets;
    state->propagate = [&](component::StatusHandler* handler, const QString& path,
                           const QStringList& targets) {
        EXPECT_EQ(handler, static_cast<component::StatusHandler*>(dialog.get()));
        EXPECT_EQ(path, QStringLiteral("/srv/idx/sales"));
        propagatedTargets = targets;
        return false;
    };
    Click("StartButton");
    EXPECT_EQ(propagatedTargets, QStringList{QStringLiteral("/replica/a")});
    EXPECT_EQ(boxes.Texts(),
              (QStringList{QStringLiteral("The index was built OK, but one or more propagations failed.\r\n"
                                          "For more information, see the system log."),
                           kFailure}));
    EXPECT_EQ(boxes.Boxes().at(0).flags, 48);
    EXPECT_TRUE(state->writes.isEmpty());
    EXPECT_EQ(Child<QLabel>("NumDocuments")->text(), QStringLiteral("1234"));
}

TEST_F(BuildDriverTest, PropagationRaisingCountsAsFailedPropagation) {
    state->propagations[QStringLiteral("sales")] = {QStringLiteral("/replica/a")};
    state->propagate = [](component::StatusHandler*, const QString&, const QStringList&) -> bool {
        throw component::Error(9, QStringLiteral("P"), QStringLiteral("copy failed"));
    };
    Click("StartButton");
    ASSERT_EQ(boxes.Boxes().size(), 2);
    EXPECT_TRUE(boxes.Boxes().at(0).text.startsWith(QStringLiteral("The index was built OK, but")));
    EXPECT_EQ(boxes.Boxes().at(1).text, kFailure);
    EXPECT_TRUE(state->events.isEmpty());
}

TEST_F(BuildDriverTest, NoPropagatorWithoutTargets) {
    Click("StartButton");
    EXPECT_EQ(state->propagatorsCreated, 0);
}

TEST_F(BuildDriverTest, FailedLastBuiltWriteIsReportedWithPrefixAndStillSucceeds) {
    state->writeError = component::Error(0x4711, QStringLiteral("Config"), QStringLiteral("read-only file"));
    state->writeErrorProperty = QStringLiteral("LastBuilt");
    Click("StartButton");
    EXPECT_TRUE(state->writes.isEmpty());  // NumDocuments is not attempted
    ASSERT_EQ(boxes.Boxes().size(), 2);
    EXPECT_TRUE(boxes.Boxes().at(0).text.startsWith(QStringLiteral(
        "Unable to write results to config file:\r\nread-only file\r\n\r\nError Source: Config\r\n"
        "Error Number: 4711\r\n")));
    EXPECT_EQ(boxes.Boxes().at(1).text, QStringLiteral("Index was built OK"));
    EXPECT_EQ(Child<QLabel>("NumDocuments")->text(), QStringLiteral("42"));
}

TEST_F(BuildDriverTest, AutomatedSuccessUnloadsWithoutMessage) {
    dialog->DoBuildIndex(true);
    EXPECT_TRUE(boxes.Boxes().isEmpty());
    EXPECT_FALSE(dialog->IsLoaded());
    EXPECT_FALSE(dialog->AutomatedBuildFailed());
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Lumora Index Manager (running automated)"));
    EXPECT_EQ(state->writes.size(), 2);
}

TEST_F(BuildDriverTest, AutomatedFailureShowsMessageAndStaysOpen) {
    state->build = [](testsupport::FakeBuilder&) { return false; };
    dialog->DoBuildIndex(true);
    EXPECT_EQ(boxes.Texts(), QStringList{kFailure});
    EXPECT_TRUE(dialog->IsLoaded());
    EXPECT_TRUE(dialog->AutomatedBuildFailed());
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Lumora Index Manager (running automated)"));
}

TEST_F(BuildDriverTest, ButtonsAndCloseBoxDoNothingDuringBuild) {
    bool closeRefused = false;
    bool aboutShown = false;  // the About box or the search window
    QObject timerScope;       // a timer still pending when the test ends dies with it
    state->build = [&](testsupport::FakeBuilder&) {
        // Should the About box open, close it again so the test cannot hang.
        QTimer::singleShot(500, &timerScope, [&aboutShown] {
            if (QWidget* modal = QApplication::activeModalWidget()) {
                aboutShown = true;
                modal->close();
            }
        });
        for (const char* button : {"ExitButton", "AboutButton", "HelpButton", "EngineButton", "SearchButton"})
            Click(button);
        closeRefused = !dialog->close() && dialog->IsLoaded();
        return true;
    };
    Click("StartButton");
    EXPECT_TRUE(closeRefused);
    EXPECT_FALSE(aboutShown);
    EXPECT_EQ(boxes.Texts(), QStringList{QStringLiteral("Index was built OK")});
    EXPECT_TRUE(dialog->IsLoaded());
    // Once the build is over the same close ends the dialog.
    EXPECT_TRUE(dialog->close());
    EXPECT_FALSE(dialog->IsLoaded());
}

TEST_F(BuildDriverTest, CloseDuringPropagationKeepsTheDialogAlive) {
    state->propagations[QStringLiteral("sales")] = {QStringLiteral("/replica/a")};
    int unloadedDuringBuild = 0;
    int unloaded = 0;
    QObject::connect(dialog.get(), &maindialog::MainDialog::Unloaded, [&unloaded] { ++unloaded; });
    state->propagate = [&](component::StatusHandler* handler, const QString&, const QStringList&) {
        dialog->close();
        unloadedDuringBuild = unloaded;
        handler->UpdateStatus(QStringLiteral("Propagating"));
        return true;
    };
    Click("StartButton");
    EXPECT_FALSE(dialog->IsLoaded());
    // The program ends only after the build has shown its outcome.
    EXPECT_EQ(unloadedDuringBuild, 0);
    EXPECT_EQ(unloaded, 1);
    EXPECT_EQ(boxes.Texts(), QStringList{QStringLiteral("Index was built OK")});
    EXPECT_EQ(Child<QPlainTextEdit>("Status")->toPlainText(), QStringLiteral("Propagating"));
    EXPECT_EQ(state->writes.size(), 2);
}

TEST_F(BuildDriverTest, StatusLineKeepsTheLastText) {
    state->build = [](testsupport::FakeBuilder& builder) {
        builder.handler->UpdateStatus(QStringLiteral("Indexing: 1 of 2 documents (50%), 10 documents/s"));
        builder.handler->UpdateStatus(QStringLiteral("Indexing: 2 of 2 documents (100%), 10 documents/s"));
        return true;
    };
    EXPECT_EQ(Child<QPlainTextEdit>("Status")->toPlainText(), QStringLiteral("(not active)"));
    Click("StartButton");
    EXPECT_EQ(Child<QPlainTextEdit>("Status")->toPlainText(),
              QStringLiteral("Indexing: 2 of 2 documents (100%), 10 documents/s"));
}

}  // namespace
