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
#include <QScreen>
#include <QShowEvent>
#include <QSignalBlocker>

#include "about/aboutdialog.h"
#include "component/factory.h"
#include "maindialog/artwork.h"
#include "search/searchdialog.h"
#include "maindialog/texts.h"
#include "metrics/buildmetrics.h"
#include "usernodes/usernodes.h"
#include "component/texts.h"
#include "platform/headless.h"
#include "platform/messagebox.h"
#include "platform/dialoglayout.h"
#include "component/globals.h"
#include "report/report.h"

namespace maindialog {

namespace {
using component::kCrLf;
const QString kUnknown = QStringLiteral("(unknown)");
// Errors the dialog raises itself carry the program's name as their source.
const QString kDialogSource = QStringLiteral("TessalyIndexManager");

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

    m_picture1 = Place(new QLabel(this), "Picture1", Twips(9480, 240, 1215, 855));
    m_picture1->setPixmap(maindialog::LogoPixmap());
    m_picture1->setAlignment(Qt::AlignCenter);
    m_aboutButton = MakeButton(this, "AboutButton", QStringLiteral("About"), Twips(7200, 2520, 1935, 495));

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

    m_helpButton = MakeButton(this, "HelpButton", QStringLiteral("Help"), Twips(7200, 1800, 1935, 495));
    m_engineButton =
        MakeButton(this, "EngineButton", QStringLiteral("Engine Version"), Twips(7200, 1080, 1935, 495));
    m_exitButton = MakeButton(this, "ExitButton", QStringLiteral("Exit"), Twips(7200, 4680, 1935, 495));
    m_searchButton =
        MakeButton(this, "SearchButton", QStringLiteral("Search Index"), Twips(7200, 3240, 1935, 495));
    QLabel* title = MakeLabel(this, "Label1", platform::ApplicationTitle(), Twips(480, 240, 5535, 495));
    QFont titleFont = platform::DialogFont(18);
    titleFont.setItalic(true);
    titleFont.setWeight(QFont::Normal);
    title->setFont(titleFont);

    // Keyboard focus follows the tab indexes: combo box, Start, Stop, Engine Version,
    // Help, About, Search Index, Exit, then the two text fields.
    const QList<QWidget*> tabOrder = {m_indexCombo, m_startButton, m_stopButton,   m_engineButton,
                                      m_helpButton, m_aboutButton, m_searchButton, m_exitButton,
                                      m_status,     m_indexPath};
    for (qsizetype i = 1; i < tabOrder.size(); ++i) setTabOrder(tabOrder.at(i - 1), tabOrder.at(i));
    for (QPushButton* button : {m_aboutButton, m_startButton, m_stopButton, m_helpButton, m_engineButton,
                                m_searchButton, m_exitButton})
        button->setAutoDefault(false);
    m_indexCombo->setFocus();

    connect(m_indexCombo, &QComboBox::currentIndexChanged, this, &MainDialog::OnIndexComboChanged);
    connect(m_startButton, &QPushButton::clicked, this, &MainDialog::OnStartClicked);
    connect(m_stopButton, &QPushButton::clicked, this, &MainDialog::OnStopClicked);
    connect(m_engineButton, &QPushButton::clicked, this, &MainDialog::OnEngineClicked);
    connect(m_helpButton, &QPushButton::clicked, this, &MainDialog::OnHelpClicked);
    connect(m_aboutButton, &QPushButton::clicked, this, &MainDialog::OnAboutClicked);
    connect(m_exitButton, &QPushButton::clicked, this, &MainDialog::OnExitClicked);
    connect(m_searchButton, &QPushButton::clicked, this, &MainDialog::OnSearchClicked);
}

MainDialog::~MainDialog() = default;

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
    if (indexList.size() > 32767)
        throw component::Error(component::errnum::kOverflow, kDialogSource, QStringLiteral("Overflow"));
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
    if (!found) {
        platform::ShowMessage(QStringLiteral("Unable to load index (") + indexName + QStringLiteral("):") +
                                  kCrLf + QStringLiteral("Index not found in configuration file."),
                              platform::kMbInformation);
    }
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
    component::IndexConfiguration& configuration = *component::g_indexConfiguration;
    try {
        configuration.LoadIndex(name);
    } catch (const std::exception& e) {
        component::Error error = component::AsError(e, kDialogSource);
        error.SetDescription(QStringLiteral("Unable to load index (") + name + QStringLiteral("):") + kCrLf +
                             error.Description());
        report::ReportErrorAbsorbed(error);
        m_indexCombo->setCurrentIndex(-1);
        return;
    }
    m_indexPath->setText(configuration.IndexPath());
    m_indexPath->setCursorPosition(0);
    m_lastBuilt->setText(configuration.LastBuilt());
    m_numDocuments->setText(configuration.NumDocuments());
}

