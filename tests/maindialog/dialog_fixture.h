// A main dialog on the scripted fake component, with message boxes recorded.
#pragma once

#include "maindialog/maindialog.h"
#include "support/fake_component.h"
#include "support/messagebox_recorder.h"
#include "support/qt_printers.h"
#include "component/globals.h"

#include <QAbstractButton>
#include <QTest>
#include <gtest/gtest.h>

class DialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        state = testsupport::InstallFakeComponent();
        testsupport::ScriptSalesAndHr(*state);
        component::g_searchEngine = component::Factory().NewIndexingServices()->CreateEngine({}, {}, false);
        dialog = std::make_unique<maindialog::MainDialog>();
        dialog->LoadIndexList(state->indexList);
    }

    void TearDown() override {
        dialog.reset();
        component::g_searchEngine.reset();
        component::g_indexConfiguration.reset();
    }

    template <typename W = QWidget>
    W* Child(const char* name) const {
        W* widget = dialog->findChild<W*>(QLatin1String(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }

    void Click(const char* button) {
        auto* widget = Child<QAbstractButton>(button);
        ASSERT_NE(widget, nullptr);
        QTest::mouseClick(widget, Qt::LeftButton);
    }

    std::shared_ptr<testsupport::FakeState> state;
    testsupport::MessageBoxRecorder boxes;
    std::unique_ptr<maindialog::MainDialog> dialog;
};
