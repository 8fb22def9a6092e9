// The figures of one build run in the Prometheus text format.
#include "metrics/buildmetrics.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <cmath>

#include "component/factory.h"
#include "component/texts.h"

namespace metrics {

namespace {

const char kLastSuccess[] = "lumora_index_last_success_timestamp_seconds";

// Milliseconds as seconds with three decimals; the text format takes any float.
QByteArray Seconds(std::int64_t ms) {
    if (ms < 0) ms = 0;
    return QByteArray::number(ms / 1000) + '.' + QByteArray::number(ms % 1000).rightJustified(3, '0');
}

struct Gauge {
    const char* name;
    const char* help;
    QByteArray value;
    QByteArray labels = {};  // behind index="..."
    bool counted = true;     // false: the run did not count it, so it is left out rather than shown as 0
};

}  // namespace

QString FileName(const QString& indexName) {
    QString name = QStringLiteral("lumora_index_");
    for (const char byte : indexName.toUtf8()) {
        const auto c = static_cast<unsigned char>(byte);
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
            c == '-' || c == '.') {
            name += QLatin1Char(char(c));
        } else {
            name += QStringLiteral("%%1").arg(c, 2, 16, QLatin1Char('0')).toUpper();
        }
    }
    return name + QStringLiteral(".prom");
}

QString EscapeLabelValue(const QString& value) {
    QString escaped;
    escaped.reserve(value.size());
    for (const QChar c : value) {
        if (c == u'\\') {
            escaped += QLatin1StringView("\\\\");
        } else if (c == u'"') {
            escaped += QLatin1StringView("\\\"");
        } else if (c == u'\n') {
            escaped += QLatin1StringView("\\n");
        } else {
            escaped += c;
        }
    }
    return escaped;
}

namespace {

// The store targets' figures, one sample each per target that published: objects
// uploaded, the version `current` names, and 1 when that was a whole file, 0 a pack.
// `index` is the label set's opening, as the other per-target samples have it.
QByteArray StoreGauges(const RunFigures& f, const QByteArray& index) {
    const std::pair<const char*, const char*> gauges[] = {
        {"lumora_index_store_objects_uploaded", "Objects the last run uploaded to each store target."},
        {"lumora_index_store_version",
         "The version each store target's current object names after the last run."},
        {"lumora_index_store_published_whole",
         "1 when the last run published the whole file to a store target, 0 when a pack of changed pages."},
    };
    QByteArray text;
    for (int g = 0; g < 3; ++g) {
        QByteArray samples;
        for (const auto& t : f.bytesSent) {
            if (!t.published) continue;
            const std::int64_t value = g == 0   ? t.published->objects
                                       : g == 1 ? t.published->version
                                                : (t.published->whole ? 1 : 0);
            samples += QByteArray(gauges[g].first) + index + ",target=\"" +
                       EscapeLabelValue(t.target).toUtf8() + "\"} " + QByteArray::number(qint64(value)) +
                       '\n';
        }
        if (samples.isEmpty()) return text;
        text += QByteArray("# HELP ") + gauges[g].first + ' ' + gauges[g].second + "\n# TYPE " +
                gauges[g].first + " gauge\n" + samples;
    }
    return text;
}

// The gauges that are there only when there is something to say: why a build of
// the changes built in full, the bytes sent to each target.
QByteArray ReasonAndTargetGauges(const RunFigures& f, const QByteArray& index) {
    QByteArray text;
    if (!f.build.fullBuildReason.isEmpty()) {
        const QByteArray name = "lumora_index_built_in_full_because";
        text += "# HELP " + name +
                " 1, labelled with the reason, when an index in the mode \"changes\" was built in full.\n";
        text += "# TYPE " + name + " gauge\n";
        text += name + index + ",reason=\"" + EscapeLabelValue(f.build.fullBuildReason).toUtf8() + "\"} 1\n";
    }
    if (!f.bytesSent.isEmpty()) {
        const QByteArray name = "lumora_index_target_bytes_sent";
        text += "# HELP " + name +
                " Bytes the last run sent to each propagation target (over the link for a target on another "
                "machine).\n";
        text += "# TYPE " + name + " gauge\n";
        for (const auto& t : f.bytesSent)
            text += name + index + ",target=\"" + EscapeLabelValue(t.target).toUtf8() + "\"} " +
                    QByteArray::number(qint64(t.sent)) + '\n';
    }
    return text;
}

}  // namespace

