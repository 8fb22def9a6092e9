// The monitoring file of real runs of the program: a success, a build refused by a lock
// another build holds, a failed build, a run without a data source, and a folder that
// cannot be written. Each file is checked with promtool where it is installed.
#include <sys/file.h>
#include <unistd.h>

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

#include "runsupport.h"
#include "support/eventlogfile.h"
#include "support/promtext.h"

namespace {

using namespace reliability;

constexpr int kUsers = 12;

class MetricsRun : public testing::Test {
public:
    void SetUp() override {
        file = f.data + QStringLiteral("/app.db");
        WriteDocuments(file, 0);
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("metrics"));
            db.setDatabaseName(file);
            ASSERT_TRUE(db.open());
            CreateCatalog(db, kUsers);
            db.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("metrics"));
        metrics = f.data + QStringLiteral("/metrics");
        ASSERT_TRUE(QDir().mkpath(metrics));
        Configure({});
    }

    // The test configuration with the metrics folder, edited by the pairs given.
    void Configure(const QList<std::pair<QString, QString>>& edits, const QString& folder = {}) {
        const QString text = QStringLiteral("Provider=SQLite;Database=") + file;
        f.WriteConfig(text, text);
        QString config = QString::fromUtf8(ReadBytes(f.ConfigPath()));
        config.replace(QStringLiteral("</IndexConfiguration>"),
                       QStringLiteral("  <MetricsDirectory>%1</MetricsDirectory>\n</IndexConfiguration>")
                           .arg(folder.isEmpty() ? metrics : folder));
        for (const auto& [from, to] : edits) config.replace(from, to);
        WriteBytes(f.ConfigPath(), config.toUtf8());
    }

    QMap<QString, QString> Samples() const {
        return testsupport::Samples(ReadBytes(metrics + QStringLiteral("/lumora_index_catalog.prom")),
                                    QStringLiteral("catalog"));
    }

    void ExpectPromtoolAccepts() const {
        const QString promtool = testsupport::Promtool();
        if (promtool.isEmpty()) {
            if (testsupport::PromtoolRequired()) ADD_FAILURE() << "promtool is not installed";
            return;
        }
        const auto rejected = testsupport::PromtoolRejects(
            promtool, ReadBytes(metrics + QStringLiteral("/lumora_index_catalog.prom")));
        EXPECT_FALSE(rejected) << rejected.value_or(QString()).toStdString();
    }

    QList<QJsonObject> Events() const { return testsupport::EventLog(f.eventLog); }

    ProgramFolder f;
    QString file;
    QString metrics;
};

enum class Build { kRan, kRefused, kNone };  // kRefused: at once, its time may round to 0

struct Expected {
    int exitCode;
    bool success;
    int documents;
    int users;
    Build build;
};

// One run, checked: its exit code and every figure of its file.
void Check(MetricsRun& t, const RunResult& run, const Expected& e, const QString& previousSuccess,
           double before, double after) {
    EXPECT_EQ(run.exitCode, e.exitCode) << run.stderrText.toStdString();
    const QMap<QString, QString> m = t.Samples();
    // Users left without assignments are counted by a user-node run that finished.
    const bool usersCounted = e.users > 0;
    ASSERT_EQ(m.size(), usersCounted ? 18 : 17);
    if (usersCounted) {
        EXPECT_EQ(m.value(QStringLiteral("lumora_index_usernode_unlisted_users")), u"0");
    }
    if (e.success) {
        // The build's phases lie within its time (each figure rounded to the millisecond).
        double phases = 0;
        for (const char* phase : {"read", "apply", "checks"})
            phases +=
                m.value(QStringLiteral("lumora_index_build_%1_seconds").arg(QLatin1String(phase))).toDouble();
        EXPECT_LE(phases, m.value(QStringLiteral("lumora_index_build_seconds")).toDouble() + 0.003);
        EXPECT_EQ(
            m.value(QStringLiteral("lumora_index_last_run_failed_step{index=\"catalog\",step=\"none\"}")),
            u"0");
    }
    const QString lastRun = m.value(QStringLiteral("lumora_index_last_run_timestamp_seconds"));
    EXPECT_GE(lastRun.toDouble(), before);
    EXPECT_LE(lastRun.toDouble(), after);
    EXPECT_EQ(m.value(QStringLiteral("lumora_index_last_run_success")), e.success ? u"1" : u"0");
    EXPECT_EQ(m.value(QStringLiteral("lumora_index_last_success_timestamp_seconds")),
              e.success ? lastRun : previousSuccess);
    EXPECT_EQ(m.value(QStringLiteral("lumora_index_documents")).toInt(), e.documents);
    EXPECT_EQ(m.value(QStringLiteral("lumora_index_usernode_users")).toInt(), e.users);
    EXPECT_EQ(m.value(QStringLiteral("lumora_index_targets_failed")), u"0");
    EXPECT_EQ(m.value(QStringLiteral("lumora_index_propagation_seconds")), u"0.000");
    const QString buildSeconds = m.value(QStringLiteral("lumora_index_build_seconds"));
    switch (e.build) {
        case Build::kRan:
            EXPECT_GT(buildSeconds.toDouble(), 0.0);
            break;
        case Build::kRefused:
            EXPECT_LT(buildSeconds.toDouble(), 1.0);
            break;
        case Build::kNone:
            EXPECT_EQ(buildSeconds, u"0.000");
            break;
    }
    const QString userNodeSeconds = m.value(QStringLiteral("lumora_index_usernode_seconds"));
    if (e.build == Build::kNone) {
        EXPECT_EQ(userNodeSeconds, u"0.000");
    } else {
        EXPECT_GT(userNodeSeconds.toDouble(), 0.0);  // a dozen users' rows rewritten takes time
    }
    t.ExpectPromtoolAccepts();
}

