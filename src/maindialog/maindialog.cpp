// The program's one window.
#include "maindialog/maindialog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QScreen>
#include <QShowEvent>
#include <QSignalBlocker>

#include "about/aboutdialog.h"
#include "run/builddriver.h"
#include "run/indexselection.h"
#include "maindialog/artwork.h"
#include "search/searchdialog.h"
#include "maindialog/dialogtexts.h"
#include "component/texts.h"
#include "platform/headless.h"
#include "platform/messagebox.h"
#include "platform/dialoglayout.h"
#include "component/globals.h"
#include "report/report.h"

namespace maindialog {

namespace {
using component::kCrLf;
using component::kProgramSource;
const QString kUnknown = QStringLiteral("(unknown)");

using platform::Twips;

template <typename W>
W* Place(W* widget, const char* name, const QRect& geometry) {
    widget->setObjectName(QLatin1String(name));
    widget->setGeometry(geometry);
    return widget;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& caption, const QRect& geometry) {
    auto* label = Place(new QLabel(caption, parent), name, geometry);
    label->setFocusPolicy(Qt::NoFocus);
    return label;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& caption, const QRect& geometry) {
    return Place(new QPushButton(caption, parent), name, geometry);
}


}  // namespace

MainDialog::MainDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("MainDialog"));
    setWindowTitle(platform::ApplicationTitle());
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(Twips(0, 0, 10755, 5640).size());
    setWindowIcon(maindialog::WindowIcon());
    setFont(platform::DialogFont());

    auto* picture1 = Place(new QLabel(this), "Picture1", Twips(9480, 240, 1215, 855));
    picture1->setPixmap(maindialog::LogoPixmap());
    picture1->setAlignment(Qt::AlignCenter);
    auto* aboutButton = MakeButton(this, "AboutButton", QStringLiteral("About"), Twips(7200, 2520, 1935, 495));

    MakeIndexFrame();

    auto* helpButton = MakeButton(this, "HelpButton", QStringLiteral("Help"), Twips(7200, 1800, 1935, 495));
    auto* engineButton =
        MakeButton(this, "EngineButton", QStringLiteral("Engine Version"), Twips(7200, 1080, 1935, 495));
    auto* exitButton = MakeButton(this, "ExitButton", QStringLiteral("Exit"), Twips(7200, 4680, 1935, 495));
    auto* searchButton =
        MakeButton(this, "SearchButton", QStringLiteral("Search Index"), Twips(7200, 3240, 1935, 495));
    QLabel* title = MakeLabel(this, "Label1", platform::ApplicationTitle(), Twips(480, 240, 5535, 495));
    QFont titleFont = platform::DialogFont(18);
    titleFont.setItalic(true);
    titleFont.setWeight(QFont::Normal);
    title->setFont(titleFont);

    // Keyboard focus follows the tab indexes: combo box, Start, Stop, Engine Version,
    // Help, About, Search Index, Exit, then the two text fields.
    const QList<QWidget*> tabOrder = {m_indexCombo, m_startButton, m_stopButton,   engineButton,
                                      helpButton, aboutButton, searchButton, exitButton,
                                      m_status,     m_indexPath};
    for (qsizetype i = 1; i < tabOrder.size(); ++i) setTabOrder(tabOrder.at(i - 1), tabOrder.at(i));
    for (QPushButton* button : {aboutButton, m_startButton, m_stopButton, helpButton, engineButton,
                                searchButton, exitButton})
        button->setAutoDefault(false);
    m_indexCombo->setFocus();

    connect(m_indexCombo, &QComboBox::currentIndexChanged, this, &MainDialog::OnIndexComboChanged);
    connect(m_startButton, &QPushButton::clicked, this, &MainDialog::OnStartClicked);
    connect(m_stopButton, &QPushButton::clicked, this, &MainDialog::OnStopClicked);
    connect(engineButton, &QPushButton::clicked, this, &MainDialog::OnEngineClicked);
    connect(helpButton, &QPushButton::clicked, this, &MainDialog::OnHelpClicked);
    connect(aboutButton, &QPushButton::clicked, this, &MainDialog::OnAboutClicked);
    connect(exitButton, &QPushButton::clicked, this, &MainDialog::OnExitClicked);
    connect(searchButton, &QPushButton::clicked, this, &MainDialog::OnSearchClicked);
}

MainDialog::~MainDialog() = default;