QByteArray MetricsText(const QString& indexName, const RunFigures& f) {
    const Gauge gauges[] = {
        {"lumora_index_last_run_timestamp_seconds",
         "Time the last build run of the index ended, in seconds since the epoch.", Seconds(f.runTimeMs)},
        {kLastSuccess,
         "Time the last successful build run of the index ended, in seconds since the epoch (0: none known).",
         Seconds(f.lastSuccessMs)},
        {"lumora_index_last_run_success", "1 when the last build run of the index succeeded, else 0.",
         f.success ? "1" : "0"},
        {"lumora_index_documents",
         "Documents in the index after the last run (a failed build leaves the live index as it was; 0 when "
         "the run did not get to the index).",
         QByteArray::number(qint64(f.documents))},
        {"lumora_index_build_seconds", "Seconds the last run spent building the index.", Seconds(f.buildMs)},
        {"lumora_index_usernode_seconds", "Seconds the last run spent recomputing the USERNODE rows.",
         Seconds(f.userNodeMs)},
        {"lumora_index_usernode_users", "Users whose USERNODE rows the last run rewrote.",
         QByteArray::number(qint64(f.users))},
        {"lumora_index_propagation_seconds",
         "Seconds the last run spent copying the index to its propagation targets.",
         Seconds(f.propagationMs)},
        {"lumora_index_targets_failed", "Propagation targets the last run could not update.",
         QByteArray::number(qint64(f.targetsFailed))},
        {"lumora_index_last_run_failed_step",
         "1 for the step the last run failed in (build, usernodes, propagation, ...); "
         "step=\"none\" and 0 after a success or when the step is not known.",
         f.success || f.failedStep.isEmpty() ? "0" : "1",
         ",step=\"" +
             EscapeLabelValue(f.success || f.failedStep.isEmpty() ? QStringLiteral("none") : f.failedStep)
                 .toUtf8() +
             '"'},
        {"lumora_index_usernode_unlisted_users",
         "Users with USERNODE rows but no catalog assignment, whose old rows the last run left in place.",
         QByteArray::number(qint64(f.unlistedUsers)),
         {},
         f.unlistedUsers >= 0},
        {"lumora_index_build_applied_changes",
         "1 when the last build applied only the changes to a copy of the live index, 0 for a full build.",
         f.build.mode == component::BuildMode::Changes ? "1" : "0"},
        {"lumora_index_documents_added", "Documents the last build added (a full build adds every one).",
         QByteArray::number(qint64(f.build.added))},
        {"lumora_index_documents_replaced", "Documents the last build replaced because they changed.",
         QByteArray::number(qint64(f.build.replaced))},
        {"lumora_index_documents_deleted",
         "Documents the last build deleted because the source no longer has them.",
         QByteArray::number(qint64(f.build.deleted))},
    };
    const QByteArray index = "{index=\"" + EscapeLabelValue(indexName).toUtf8() + '"';
    QByteArray text;
    for (const Gauge& g : gauges) {
        if (!g.counted) continue;
        text += QByteArray("# HELP ") + g.name + ' ' + g.help + '\n';
        text += QByteArray("# TYPE ") + g.name + " gauge\n";
        text += g.name + index + g.labels + "} " + g.value + '\n';
    }
    text += ReasonAndTargetGauges(f, index);
    text += StoreGauges(f, index);
    return text;
}

std::optional<std::int64_t> LastSuccessOf(const QByteArray& text) {
    const QByteArray name(kLastSuccess);
    for (const QByteArray& line : text.split('\n')) {
        if (!line.startsWith(name)) continue;
        qsizetype at = name.size();
        if (at < line.size() && line[at] == '{') {
            // Label values are quoted and may hold '}' and escaped quotes.
            bool quoted = false;
            for (++at; at < line.size(); ++at) {
                const char c = line[at];
                if (quoted && c == '\\') {
                    ++at;
                } else if (c == '"') {
                    quoted = !quoted;
                } else if (!quoted && c == '}') {
                    break;
                }
            }
            if (at >= line.size()) continue;
            ++at;
        }
        if (at >= line.size() || (line[at] != ' ' && line[at] != '\t')) continue;  // another metric's name
        const QList<QByteArray> rest = line.mid(at).simplified().split(' ');
        bool ok = false;
        const double seconds = rest.value(0).toDouble(&ok);
        if (!ok || !std::isfinite(seconds) || seconds <= 0 || seconds > 1e13) return std::nullopt;
        return std::llround(seconds * 1000);
    }
    return std::nullopt;
}

BuildMetrics::BuildMetrics()
    : BuildMetrics([] { return QDateTime::currentMSecsSinceEpoch(); },
                   [] {
                       static QElapsedTimer timer = [] {
                           QElapsedTimer t;
                           t.start();
                           return t;
                       }();
                       return timer.elapsed();
                   }) {}

BuildMetrics::BuildMetrics(Clock wallMs, Clock monotonicMs)
    : m_wallMs(std::move(wallMs)), m_monotonicMs(std::move(monotonicMs)) {}

void BuildMetrics::Begin(Phase phase) {
    m_begun[phase] = m_monotonicMs();
}

void BuildMetrics::End(Phase phase) {
    if (!m_begun[phase]) return;
    m_elapsed[phase] += m_monotonicMs() - *m_begun[phase];
    m_begun[phase].reset();
}

RunFigures BuildMetrics::Finish(bool success, const QByteArray& previousFile) const {
    RunFigures f;
    f.runTimeMs = m_wallMs();
    f.success = success;
    f.lastSuccessMs = success ? f.runTimeMs : LastSuccessOf(previousFile).value_or(0);
    f.documents = m_documents;
    f.users = m_users;
    f.targetsFailed = m_targetsFailed;
    f.unlistedUsers = m_unlistedUsers;
    if (!success) f.failedStep = m_failedStep;
    f.build = m_build;
    f.bytesSent = m_bytesSent;
    const std::int64_t now = m_monotonicMs();
    std::array<std::int64_t, kPhaseCount> elapsed = m_elapsed;
    for (int p = 0; p < kPhaseCount; ++p) {
        if (m_begun[p]) elapsed[p] += now - *m_begun[p];
    }
    f.buildMs = elapsed[kBuild];
    f.userNodeMs = elapsed[kUserNodes];
    f.propagationMs = elapsed[kPropagation];
    return f;
}

QString BuildMetrics::Publish(const QString& folder, const QString& indexName, bool success) const noexcept {
    try {
        const QString path = QDir(folder).filePath(FileName(indexName));
        const std::shared_ptr<component::MetricsFile> file = component::Factory().NewMetricsFile();
        const RunFigures figures = Finish(success, file->Read(path));
        file->Write(path, MetricsText(indexName, figures));
        return {};
    } catch (const component::Error& error) {
        QString reason = error.Description();
        if (!reason.endsWith(QLatin1Char('.'))) reason += QLatin1Char('.');
        return reason + QLatin1Char(' ') + component::ServiceWriteAccessAdvice(folder);
    } catch (const std::exception& error) {
        return QString::fromLocal8Bit(error.what());
    }
}

}  // namespace metrics
