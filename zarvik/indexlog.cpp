// The build log "indexlog.dat".
#include "zarvik/indexlog.h"

#include <QDateTime>
#include <QFile>

namespace zarvik {

QString IndexLogPath(const component::SearchEngine*) {
    // The engine tells where the log goes; without an engine that keeps a log
    // nothing is written.
    return {};
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

}  // namespace zarvik
