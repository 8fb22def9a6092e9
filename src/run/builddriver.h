// One complete build of the current index, with no widget: data sources, the index
// build, the user nodes, the copies to the targets, the monitoring file and the
// write-back of the results. The main dialog and the scheduled run both use it.
#pragma once

#include "component/indexbuilder.h"
#include "run/buildview.h"

#include <QString>
#include <memory>

namespace metrics {
class BuildMetrics;
}

namespace run {

class BuildDriver {
public:
    enum class Outcome { Succeeded, Failed };

    // The view must outlive the driver.
    explicit BuildDriver(BuildView& view);

    // Runs one build of the configuration's current index and reports every outcome
    // itself (message boxes, error reports, event log). Raises nothing. An automated
    // run that succeeds shows no message: its caller ends the program.
    Outcome Run(bool automated);
    // Marks the running build aborted; nothing when no build runs.
    void Abort();
    bool IsAborted() const;
    // Rewrites one user's USERNODE rows; false (and the build marked aborted) on failure.
    bool PopulateUserNodes(const QString& userID);

private:
    // The data sources of a run, each looked up once.
    struct Sources {
        QString resolved;    // the index's own (<IndexDataSource>)
        QString connection;  // "Primary", else "RAdozudo"
        QString userNodes;   // "RAdozudo"
    };
    Outcome RunSteps(bool automated, metrics::BuildMetrics& runMetrics);
    Sources LookUpDataSources() const;
    void ConfigureBuilder(const Sources& sources);
    bool BuildIndex(metrics::BuildMetrics& runMetrics);
    bool PopulateAllUserNodes(const Sources& sources, metrics::BuildMetrics& runMetrics);
    void LogUserNodeFailure(const QString& reason) noexcept;
    bool PropagateToTargets(metrics::BuildMetrics& runMetrics);
    void WriteResults(const QString& lastBuilt, const QString& numDocuments);
    void Restore();
    void PublishMetrics(const metrics::BuildMetrics& runMetrics, bool succeeded) noexcept;

    BuildView& m_view;
    // The current index's settings, read once at the start of a run.
    component::IndexSettings m_settings;
    std::shared_ptr<component::IndexBuilder> m_indexBuilder;
    // The step the run is in, for the monitoring file of a run that ends early.
    QString m_step;
};

// The local date and time in the general date format (short date, long time).
QString GeneralDateText();

}  // namespace run