// ---- build driver ---------------------------------------------------------------

void MainDialog::SetBusy() {
    m_startButton->setEnabled(false);
    m_stopButton->setEnabled(true);
    m_indexCombo->setEnabled(false);
    setCursor(Qt::WaitCursor);
}

void MainDialog::RestoreControls() {
    unsetCursor();
    m_startButton->setEnabled(true);
    m_stopButton->setEnabled(false);
    m_indexCombo->setEnabled(true);
    m_indexBuilder.reset();
}

void MainDialog::DoBuildIndex(bool automated) {
    ++m_buildDepth;
    DoBuildIndexSteps(automated);
    if (--m_buildDepth == 0 && m_unloadPending) {
        m_unloadPending = false;
        Q_EMIT Unloaded();
    }
}

void MainDialog::DoBuildIndexSteps(bool automated) {
    if (automated) m_automatedFailed = true;  // until the build has succeeded
    // Every run leaves its figures for monitoring, also one that ends early.
    metrics::BuildMetrics runMetrics;
    try {
        if (automated) setWindowTitle(windowTitle() + QStringLiteral(" (running automated)"));
        component::IndexConfiguration& configuration = *component::g_indexConfiguration;

        // Each value is read into its own local first, so the reads happen in the
        // order stated here and not in the compiler's order of argument evaluation.
        QString sResolvedSource;
        QString sConnection;
        {
            std::shared_ptr<component::IndexingServices> services =
                component::Factory().NewIndexingServices();
            const QString dataSource = configuration.IndexDataSource();
            sResolvedSource = services->ResolveDataSource(dataSource, configuration.DbDataSources());
            QString setting1 = configuration.DbSetting1();
            QString setting2 = configuration.DbSetting2();
            sConnection = services->GetConnectionString(setting1, setting2, QStringLiteral("Primary"),
                                                        configuration.DbDataSources());
            if (sConnection.isEmpty()) {
                setting1 = configuration.DbSetting1();
                setting2 = configuration.DbSetting2();
                sConnection = services->GetConnectionString(setting1, setting2, QStringLiteral("RAdozudo"),
                                                            configuration.DbDataSources());
            }
        }
        if (sConnection.isEmpty()) {
            throw component::Error(
                component::errnum::kAppBase, kDialogSource,
                component::kNoDataSourceText);
        }

        m_indexBuilder = component::Factory().NewIndexBuilder();
        const QString indexName = configuration.IndexName();
        const QString indexPath = configuration.IndexPath();
        const QString setting3 = configuration.IndexSetting3();
        const QString setting2 = configuration.IndexSetting2();
        const QString setting4 = configuration.IndexSetting4();
        const QString setting1 = configuration.IndexSetting1();
        m_indexBuilder->Configure(this, component::g_searchEngine, indexName, indexPath, sResolvedSource,
                                   sConnection, setting3, setting2, setting4, setting1);
        m_indexBuilder->SetVerify(configuration.Verify());
        m_indexBuilder->SetBuildMode(configuration.GetBuildMode());

        SetBusy();

        bool bOK = false;
        runMetrics.Begin(metrics::BuildMetrics::kBuild);
        try {
            m_indexing = true;
            bOK = m_indexBuilder->Build();
            m_indexing = false;
            if (bOK) runMetrics.SetBuildReport(m_indexBuilder->LastBuild());
        } catch (const std::exception& e) {
            m_indexing = false;
            bOK = false;
            // The time a person takes to read the report is not the build's.
            runMetrics.End(metrics::BuildMetrics::kBuild);
            report::ReportErrorAbsorbed(component::AsError(e, kDialogSource));
        }
        runMetrics.End(metrics::BuildMetrics::kBuild);

        runMetrics.Begin(metrics::BuildMetrics::kUserNodes);
        qint64 users = 0;
        const bool bUsersOK = PopulateAllUserNodes(&users);
        runMetrics.End(metrics::BuildMetrics::kUserNodes);
        runMetrics.SetUsers(users);

        if (bOK && bUsersOK && !configuration.Propagations().isEmpty()) {
            bOK = false;
            const QString path = configuration.IndexPath();
            const QStringList targets = configuration.Propagations();
            std::shared_ptr<component::IndexPropagator> propagator =
                component::Factory().NewIndexPropagator();
            propagator->SetStatusHandler(this);
            runMetrics.Begin(metrics::BuildMetrics::kPropagation);
            try {
                bOK = propagator->Propagate(path, targets);
                runMetrics.SetTargetsFailed(bOK ? 0 : propagator->FailedTargets());
                runMetrics.SetBytesSent(propagator->BytesSent());
            } catch (const std::exception&) {
                bOK = false;  // the warning below stands for it
                runMetrics.SetTargetsFailed(targets.size());
            }
            runMetrics.End(metrics::BuildMetrics::kPropagation);
            propagator.reset();
            if (!bOK) {
                platform::ShowMessage(
                    QStringLiteral("The index was built OK, but one or more propagations failed.") + kCrLf +
                        QStringLiteral("For more information, see the Windows Event Log."),
                    platform::kMbWarning);
            }
        }

        const QString sLastBuilt = maindialog::GeneralDateText();
        const std::int32_t documents = m_indexBuilder->DocumentCount();
        const QString sNumDocuments = QString::number(documents);
        const bool bAborted = IsBuildAborted();
        runMetrics.SetDocuments(documents);

        RestoreControls();
        // Before any message: a headless automated run ends with its failure message.
        PublishMetrics(runMetrics, bOK && bUsersOK);

        if (bOK && bUsersOK) {
            try {
                configuration.SetLastBuilt(sLastBuilt);
                configuration.SetNumDocuments(sNumDocuments);
            } catch (const std::exception& e) {
                component::Error error = component::AsError(e, kDialogSource);
                error.SetDescription(QStringLiteral("Unable to write results to config file:") + kCrLf +
                                     error.Description());
                report::ReportErrorAbsorbed(error);
            }
            m_lastBuilt->setText(sLastBuilt);
            m_numDocuments->setText(sNumDocuments);
            if (automated) {
                m_automatedFailed = false;
                close();
                return;
            }
            platform::ShowMessage(QStringLiteral("Index was built OK"), platform::kMbInformation);
        } else {
            platform::ShowMessage(bAborted ? QStringLiteral("Indexing aborted")
                                           : QStringLiteral("Problems occurred during the indexing process."),
                                  platform::kMbWarning);
        }
    } catch (const std::exception& e) {
        m_indexing = false;
        RestoreControls();
        PublishMetrics(runMetrics, false);
        report::ReportErrorAbsorbed(component::AsError(e, kDialogSource));
    }
}

