// One build from the dialog, driven through the scripted fake component: what the
// dialog shows and allows while the driver (tested in tests/run) runs: busy state,
// Stop, the labels and the status line, closing, and an automated run's end.
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
