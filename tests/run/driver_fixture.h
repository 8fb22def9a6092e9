// The build driver on the scripted fake component, with no widget and no application
// object: a view that records what it is told, and message boxes recorded.
#pragma once

#include <gtest/gtest.h>

#include "component/globals.h"
#include "run/builddriver.h"
#include "support/fake_component.h"
#include "support/messagebox_recorder.h"
#include "support/qt_printers.h"

class RecordingView final : public run::BuildView {
public:
    void UpdateStatus(const QString& text) override { calls << QStringLiteral("status:") + text; }
    void ProcessEvents() override {}
    void ShowAutomated() override { calls << QStringLiteral("automated"); }
    void ShowBusy() override { calls << QStringLiteral("busy"); }
    void SetIndexing(bool indexing) override {
        calls << (indexing ? QStringLiteral("indexing") : QStringLiteral("built"));
    }
    void ShowIdle() override { calls << QStringLiteral("idle"); }
    void ShowResults(const QString&, const QString& documents) override {
        calls << QStringLiteral("results:") + documents;
    }
    QStringList calls;
};

// The index "sales" of testsupport::ScriptSalesAndHr is current.
class DriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        state = testsupport::InstallFakeComponent();
        testsupport::ScriptSalesAndHr(*state);
        component::g_indexConfiguration->LoadIndex(QStringLiteral("sales"));
    }
    void TearDown() override { component::g_indexConfiguration.reset(); }

    // One run of a driver over the view.
    run::BuildDriver::Outcome Run(bool automated = false) { return run::BuildDriver(view).Run(automated); }
    // Either way of reading the catalog asks for the users' assignments.
    bool UserNodesRan() const {
        return !state->statements.filter(QStringLiteral("FROM CATALOGNODEBYUSER")).isEmpty();
    }

    std::shared_ptr<testsupport::FakeState> state;
    testsupport::MessageBoxRecorder boxes;
    RecordingView view;
};
