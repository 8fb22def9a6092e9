// The figures of one build run, as the monitoring file of its index in the Prometheus
// text format (what node_exporter's textfile collector reads). No widgets: the build
// driver measures through this class and hands the file to the component to write.
#pragma once

#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>

#include "component/indexbuilder.h"
#include "component/propagator.h"
#include "component/metricsfile.h"

namespace metrics {

// What one run measured. Times are milliseconds; the run time is since the epoch.
struct RunFigures {
    std::int64_t runTimeMs = 0;      // when the run's outcome was known
    std::int64_t lastSuccessMs = 0;  // the last successful run's time; 0: none known
    bool success = false;
    std::int64_t documents = 0;  // documents in the index after the run, as the builder counts them
    std::int64_t buildMs = 0;
    std::int64_t userNodeMs = 0;
    std::int64_t users = 0;  // users whose USERNODE rows were rewritten
    std::int64_t propagationMs = 0;
    std::int64_t targetsFailed = 0;
    // Users with USERNODE rows the run never lists (no assignment left), whose old rows
    // stay; -1 when the run did not count them.
    std::int64_t unlistedUsers = -1;
    // The step a failed run stopped in ("build", "usernodes", ...); empty when it
    // succeeded or the step is not known.
    QString failedStep;
    component::BuildReport build;              // how the index was built, with its counts
    QList<component::TargetBytes> bytesSent;  // per target copied
};

// "lumora_index_<name>.prom". Characters other than ASCII letters, digits, '_', '-'
// and '.' are written as '%' and two hexadecimal digits per UTF-8 byte, so every
// index gets a file of its own that no path separator can move elsewhere.
QString FileName(const QString& indexName);

// A label value as the text format carries it: backslash, double quote and line feed
// escaped as \\, \" and \n.
QString EscapeLabelValue(const QString& value);

// The text of the file: each gauge with its # HELP and # TYPE lines, labelled
// index="<name>"; the failed step also carries step="<step>" ("none" after a success).
QByteArray MetricsText(const QString& indexName, const RunFigures& figures);

// The last success time (milliseconds) that a file written earlier holds; nothing
// when it holds none, or 0, or a value that is not a time.
std::optional<std::int64_t> LastSuccessOf(const QByteArray& text);

// Measures one run. The clocks may be replaced (tests); by default the wall clock
// gives the run time and a monotonic clock the durations.
class BuildMetrics {
public:
    enum Phase { kBuild, kUserNodes, kPropagation, kPhaseCount };
    using Clock = std::function<std::int64_t()>;  // milliseconds

    BuildMetrics();
    BuildMetrics(Clock wallMs, Clock monotonicMs);

    // A phase's duration is the time between its Begin and its End; a phase begun
    // and never ended (the run ended early) counts up to the end of the run.
    void Begin(Phase phase);
    void End(Phase phase);
    void SetDocuments(std::int64_t documents) { m_documents = documents; }
    void SetUsers(std::int64_t users) { m_users = users; }
    void SetTargetsFailed(std::int64_t targets) { m_targetsFailed = targets; }
    void SetUnlistedUsers(qint64 users) { m_unlistedUsers = users; }
    // Kept only when the run fails.
    void SetFailedStep(const QString& step) { m_failedStep = step; }
    void SetBuildReport(const component::BuildReport& report) { m_build = report; }
    void SetBytesSent(const QList<component::TargetBytes>& bytes) { m_bytesSent = bytes; }

    // The figures of the run ending now. The last success is this run's time when it
    // succeeded, else the one the previous file holds (0 when it holds none).
    RunFigures Finish(bool success, const QByteArray& previousFile) const;

    // Writes the monitoring file of indexName into folder through the component's
    // MetricsFile. Returns the empty text when written, else the reason it was not
    // (the build's outcome does not depend on it). Raises nothing.
    QString Publish(const QString& folder, const QString& indexName, bool success) const noexcept;

private:
    Clock m_wallMs;
    Clock m_monotonicMs;
    std::array<std::optional<std::int64_t>, kPhaseCount> m_begun{};
    std::array<std::int64_t, kPhaseCount> m_elapsed{};
    std::int64_t m_documents = 0;
    std::int64_t m_users = 0;
    std::int64_t m_targetsFailed = 0;
    std::int64_t m_unlistedUsers = -1;
    QString m_failedStep;
    component::BuildReport m_build;
    QList<component::TargetBytes> m_bytesSent;
};

}  // namespace metrics