void MainDialog::PublishMetrics(const metrics::BuildMetrics& runMetrics, bool succeeded) noexcept {
    try {
        const component::IndexConfiguration& configuration = *component::g_indexConfiguration;
        const QString folder = configuration.MetricsDirectory();
        if (folder.isEmpty()) return;
        const QString failure = runMetrics.Publish(folder, configuration.IndexName(), succeeded);
        // Monitoring that cannot be written is worth a log entry, never a change of
        // the build's outcome.
        if (!failure.isEmpty()) report::LogEvent(failure, 1);
    } catch (const std::exception&) {
        // Not even the event log could be written; the outcome that follows still stands.
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
                              platform::kMbQuestion) == platform::kIdYes)
        AbortBuild();
}

void MainDialog::AbortBuild() {
    if (m_indexBuilder) m_indexBuilder->SetAborted(true);
}

bool MainDialog::IsBuildAborted() const {
    return m_indexBuilder ? m_indexBuilder->Aborted() : false;
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
    usernodes::UserNodePropagation propagation(*component::g_indexConfiguration, [this] { AbortBuild(); });
    return propagation.PopulateUserNodes(userID);
}

bool MainDialog::PopulateAllUserNodes(qint64* o_users) {
    usernodes::UserNodePropagation propagation(*component::g_indexConfiguration, [this] { AbortBuild(); });
    const bool result = propagation.PopulateAllUserNodes();
    if (o_users) *o_users = propagation.UsersRewritten();
    return result;
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
