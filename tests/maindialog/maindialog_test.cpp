// The main dialog: layout, initial state, lifecycle, index selection, engine version
// and help.
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include "dialog_fixture.h"
#include "maindialog/dialogtexts.h"

namespace {

struct ControlCase {
    const char* name;
    const char* parent;  // objectName of the parent
    const char* caption;
    int left, top, width, height;  // twips
};

int Px(int twips) {
    return qRound(twips / 15.0);
}

QString CaptionOf(QWidget* widget) {
    if (auto* b = qobject_cast<QAbstractButton*>(widget)) return b->text();
    if (auto* l = qobject_cast<QLabel*>(widget)) return l->text();
    if (auto* e = qobject_cast<QLineEdit*>(widget)) return e->text();
    if (auto* t = qobject_cast<QPlainTextEdit*>(widget)) return t->toPlainText();
    if (auto* g = qobject_cast<QGroupBox*>(widget)) return g->title();
    return {};
}

class LayoutTest : public DialogTest, public ::testing::WithParamInterface<ControlCase> {};

TEST_P(LayoutTest, ControlHasNameParentCaptionAndGeometry) {
    const ControlCase& c = GetParam();
    QWidget* widget = Child(c.name);
    ASSERT_NE(widget, nullptr);
    EXPECT_EQ(widget->parentWidget()->objectName(), QLatin1String(c.parent));
    EXPECT_EQ(widget->geometry(), QRect(Px(c.left), Px(c.top), Px(c.width), Px(c.height)));
    if (c.caption) {
        EXPECT_EQ(CaptionOf(widget), QString::fromUtf8(c.caption));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Controls, LayoutTest,
    ::testing::Values(ControlCase{"Picture1", "MainDialog", nullptr, 9480, 240, 1215, 855},
                      ControlCase{"AboutButton", "MainDialog", "About", 7200, 2520, 1935, 495},
                      ControlCase{"Frame1", "MainDialog", "", 480, 960, 6255, 4215},
                      ControlCase{"IndexPath", "Frame1", "(unknown)", 1560, 960, 4455, 375},
                      ControlCase{"Status", "Frame1", "(not active)", 1560, 2040, 4215, 735},
                      ControlCase{"StartButton", "Frame1", "Start Indexing", 360, 3240, 2505, 615},
                      ControlCase{"StopButton", "Frame1", "Stop Indexing", 3240, 3240, 2500, 615},
                      ControlCase{"IndexCombo", "Frame1", nullptr, 1560, 480, 4215, 315},
                      ControlCase{"NumDocuments", "Frame1", "(unknown)", 1560, 1680, 4455, 255},
                      ControlCase{"Label2", "Frame1", "# Documents:", 360, 1680, 1095, 255},
                      ControlCase{"Label8", "Frame1", "Indexing status:", 360, 2280, 1335, 255},
                      ControlCase{"Label4", "Frame1", "Path:", 360, 960, 975, 255},
                      ControlCase{"Label6", "Frame1", "Last built:", 360, 1320, 1095, 255},
                      ControlCase{"LastBuilt", "Frame1", "(unknown)", 1560, 1320, 4455, 255},
                      ControlCase{"Label3", "Frame1", "Index:", 360, 600, 1095, 255},
                      ControlCase{"HelpButton", "MainDialog", "Help", 7200, 1800, 1935, 495},
                      ControlCase{"EngineButton", "MainDialog", "Engine Version", 7200, 1080, 1935, 495},
                      ControlCase{"ExitButton", "MainDialog", "Exit", 7200, 4680, 1935, 495},
                      ControlCase{"SearchButton", "MainDialog", "Search Index", 7200, 3240, 1935, 495},
                      ControlCase{"Label1", "MainDialog", "Lumora Index Manager", 480, 240, 5535, 495}),
    [](const ::testing::TestParamInfo<ControlCase>& info) { return std::string(info.param.name); });

TEST_F(DialogTest, WindowIsFixedTitledAndHasNoMinimizeOrMaximize) {
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Lumora Index Manager"));
    EXPECT_EQ(dialog->size(), QSize(717, 376));
    EXPECT_EQ(dialog->minimumSize(), dialog->maximumSize());
    EXPECT_FALSE(dialog->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(dialog->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(dialog->windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(dialog->windowIcon().isNull());
    EXPECT_EQ(Child<QLabel>("Picture1")->pixmap().size(), QSize(66, 38));
    const QFont title = Child<QLabel>("Label1")->font();
    EXPECT_TRUE(title.italic());
    EXPECT_EQ(title.pointSize(), 18);
    EXPECT_EQ(title.weight(), QFont::Normal);
}

TEST_F(DialogTest, InitialStateBeforeAnyBuild) {
    EXPECT_FALSE(Child("StopButton")->isEnabled());
    EXPECT_TRUE(Child("StartButton")->isEnabled());
    auto* combo = Child<QComboBox>("IndexCombo");
    EXPECT_EQ(combo->currentIndex(), -1);
    EXPECT_FALSE(combo->isEditable());
    EXPECT_EQ(combo->count(), 2);
    EXPECT_EQ(combo->itemText(0), QStringLiteral("Sales documents"));
    EXPECT_EQ(combo->itemText(1), QStringLiteral("HR documents"));
}

TEST_F(DialogTest, TabOrderFollowsTheTabIndexes) {
    dialog->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
    Child("StopButton")->setEnabled(true);  // so that it takes part in the chain
    const QStringList expected = {
        QStringLiteral("IndexCombo"),   QStringLiteral("StartButton"), QStringLiteral("StopButton"),
        QStringLiteral("EngineButton"), QStringLiteral("HelpButton"),  QStringLiteral("AboutButton"),
        QStringLiteral("SearchButton"), QStringLiteral("ExitButton"),  QStringLiteral("Status"),
        QStringLiteral("IndexPath"),    QStringLiteral("IndexCombo")};
    QWidget* widget = Child("IndexCombo");
    QStringList seen = {widget->objectName()};
    for (int i = 1; i < expected.size(); ++i) {
        do {
            widget = widget->nextInFocusChain();
        } while (!(widget->focusPolicy() & Qt::TabFocus) || !widget->isEnabled() ||
                 widget->objectName().isEmpty());
        seen.append(widget->objectName());
    }
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(QApplication::focusWidget(), Child("IndexCombo"));
}

TEST_F(DialogTest, ExitUnloadsTheDialog) {
    int unloaded = 0;
    QObject::connect(dialog.get(), &maindialog::MainDialog::Unloaded, [&unloaded] { ++unloaded; });
    dialog->show();
    Click("ExitButton");
    EXPECT_FALSE(dialog->IsLoaded());
    EXPECT_EQ(unloaded, 1);
    EXPECT_TRUE(boxes.Boxes().isEmpty());
}

// ---- selection ----

TEST_F(DialogTest, SelectionFillsTheThreeFieldsAndMakesTheIndexCurrent) {
    EXPECT_TRUE(dialog->SelectCurrentIndex(QStringLiteral("sales")));
    EXPECT_EQ(state->currentIndex, QStringLiteral("sales"));
    EXPECT_EQ(Child<QLineEdit>("IndexPath")->text(), QStringLiteral("/srv/idx/sales"));
    EXPECT_EQ(Child<QLabel>("LastBuilt")->text(), QStringLiteral("01/02/2026 10:00:00"));
    EXPECT_EQ(Child<QLabel>("NumDocuments")->text(), QStringLiteral("1234"));
    EXPECT_EQ(state->reads.mid(state->reads.size() - 3),
              (QStringList{QStringLiteral("IndexPath"), QStringLiteral("LastBuilt"),
                           QStringLiteral("NumDocuments")}));
    EXPECT_TRUE(boxes.Boxes().isEmpty());
}

TEST_F(DialogTest, UserSelectionBehavesLikeProgramSelection) {
    Child<QComboBox>("IndexCombo")->setCurrentIndex(1);
    EXPECT_EQ(state->currentIndex, QStringLiteral("hr"));
    EXPECT_EQ(Child<QLineEdit>("IndexPath")->text(), QStringLiteral("/srv/idx/hr"));
    EXPECT_EQ(Child<QLabel>("LastBuilt")->text(), QString());
}

struct NotFoundCase {
    const char* name;
    QString requested;
};

class SelectNotFoundTest : public DialogTest, public ::testing::WithParamInterface<NotFoundCase> {};

TEST_P(SelectNotFoundTest, ShowsInformationBoxAndReturnsFalse) {
    EXPECT_FALSE(dialog->SelectCurrentIndex(GetParam().requested));
    ASSERT_EQ(boxes.Boxes().size(), 1);
    EXPECT_EQ(boxes.Boxes().at(0).text, QStringLiteral("Unable to load index (") + GetParam().requested +
                                            QStringLiteral("):\r\nIndex not found in configuration file."));
    EXPECT_EQ(boxes.Boxes().at(0).flags, 64);
    EXPECT_EQ(Child<QComboBox>("IndexCombo")->currentIndex(), -1);
}

INSTANTIATE_TEST_SUITE_P(Names, SelectNotFoundTest,
                         ::testing::Values(NotFoundCase{"OtherCase", QStringLiteral("Sales")},
                                           NotFoundCase{"DisplayText", QStringLiteral("Sales documents")},
                                           NotFoundCase{"Unknown", QStringLiteral("nope")}),
                         [](const ::testing::TestParamInfo<NotFoundCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(DialogTest, DuplicateNamesSelectTheFirst) {
    maindialog::MainDialog second;
    second.LoadIndexList(
        {{QStringLiteral("a"), QStringLiteral("first")}, {QStringLiteral("a"), QStringLiteral("second")}});
    EXPECT_TRUE(second.SelectCurrentIndex(QStringLiteral("a")));
    EXPECT_EQ(second.findChild<QComboBox*>(QStringLiteral("IndexCombo"))->currentIndex(), 0);
}

TEST_F(DialogTest, EmptyListFindsNothing) {
    maindialog::MainDialog empty;
    empty.LoadIndexList({});
    EXPECT_FALSE(empty.SelectCurrentIndex(QStringLiteral("sales")));
    EXPECT_EQ(boxes.Boxes().size(), 1);
}

TEST_F(DialogTest, FailingLoadIndexReportsAndResetsTheFields) {
    ASSERT_TRUE(dialog->SelectCurrentIndex(QStringLiteral("sales")));
    state->failingLoadIndex = {QStringLiteral("hr")};
    Child<QComboBox>("IndexCombo")->setCurrentIndex(1);
    ASSERT_EQ(boxes.Boxes().size(), 1);
    EXPECT_TRUE(boxes.Boxes().at(0).text.startsWith(
        QStringLiteral("Unable to load index (hr):\r\ncannot load hr\r\n\r\n")));
    EXPECT_TRUE(boxes.Boxes().at(0).text.contains(QStringLiteral("Error Source: FakeComponent")));
    EXPECT_EQ(state->events.size(), 1);
    EXPECT_EQ(Child<QComboBox>("IndexCombo")->currentIndex(), -1);
    for (const char* field : {"IndexPath", "LastBuilt", "NumDocuments"})
        EXPECT_EQ(CaptionOf(Child(field)), QStringLiteral("(unknown)")) << field;
    boxes.Clear();
    Click("StartButton");
    ASSERT_EQ(boxes.Boxes().size(), 1);
    EXPECT_EQ(boxes.Boxes().at(0).text, QStringLiteral("No index selected, please select an index first"));
    EXPECT_EQ(state->buildersCreated, 0);
}

// ---- engine version and help ----

struct VersionCase {
    const char* name;
    std::int16_t major;
    std::int16_t minor;
    std::int32_t build;
    const char* shown;
};

class EngineVersionTest : public DialogTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(EngineVersionTest, ShowsTheEngineNumbersReadInOrder) {
    const VersionCase& c = GetParam();
    state->engineMajor = c.major;
    state->engineMinor = c.minor;
    state->engineBuild = c.build;
    state->engineReads.clear();
    Click("EngineButton");
    ASSERT_EQ(boxes.Boxes().size(), 1);
    EXPECT_EQ(boxes.Boxes().at(0).text,
              QStringLiteral("SQLite FTS5 engine version:\r\n") + QLatin1String(c.shown));
    EXPECT_EQ(boxes.Boxes().at(0).flags, 64);
    EXPECT_EQ(state->engineReads, (QStringList{QStringLiteral("MajorVersion"), QStringLiteral("MinorVersion"),
                                               QStringLiteral("BuildNumber")}));
}

INSTANTIATE_TEST_SUITE_P(Numbers, EngineVersionTest,
                         ::testing::Values(VersionCase{"Plain", 3, 7, 0, "3.07 (0)"},
                                           VersionCase{"TwoDigitMinor", 3, 40, 1, "3.40 (1)"},
                                           VersionCase{"ThreeDigitMinor", 6, 123, 5, "6.123 (5)"},
                                           VersionCase{"Negative", -1, 5, -2, "-1.05 (-2)"}),
                         [](const ::testing::TestParamInfo<VersionCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(DialogTest, SearchWithoutSelectionWarnsAsStartDoes) {
    Click("SearchButton");
    ASSERT_EQ(boxes.Boxes().size(), 1);
    EXPECT_EQ(boxes.Boxes().at(0).text, QStringLiteral("No index selected, please select an index first"));
    EXPECT_EQ(boxes.Boxes().at(0).flags, 48);
}

TEST_F(DialogTest, SearchOpensTheSearchWindowForTheCurrentIndex) {
    ASSERT_TRUE(dialog->SelectCurrentIndex(QStringLiteral("sales")));
    QString title;
    QObject timerScope;  // a timer still pending when the test ends dies with it
    QTimer::singleShot(0, &timerScope, [&title] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            title = modal->windowTitle();
            modal->close();
        }
    });
    Click("SearchButton");
    EXPECT_EQ(title, QStringLiteral("Search Index - sales"));
    EXPECT_TRUE(boxes.Boxes().isEmpty());
}

TEST_F(DialogTest, HelpShowsTheHelpText) {
    Click("HelpButton");
    ASSERT_EQ(boxes.Boxes().size(), 1);
    EXPECT_EQ(boxes.Boxes().at(0).text, maindialog::HelpText());
    EXPECT_EQ(boxes.Boxes().at(0).flags, 64);
}

}  // namespace