// The frame of the selected index: its list, path, figures, status and the two
// buttons that start and stop a build.
void MainDialog::MakeIndexFrame() {
    m_frame1 = Place(new QGroupBox(this), "Frame1", Twips(480, 960, 6255, 4215));
    m_indexPath = Place(new QLineEdit(kUnknown, m_frame1), "IndexPath", Twips(1560, 960, 4455, 375));
    m_indexPath->setReadOnly(true);
    m_indexPath->setCursorPosition(0);
    m_status = Place(new QPlainTextEdit(QStringLiteral("(not active)"), m_frame1), "Status",
                     Twips(1560, 2040, 4215, 735));
    m_status->setReadOnly(true);
    m_status->setTabChangesFocus(true);
    m_startButton =
        MakeButton(m_frame1, "StartButton", QStringLiteral("Start Indexing"), Twips(360, 3240, 2505, 615));
    m_stopButton =
        MakeButton(m_frame1, "StopButton", QStringLiteral("Stop Indexing"), Twips(3240, 3240, 2500, 615));
    m_stopButton->setEnabled(false);
    m_indexCombo = Place(new QComboBox(m_frame1), "IndexCombo", Twips(1560, 480, 4215, 315));
    m_indexCombo->setEditable(false);
    m_numDocuments = MakeLabel(m_frame1, "NumDocuments", kUnknown, Twips(1560, 1680, 4455, 255));
    MakeLabel(m_frame1, "Label2", QStringLiteral("# Documents:"), Twips(360, 1680, 1095, 255));
    MakeLabel(m_frame1, "Label8", QStringLiteral("Indexing status:"), Twips(360, 2280, 1335, 255));
    MakeLabel(m_frame1, "Label4", QStringLiteral("Path:"), Twips(360, 960, 975, 255));
    MakeLabel(m_frame1, "Label6", QStringLiteral("Last built:"), Twips(360, 1320, 1095, 255));
    m_lastBuilt = MakeLabel(m_frame1, "LastBuilt", kUnknown, Twips(1560, 1320, 4455, 255));
    MakeLabel(m_frame1, "Label3", QStringLiteral("Index:"), Twips(360, 600, 1095, 255));
}

// ---- layout and lifecycle ------------------------------------------------------

void MainDialog::showEvent(QShowEvent* event) {
    if (!m_centred) {
        if (const QScreen* screen = QGuiApplication::primaryScreen())
            move(screen->availableGeometry().center() - rect().center());
        m_centred = true;
    }
    QDialog::showEvent(event);
}

void MainDialog::closeEvent(QCloseEvent* event) {
    // A running build must not lose its window; the refusal is silent.
    if (m_indexing) {
        event->ignore();
        return;
    }
    event->accept();
    if (m_loaded) {
        m_loaded = false;
        // Closed while a build is still running (during the propagation): the build
        // must still be able to show its outcome, so the program ends afterwards.
        if (m_buildDepth > 0)
            m_unloadPending = true;
        else
            Q_EMIT Unloaded();
    }
}

void MainDialog::keyPressEvent(QKeyEvent* event) {
    // The dialog has no Cancel button: Escape does not close it.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void MainDialog::OnExitClicked() {
    if (m_indexing) return;
    close();
}

void MainDialog::OnAboutClicked() {
    if (m_indexing) return;
    about::AboutDialog about;
    about.exec();
}

// ---- index list and selection -------------------------------------------------

void MainDialog::LoadIndexList(const component::IndexList& indexList) {
    // The list positions are 16-bit counters.
    if (indexList.size() > run::kMaxIndexes)
        throw component::Error(component::errnum::kOverflow, kProgramSource, QStringLiteral("Overflow"));
    m_indexList = indexList;
    // The combo box would select its first entry by itself; filling the list must
    // not change the selection.
    const int selected = m_indexCombo->currentIndex();
    const QSignalBlocker quiet(m_indexCombo);
    for (const component::IndexEntry& entry : m_indexList) m_indexCombo->addItem(entry.display);
    m_indexCombo->setCurrentIndex(selected);
}

bool MainDialog::SelectCurrentIndex(const QString& indexName) {
    bool found = false;
    for (qsizetype i = 0; i < m_indexList.size(); ++i) {
        if (m_indexList.at(i).name == indexName) {
            m_indexCombo->setCurrentIndex(static_cast<int>(i));
            found = true;
            break;
        }
    }
    if (!found) run::ReportIndexNotFound(indexName);
    return m_indexCombo->currentIndex() != -1;
}