double Now() {
    return QDateTime::currentMSecsSinceEpoch() / 1000.0;
}

TEST_F(MetricsRun, EveryOutcomeLeavesItsFigures) {
    double before = Now() - 0.001;
    RunResult run = f.Run();
    Check(*this, run, {0, true, DocumentCount(0), kUsers, Build::kRan}, {}, before, Now());
    const QString success = Samples().value(QStringLiteral("lumora_index_last_success_timestamp_seconds"));
    ASSERT_FALSE(success.isEmpty());

    // Another build holds the lock: refused before a document is read.
    {
        const QByteArray lockPath = QFile::encodeName(f.indexPath + QStringLiteral("/index.lock"));
        const int fd = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
        before = Now() - 0.001;
        run = f.Run();
        ::close(fd);
        // The builder was refused before it could count the live index.
        Check(*this, run, {2, false, 0, kUsers, Build::kRefused}, success, before, Now());
        EXPECT_TRUE(run.stderrText.contains(QStringLiteral("locked"))) << run.stderrText.toStdString();
    }

    // The document query fails: the live index stays, with its documents.
    Configure({{QStringLiteral("SELECT DOCID, TITLE, BODY FROM DOCUMENT"),
                QStringLiteral("SELECT X FROM NOWHERE")}});
    before = Now() - 0.001;
    run = f.Run();
    Check(*this, run, {2, false, DocumentCount(0), kUsers, Build::kRefused}, success, before, Now());

    // No data source: the run ends before a builder exists.
    Configure({{QStringLiteral("name=\"Primary\""), QStringLiteral("name=\"Other1\"")},
               {QStringLiteral("name=\"RAdozudo\""), QStringLiteral("name=\"Other2\"")}});
    before = Now() - 0.001;
    run = f.Run();
    Check(*this, run, {2, false, 0, 0, Build::kNone}, success, before, Now());

    // Only the monitoring file of the index is in the folder.
    EXPECT_EQ(QDir(metrics).entryList(QDir::Files | QDir::Hidden),
              QStringList{QStringLiteral("lumora_index_catalog.prom")});
}

TEST_F(MetricsRun, AFolderThatCannotBeWrittenIsOneEntryAndTheBuildStillSucceeds) {
    // A regular file where the folder should be: no file can be made in it, whoever
    // runs the test.
    const QString blocked = f.data + QStringLiteral("/not-a-folder");
    WriteBytes(blocked, "x");
    Configure({}, blocked);
    const RunResult run = f.Run();
    EXPECT_EQ(run.exitCode, 0) << run.stderrText.toStdString();
    EXPECT_EQ(IndexedDocuments(f.indexPath), DocumentCount(0));
    EXPECT_TRUE(
        ReadBytes(f.ConfigPath())
            .contains(QStringLiteral("<NumDocuments>%1</NumDocuments>").arg(DocumentCount(0)).toUtf8()));
    const QList<QJsonObject> events = Events();
    ASSERT_EQ(events.size(), 1) << ReadBytes(f.eventLog).toStdString();
    EXPECT_EQ(events[0].value(QStringLiteral("type")).toInt(-1), 1);
    const QString message = events[0].value(QStringLiteral("message")).toString();
    EXPECT_TRUE(message.contains(blocked));
    // How to let the service write there, and the warning also where a headless run shows it.
    EXPECT_TRUE(message.contains(QStringLiteral("\"ReadWritePaths=") + blocked + u'"'))
        << message.toStdString();
    EXPECT_TRUE(run.stderrText.contains(QStringLiteral(" [Warning]: ") + message))
        << run.stderrText.toStdString();
    EXPECT_EQ(ReadBytes(blocked), QByteArray("x"));
}

}  // namespace
