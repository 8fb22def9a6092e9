// Each gauge with its # HELP and # TYPE lines, as the build's monitoring file has them.
#include "pull/pullmetrics.h"

namespace pull {
namespace {

QByteArray Label(const QString& value) {
    QString v = value;
    v.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
        .replace(QLatin1Char('"'), QLatin1String("\\\""))
        .replace(QLatin1Char('\n'), QLatin1String("\\n"));
    return v.toUtf8();
}

QByteArray Gauge(const char* name, const char* help, const QByteArray& labels, const QByteArray& value) {
    return QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + " gauge\n" + name + labels + ' ' +
           value + '\n';
}

}  // namespace

QByteArray MetricsText(const PullFigures& f) {
    const QByteArray labels = "{folder=\"" + Label(f.folder) + "\"}";
    return Gauge("lumora_index_pull_last_run_timestamp_seconds", "When the last pull ended.", labels,
                 QByteArray::number(f.runTime)) +
           Gauge("lumora_index_pull_success", "Whether the last pull succeeded (1) or failed (0).", labels,
                 f.success ? "1" : "0") +
           Gauge("lumora_index_pull_version", "The version the folder holds after the last pull.", labels,
                 QByteArray::number(f.version)) +
           Gauge("lumora_index_pull_bytes_fetched", "Bytes the last pull fetched from the store.", labels,
                 QByteArray::number(f.bytesFetched)) +
           Gauge("lumora_index_pull_seconds", "How long the last pull took.", labels,
                 QByteArray::number(f.seconds, 'f', 3));
}

}  // namespace pull