void MainDialog::OnIndexComboChanged(int index) {
    if (index == -1) {
        m_indexPath->setText(kUnknown);
        m_lastBuilt->setText(kUnknown);
        m_numDocuments->setText(kUnknown);
        return;
    }
    const QString name = m_indexList.at(index).name;
    if (!run::LoadCurrentIndex(name)) {
        m_indexCombo->setCurrentIndex(-1);
        return;
    }
    const component::IndexConfiguration& configuration = *component::g_indexConfiguration;
    m_indexPath->setText(configuration.IndexPath());
    m_indexPath->setCursorPosition(0);
    m_lastBuilt->setText(configuration.LastBuilt());
    m_numDocuments->setText(configuration.NumDocuments());
}

// ---- build driver ---------------------------------------------------------------

void MainDialog::ShowAutomated() { setWindowTitle(windowTitle() + QStringLiteral(" (running automated)")); }

void MainDialog::ShowBusy() {
    m_startButton->setEnabled(false);
    m_stopButton->setEnabled(true);
    m_indexCombo->setEnabled(false);
    setCursor(Qt::WaitCursor);
}

void MainDialog::ShowIdle() {
    unsetCursor();
    m_startButton->setEnabled(true);
    m_stopButton->setEnabled(false);
    m_indexCombo->setEnabled(true);
}

void MainDialog::ShowResults(const QString& lastBuilt, const QString& numDocuments) {
    m_lastBuilt->setText(lastBuilt);
    m_numDocuments->setText(numDocuments);
}

void MainDialog::DoBuildIndex(bool automated) {
    if (automated) m_automatedFailed = true;  // until the build has succeeded
    {
        // Stop reaches the driver only while it exists, whatever way Run ends.
        run::BuildDriver driver(*this);
        const QScopedValueRollback<run::BuildDriver*> current(m_driver, &driver);
        const QScopedValueRollback<int> depth(m_buildDepth, m_buildDepth + 1);
        const bool succeeded = driver.Run(automated) == run::BuildDriver::Outcome::Succeeded;
        if (automated && succeeded) {
            m_automatedFailed = false;
            close();
        }
    }
    if (m_buildDepth == 0 && m_unloadPending) {
        m_unloadPending = false;
        Q_EMIT Unloaded();
    }
}

// ---- progress and cancellation ----------------------------------------------------

void MainDialog::OnStartClicked() {
    if (m_indexCombo->currentIndex() == -1) {
        platform::ShowMessage(QStringLiteral("No index selected, please select an index first"),
                              platform::kMbWarning);
        return;
    }
    DoBuildIndex(false);
}

void MainDialog::OnStopClicked() {
    if (platform::ShowMessage(QStringLiteral("Do you want to stop the indexing process"),
                              platform::kMbQuestion) == platform::kIdYes && m_driver)
        m_driver->Abort();
}

void MainDialog::UpdateStatus(const QString& statusText) {
    m_status->setPlainText(statusText);
    if (m_statusTrace) m_statusTrace->Update(statusText);
    QCoreApplication::processEvents();
}

void MainDialog::ProcessEvents() {
    QCoreApplication::processEvents();
}

// ---- user nodes -------------------------------------------------------------------

bool MainDialog::PopulateUserNodes(const QString& userID) {
    if (m_driver) return m_driver->PopulateUserNodes(userID);
    run::BuildDriver driver(*this);
    return driver.PopulateUserNodes(userID);
}

// ---- engine version and help ------------------------------------------------------

void MainDialog::OnEngineClicked() {
    if (m_indexing) return;
    const component::SearchEngine& engine = *component::g_searchEngine;
    const std::int16_t major = engine.MajorVersion();
    const std::int16_t minor = engine.MinorVersion();
    const std::int32_t build = engine.BuildNumber();
    platform::ShowMessage(maindialog::EngineVersionMessage(major, minor, build), platform::kMbInformation);
}

void MainDialog::OnSearchClicked() {
    if (m_indexing) return;
    if (m_indexCombo->currentIndex() == -1) {
        platform::ShowMessage(QStringLiteral("No index selected, please select an index first"),
                              platform::kMbWarning);
        return;
    }
    const component::IndexConfiguration& configuration = *component::g_indexConfiguration;
    search::SearchDialog search(component::g_searchEngine, configuration.IndexName(), configuration.IndexPath(), this);
    search.exec();
}

void MainDialog::OnHelpClicked() {
    if (m_indexing) return;
    platform::ShowMessage(maindialog::HelpText(), platform::kMbInformation);
}

}  // namespace maindialog
