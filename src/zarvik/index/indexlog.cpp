// The build log "indexlog.dat".
#include "zarvik/index/indexlog.h"

#include "zarvik/index/engine.h"

#include <QDateTime>
#include <QFile>

namespace zarvik::index {

QString IndexLogPath(const component::SearchEngine* engine) {
    // The engine tells where the log goes; an engine of another kind keeps none.
    const auto* fts5 = dynamic_cast<const Fts5Engine*>(engine);
    if (!fts5 || !fts5->LogEnabled()) return {};
    return fts5->LogFilePath();
}

void AppendIndexLog(const QString& logPath, const QString& indexName, const QString& event,
                    const QString& details) {
    if (logPath.isEmpty()) return;
    QFile file(logPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) return;
    QString line = QDateTime::currentDateTime().toString(Qt::ISODate) + QLatin1Char('\t') + indexName +
                   QLatin1Char('\t') + event + QLatin1Char('\t') + details;
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    file.write(line.toUtf8() + '\n');
}

}  // namespace zarvik::index
