// lumora-index-pull SOURCE FOLDER [--metrics FILE] [--verify]: brings a reader's index
// folder to the version its store names as current, or checks the version it holds.
// Exit status 0 when the folder holds it, 1 for a wrong command line, 2 when the pull
// failed (the folder as it was) or the file is not the version it claims.
#include <syslog.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <cstdio>

#include "component/error.h"
#include "pull/puller.h"
#include "pull/pullmetrics.h"
#include "zarvik/files/durablemetricsfile.h"

namespace {

constexpr char kUsage[] =
    "usage: lumora-index-pull SOURCE FOLDER [--metrics FILE] [--verify]\n"
    "  SOURCE  a store: REMOTE:PATH (a remote of rclone's configuration), /absolute/folder,\n"
    "          either with or without \"store:\", or the http(s):// URL of a store folder\n"
    "  FOLDER  the folder that holds the reader's index.db\n"
    "  --metrics FILE  writes the pull's figures there in the Prometheus text format\n"
    "  --verify  checks FOLDER/index.db against the version the last pull installed\n"
    "            (size and SHA-256), fetching nothing; exit status 2 when it is not\n";

int Usage(const char* why) {
    std::fprintf(stderr, "lumora-index-pull: %s\n%s", why, kUsage);
    return 1;
}

void WriteMetrics(const QString& path, const pull::PullFigures& figures) {
    if (path.isEmpty()) return;
    try {
        zarvik::files::DurableMetricsFile().Write(path, pull::MetricsText(figures));
    } catch (const component::Error& e) {
        std::fprintf(stderr, "lumora-index-pull: %s\n", e.Description().toLocal8Bit().constData());
    }
}

// Says why on standard error and in the system log; returns the exit status 2.
int Failed(const QString& why) {
    const QByteArray text = why.toLocal8Bit();
    std::fprintf(stderr, "lumora-index-pull: %s\n", text.constData());
    openlog("lumora-index-pull", LOG_PID, LOG_USER);
    syslog(LOG_ERR, "%s", text.constData());
    closelog();
    return 2;
}

int VerifyFolder(const QString& folder) {
    try {
        std::printf("%s\n", pull::Verify(folder).toLocal8Bit().constData());
        return 0;
    } catch (const component::Error& e) {
        return Failed(QStringLiteral("verifying %1: ").arg(folder) + e.Description());
    }
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    QString metrics;
    if (const qsizetype at = args.indexOf(QStringLiteral("--metrics")); at >= 0) {
        if (at + 1 >= args.size()) return Usage("--metrics needs a file");
        metrics = args[at + 1];
        args.remove(at, 2);
    }
    const bool verify = args.removeAll(QStringLiteral("--verify")) > 0;
    if (args.size() == 1 && (args[0] == QLatin1String("--help") || args[0] == QLatin1String("-h"))) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (args.size() != 2) return Usage("SOURCE and FOLDER are required");
    const QString folder = QFileInfo(args[1]).absoluteFilePath();
    if (verify) return VerifyFolder(folder);
    pull::PullFigures figures;
    figures.folder = folder;
    QElapsedTimer timer;
    timer.start();
    int status = 0;
    pull::PullOutcome outcome;
    try {
        const std::unique_ptr<zarvik::store::Store> store = zarvik::store::OpenStore(args[0]);
        pull::Pull(*store, folder, outcome);
        figures.success = true;
        if (outcome.installed)
            std::printf("%s: installed version %lld (%lld bytes fetched)\n", folder.toLocal8Bit().constData(),
                        outcome.version, outcome.bytesFetched);
    } catch (const component::Error& e) {
        status = Failed(QStringLiteral("pull into %1 failed: ").arg(folder) + e.Description());
    }
    figures.version = outcome.version;
    figures.bytesFetched = outcome.bytesFetched;
    figures.seconds = double(timer.nsecsElapsed()) / 1e9;
    figures.runTime = QDateTime::currentSecsSinceEpoch();
    WriteMetrics(metrics, figures);
    return status;
}
