// Reading monitoring files in tests: the samples of a Prometheus text file, and
// promtool's verdict on it where promtool is installed.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <optional>

namespace testsupport {

// metric name -> the text after its label set, for samples labelled index="<escaped>".
// Samples with another label set are keyed "<name>{<labels>}".
inline QMap<QString, QString> Samples(const QByteArray& text, const QString& escapedIndex) {
    QMap<QString, QString> samples;
    const QString label = QStringLiteral("{index=\"") + escapedIndex + QStringLiteral("\"}");
    for (const QString& line : QString::fromUtf8(text).split(u'\n')) {
        if (line.isEmpty() || line.startsWith(u'#')) continue;
        const qsizetype brace = line.indexOf(u'{');
        const qsizetype blank = line.lastIndexOf(u' ');
        if (brace < 0 || blank < 0) {
            samples.insert(line, QStringLiteral("<malformed>"));
            continue;
        }
        const QString labels = line.mid(brace, blank - brace);
        const QString name = line.left(brace);
        samples.insert(labels == label ? name : name + labels, line.mid(blank + 1));
    }
    return samples;
}

// promtool from PATH, from LUMORA_PROMTOOL, or unpacked into the project's .deps/.
inline QString Promtool() {
    const QString fromEnv = qEnvironmentVariable("LUMORA_PROMTOOL");
    if (!fromEnv.isEmpty()) return fromEnv;
    const QString inPath = QStandardPaths::findExecutable(QStringLiteral("promtool"));
    if (!inPath.isEmpty()) return inPath;
#ifdef LUMORA_PROMTOOL_UNPACKED
    if (QFile::exists(QStringLiteral(LUMORA_PROMTOOL_UNPACKED)))
        return QStringLiteral(LUMORA_PROMTOOL_UNPACKED);
#endif
    return {};
}

// Whether a missing promtool fails the test instead of skipping it (the test command
// installs it, so there it must be found).
inline bool PromtoolRequired() {
    return qEnvironmentVariable("LUMORA_REQUIRE_PROMTOOL") == u"1";
}

// promtool check metrics on text: nothing when it accepts the text, else its output.
inline std::optional<QString> PromtoolRejects(const QString& promtool, const QByteArray& text) {
    QProcess p;
    p.start(promtool, {QStringLiteral("check"), QStringLiteral("metrics")});
    if (!p.waitForStarted(10000)) return QStringLiteral("promtool did not start: ") + p.errorString();
    p.write(text);
    p.closeWriteChannel();
    if (!p.waitForFinished(60000)) return QStringLiteral("promtool did not finish");
    const QString output = QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0 || !output.trimmed().isEmpty())
        return QStringLiteral("exit %1: %2").arg(p.exitCode()).arg(output);
    return std::nullopt;
}

}  // namespace testsupport
