// The systemd units as systemd itself reads them: systemd-analyze verify on copies
// whose ExecStart names the built program (the installed one need not exist here).
// The package stage of the test command verifies the installed units as they are.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace {

const QString kInstalledProgram = QStringLiteral("/opt/lumora-index-manager/TessalyIndexManager");

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

struct Verdict {
    int exitCode = -1;
    QString output;
};

// Verifies the two units after edit(text) has changed each; "lumora-index@" in the
// file names is kept, so both are templates as installed.
Verdict Verify(const QString& analyze, const std::function<void(QByteArray&)>& edit) {
    QTemporaryDir dir;
    if (!dir.isValid()) return {-1, QStringLiteral("no temporary folder")};
    QStringList files;
    for (const char* name : {"lumora-index@.service", "lumora-index@.timer"}) {
        QByteArray text = ReadAll(QStringLiteral(LUMORA_UNITS_DIR "/") + QLatin1String(name));
        if (text.isEmpty()) return {-1, QStringLiteral("cannot read ") + QLatin1String(name)};
        text.replace(kInstalledProgram.toUtf8(), QByteArray(LUMORA_BINARY));
        edit(text);
        const QString path = dir.filePath(QLatin1String(name));
        QFile out(path);
        if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size())
            return {-1, QStringLiteral("write")};
        files << path;
    }
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(analyze, QStringList{QStringLiteral("verify"), QStringLiteral("--man=no")} + files);
    if (!p.waitForFinished(60000)) return {-1, QStringLiteral("systemd-analyze did not finish")};
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAll())};
}

TEST(SystemdUnits, VerifyAcceptsThemAndRejectsAFault) {
    const QString analyze = QStandardPaths::findExecutable(QStringLiteral("systemd-analyze"));
    if (analyze.isEmpty()) GTEST_SKIP() << "systemd is not installed here; the units were not verified";
    const QByteArray service = ReadAll(QStringLiteral(LUMORA_UNITS_DIR "/lumora-index@.service"));
    ASSERT_TRUE(service.contains(kInstalledProgram.toUtf8() + " /auto /index %i"));

    const Verdict as = Verify(analyze, [](QByteArray&) {});
    EXPECT_EQ(as.exitCode, 0) << as.output.toStdString();
    EXPECT_TRUE(as.output.trimmed().isEmpty()) << as.output.toStdString();

    // The check can fail: a misspelt value is refused.
    struct Fault {
        const char* name;
        QByteArray from;
        QByteArray to;
    };
    const Fault faults[] = {
        {"calendar", "OnCalendar=daily", "OnCalendar=dialy"},
        {"program", QByteArray(LUMORA_BINARY), QByteArray(LUMORA_BINARY) + "-missing"},
        {"type", "Type=oneshot", "Type=oneshoot"},
    };
    for (const Fault& f : faults) {
        const Verdict bad = Verify(analyze, [&](QByteArray& text) { text.replace(f.from, f.to); });
        EXPECT_FALSE(bad.exitCode == 0 && bad.output.trimmed().isEmpty()) << f.name;
    }
}

}  // namespace
