// The build log "indexlog.dat".
#include "zarvik/index/indexlog.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include "component/error.h"
#include "component/texts.h"
#include "zarvik/files/eventlog.h"
#include "zarvik/index/engine.h"

namespace zarvik::index {

QString IndexLogPath(const component::SearchEngine* engine) {
    // The engine tells where the log goes; an engine of another kind keeps none.
    const auto* fts5 = dynamic_cast<const Fts5Engine*>(engine);
    if (!fts5 || !fts5->LogEnabled()) return {};
    return fts5->LogFilePath();
}

void WarnIfIndexLogUnwritable(const QString& logPath) {
    if (logPath.isEmpty()) return;
    QFile file(logPath);
    if (file.open(QIODevice::WriteOnly | QIODevice::Append)) return;
    // A link beside the program points to where the log is kept; that folder is the
    // one to allow.
    const QFileInfo info(logPath);
    const QString folder = QFileInfo(info.isSymLink() ? info.symLinkTarget() : logPath).absolutePath();
    try {
        files::WriteEvent(QStringLiteral("ZarvikIndexing.IndexBuilder"),
                   QStringLiteral("The build log %1 cannot be written (%2); the build goes on without it. %3")
                       .arg(logPath, file.errorString(), component::ServiceWriteAccessAdvice(folder)),
                   1);
    } catch (const component::Error&) {
        // Neither log can be written; the build still goes on.
    }
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
