// One complete build of the current index.
#include "run/builddriver.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QLocale>

#include "component/factory.h"
#include "component/texts.h"
#include "metrics/buildmetrics.h"
#include "platform/headless.h"
#include "platform/messagebox.h"
#include "usernodes/usernodes.h"
#include "component/globals.h"
#include "report/report.h"

namespace run {
namespace {
using component::kCrLf;
using component::kProgramSource;

component::IndexConfiguration& Configuration() { return *component::g_indexConfiguration; }

}  // namespace

void TraceView::UpdateStatus(const QString& statusText) {
    if (platform::StatusTrace* trace = platform::StatusTrace::Active()) trace->Update(statusText);
    QCoreApplication::processEvents();
}

void TraceView::ProcessEvents() { QCoreApplication::processEvents(); }

BuildDriver::BuildDriver(BuildView& view) : m_view(view) {}

BuildDriver::Outcome BuildDriver::Run(bool automated) {
    // Every run leaves its figures for monitoring, also one that ends early.
    metrics::BuildMetrics runMetrics;
    m_step = QStringLiteral("datasources");
    try {
        return RunSteps(automated, runMetrics);
    } catch (const std::exception& e) {
        m_view.SetIndexing(false);
        Restore();
        runMetrics.SetFailedStep(m_step);
        PublishMetrics(runMetrics, false);
        report::ReportErrorAbsorbed(component::AsError(e, kProgramSource));
        return Outcome::Failed;
    }
}

BuildDriver::Outcome BuildDriver::RunSteps(bool automated, metrics::BuildMetrics& runMetrics) {
    if (automated) m_view.ShowAutomated();
    m_settings = Configuration().Settings();
    const Sources sources = LookUpDataSources();
    if (sources.connection.isEmpty())
        throw component::Error(component::errnum::kAppBase, kProgramSource, component::kNoDataSourceText);
    m_step = QStringLiteral("build");
    ConfigureBuilder(sources);
    m_view.ShowBusy();

    const bool indexBuilt = BuildIndex(runMetrics);
    m_step = QStringLiteral("usernodes");
    const bool usersDone = PopulateAllUserNodes(sources, runMetrics);
    m_step = QStringLiteral("propagation");
    bool copied = true;
    if (indexBuilt && usersDone && !m_settings.targets.isEmpty()) copied = PropagateToTargets(runMetrics);
    const bool built = indexBuilt && copied;
    // The first step that failed is the one the run stopped in.
    runMetrics.SetFailedStep(!indexBuilt ? QStringLiteral("build")
                             : !usersDone ? QStringLiteral("usernodes")
                                          : QStringLiteral("propagation"));
    m_step = QStringLiteral("results");

    const QString lastBuilt = GeneralDateText();
    const std::int32_t documents = m_indexBuilder->DocumentCount();
    const QString numDocuments = QString::number(documents);
    const bool aborted = IsAborted();
    runMetrics.SetDocuments(documents);

    Restore();
    const bool succeeded = built && usersDone;
    // Before any message: a run without a display ends with its failure message.
    PublishMetrics(runMetrics, succeeded);
    if (!succeeded) {
        platform::ShowMessage(aborted ? QStringLiteral("Indexing aborted")
                                      : QStringLiteral("Problems occurred during the indexing process."),
                              platform::kMbWarning);
        return Outcome::Failed;
    }
    WriteResults(lastBuilt, numDocuments);
    if (!automated) platform::ShowMessage(QStringLiteral("Index was built OK"), platform::kMbInformation);
    return Outcome::Succeeded;
}

BuildDriver::Sources BuildDriver::LookUpDataSources() const {
    component::IndexConfiguration& configuration = Configuration();
    std::shared_ptr<component::IndexingServices> services = component::Factory().NewIndexingServices();
    // Each value is read into its own local first, so the reads happen in the order
    // stated here and not in the compiler's order of argument evaluation.
    Sources sources;
    sources.resolved = services->ResolveDataSource(m_settings.dataSource, configuration.DbDataSources());
    const QString setting1 = configuration.DbSetting1();
    const QString setting2 = configuration.DbSetting2();
    const component::DataSourceList dataSources = configuration.DbDataSources();
    const QString primary =
        services->GetConnectionString(setting1, setting2, QStringLiteral("Primary"), dataSources);
    sources.userNodes =
        services->GetConnectionString(setting1, setting2, QStringLiteral("RAdozudo"), dataSources);
    sources.connection = primary.isEmpty() ? sources.userNodes : primary;
    return sources;
}

void BuildDriver::ConfigureBuilder(const Sources& sources) {
    m_indexBuilder = component::Factory().NewIndexBuilder();
    // A data source the index names takes the place of the catalog's connection.
    m_indexBuilder->Configure(&m_view, component::g_searchEngine, m_settings,
                              sources.resolved.isEmpty() ? sources.connection : sources.resolved);
}

bool BuildDriver::BuildIndex(metrics::BuildMetrics& runMetrics) {
    bool built = false;
    runMetrics.Begin(metrics::BuildMetrics::kBuild);
    try {
        m_view.SetIndexing(true);
        built = m_indexBuilder->Build();
        m_view.SetIndexing(false);
        if (built) runMetrics.SetBuildReport(m_indexBuilder->LastBuild());
    } catch (const std::exception& e) {
        m_view.SetIndexing(false);
        built = false;
        // The time a person takes to read the report is not the build's.
        runMetrics.End(metrics::BuildMetrics::kBuild);
        report::ReportErrorAbsorbed(component::AsError(e, kProgramSource));
    }
    runMetrics.End(metrics::BuildMetrics::kBuild);
    return built;
}

bool BuildDriver::PopulateAllUserNodes(const Sources& sources, metrics::BuildMetrics& runMetrics) {
    runMetrics.Begin(metrics::BuildMetrics::kUserNodes);
    usernodes::UserNodeRun userNodes({m_settings.userNodeMethod, sources.userNodes}, [this] { Abort(); });
    const bool done = userNodes.PopulateAllUserNodes();
    runMetrics.End(metrics::BuildMetrics::kUserNodes);
    runMetrics.SetUsers(userNodes.UsersRewritten());
    runMetrics.SetUnlistedUsers(userNodes.UnlistedUsers());
    if (!done) LogUserNodeFailure(userNodes.FailureReason());
    return done;
}

bool BuildDriver::PropagateToTargets(metrics::BuildMetrics& runMetrics) {
    bool copied = false;
    const QStringList& targets = m_settings.targets;
    std::shared_ptr<component::IndexPropagator> propagator = component::Factory().NewIndexPropagator();
    propagator->SetStatusHandler(&m_view);
    runMetrics.Begin(metrics::BuildMetrics::kPropagation);
    try {
        copied = propagator->Propagate(m_settings);
        runMetrics.SetTargetsFailed(copied ? 0 : propagator->FailedTargets());
        runMetrics.SetBytesSent(propagator->BytesSent());
    } catch (const std::exception&) {
        copied = false;  // the warning below stands for it
        runMetrics.SetTargetsFailed(targets.size());
    }
    runMetrics.End(metrics::BuildMetrics::kPropagation);
    propagator.reset();
    if (!copied) {
        platform::ShowMessage(QStringLiteral("The index was built OK, but one or more propagations failed.") +
                                  kCrLf + QStringLiteral("For more information, see the system log."),
                              platform::kMbWarning);
    }
    return copied;
}

void BuildDriver::LogUserNodeFailure(const QString& reason) noexcept {
    // Boxes and status texts stay as they are; the reason goes to the event log only,
    // where an administrator of a scheduled run finds it.
    try {
        report::LogEvent(reason, 1);
    } catch (const std::exception&) {
        // The run's outcome stands whether or not its reason could be logged.
    }
}

void BuildDriver::WriteResults(const QString& lastBuilt, const QString& numDocuments) {
    component::IndexConfiguration& configuration = Configuration();
    try {
        configuration.SetLastBuilt(lastBuilt);
        configuration.SetNumDocuments(numDocuments);
    } catch (const std::exception& e) {
        component::Error error = component::AsError(e, kProgramSource);
        error.SetDescription(QStringLiteral("Unable to write results to config file:") + kCrLf +
                             error.Description());
        report::ReportErrorAbsorbed(error);
    }
    m_view.ShowResults(lastBuilt, numDocuments);
}

void BuildDriver::Restore() {
    m_view.ShowIdle();
    m_indexBuilder.reset();
}

void BuildDriver::PublishMetrics(const metrics::BuildMetrics& runMetrics, bool succeeded) noexcept {
    try {
        const component::IndexConfiguration& configuration = Configuration();
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

void BuildDriver::Abort() {
    if (m_indexBuilder) m_indexBuilder->SetAborted(true);
}

bool BuildDriver::IsAborted() const { return m_indexBuilder ? m_indexBuilder->Aborted() : false; }

bool BuildDriver::PopulateUserNodes(const QString& userID) {
    std::shared_ptr<component::IndexingServices> services = component::Factory().NewIndexingServices();
    usernodes::UserNodeRun userNodes(usernodes::ReadRunSettings(Configuration(), *services),
                                     [this] { Abort(); });
    return userNodes.PopulateUserNodes(userID);
}

QString GeneralDateText() {
    const QLocale locale = QLocale::system();
    const QDateTime now = QDateTime::currentDateTime();
    // The long time format of some locales ends in the zone name, which the general
    // date format does not show.
    QString timeFormat = locale.timeFormat(QLocale::LongFormat);
    timeFormat.remove(QStringLiteral(" t")).remove(QLatin1Char('t'));
    return locale.toString(now.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
           locale.toString(now.time(), timeFormat.trimmed());
}

}  // namespace run
