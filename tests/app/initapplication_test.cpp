// The start-up sequence on the scripted fake component: which failure ends it with
// which report, and what it leaves behind.
#include <gtest/gtest.h>

#include "app/application.h"
#include "maindialog/maindialog.h"
#include "support/fake_component.h"
#include "support/messagebox_recorder.h"
#include "support/qt_printers.h"
#include "component/globals.h"

namespace {

class InitApplicationTest : public ::testing::Test {
protected:
    void SetUp() override {
        state = testsupport::InstallFakeComponent();
        state->indexList = {{QStringLiteral("sales"), QStringLiteral("Sales documents")}};
        state->indexes[QStringLiteral("sales")] = {
            {QStringLiteral("IndexPath"), QStringLiteral("/srv/idx/sales")}};
    }
    void TearDown() override {
        dialog.reset();
        component::g_searchEngine.reset();
        component::g_indexConfiguration.reset();
    }
    bool Init(const QString& commandLine) {
        return app::InitApplication(commandLine, QStringLiteral("/opt/lumora"), dialog, nullptr);
    }

    std::shared_ptr<testsupport::FakeState> state;
    testsupport::MessageBoxRecorder boxes;
    std::unique_ptr<maindialog::MainDialog> dialog;
};

struct FailureCase {
    const char* name;
    const char* commandLine;
    bool engineFails;
    bool loadIndexFails;
    const char* text;  // the one report shown, up to the request to contact the administrator
    int flags;
};

class StartupFailureTest : public InitApplicationTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(StartupFailureTest, EndsStartUpWithOneReportAndOneEntry) {
    const FailureCase& c = GetParam();
    if (c.engineFails)
        state->createEngineError =
            component::Error(0x2001, QStringLiteral("Engine"), QStringLiteral("the library is missing"));
    if (c.loadIndexFails) state->failingLoadIndex = {QStringLiteral("sales")};

    EXPECT_FALSE(Init(QString::fromUtf8(c.commandLine)));
    ASSERT_EQ(boxes.Boxes().size(), 1) << boxes.Texts().join(QStringLiteral("\n---\n")).toStdString();
    EXPECT_EQ(boxes.Boxes().at(0).text, QString::fromUtf8(c.text));
    EXPECT_EQ(boxes.Boxes().at(0).flags, c.flags);
    ASSERT_EQ(state->events.size(), 1);
    EXPECT_EQ(state->events.at(0).message, QString::fromUtf8(c.text));
    // The dialog was made for the list, but nothing was shown or built.
    ASSERT_TRUE(dialog);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(state->buildersCreated, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, StartupFailureTest,
    ::testing::Values(
        // One line break after the prefix, not the two of the configuration failure.
        FailureCase{"Engine", "", true, false,
                    "Unable to initialize engine:\r\nthe library is missing\r\n\r\nError Source: Engine\r\n"
                    "Error Number: 2001\r\n\r\nPlease contact your administrator.",
                    48},
        FailureCase{"EngineInAutomatedRun", "/auto /index sales", true, false,
                    "Unable to initialize engine:\r\nthe library is missing\r\n\r\nError Source: Engine\r\n"
                    "Error Number: 2001\r\n\r\nPlease contact your administrator.",
                    48},
        // The index is named but cannot be loaded: the selection handler reports it,
        // nothing stays selected and start-up ends before the engine is made.
        FailureCase{
            "LoadIndex", "/index sales", false, true,
            "Unable to load index (sales):\r\ncannot load sales\r\n\r\nError Source: FakeComponent\r\n"
            "Error Number: 80040202\r\n\r\nPlease contact your administrator.",
            48}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST_F(InitApplicationTest, AnIndexThatCannotLoadLeavesTheEngineUnmade) {
    state->failingLoadIndex = {QStringLiteral("sales")};
    EXPECT_FALSE(Init(QStringLiteral("/auto /index sales")));
    EXPECT_TRUE(state->createEngineArgs.isEmpty());
    EXPECT_FALSE(component::g_searchEngine);
}

}  // namespace
