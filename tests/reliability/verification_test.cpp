// The checks before a new index goes live, through the built program: a refused
// build is a failed run (exit status 2, the refusal reported, nothing written back),
// and a program killed while it checks or swaps leaves the old or the new index.
#include <signal.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <QSqlDatabase>
#include <random>

#include "runsupport.h"
#include "support/testdb.h"

namespace {

using namespace reliability;

constexpr int kUsers = 20;

ino_t Inode(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}
const QString kProblems = QStringLiteral("Problems occurred during the indexing process.");

// Puts a <Verify> element into the index of the configuration the folder holds.
void AddVerify(const ProgramFolder& f, const QString& verify) {
    QByteArray text = ReadBytes(f.ConfigPath());
    text.replace("  </Index>", "    <Verify>" + verify.toUtf8() + "</Verify>\n  </Index>");
    WriteBytes(f.ConfigPath(), text);
}

// Sets the number of rows of DOCUMENT in a PostgreSQL database (generation 0's texts).
void SetPostgresRows(const QString& database, int rows) {
    const QStringList parts = qEnvironmentVariable("LUMORA_TEST_PG").split(QLatin1Char(' '));
    const QString name = QStringLiteral("verification-pg");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
        db.setHostName(parts.at(0));
        db.setPort(parts.at(1).toInt());
        db.setUserName(parts.at(2));
        db.setDatabaseName(database);
        if (!db.open()) throw std::runtime_error(db.lastError().text().toStdString());
        Exec(db, QStringLiteral("CREATE TABLE IF NOT EXISTS DOCUMENT (DOCID INTEGER PRIMARY KEY, TITLE TEXT, "
                                "BODY TEXT)"));
        Exec(db, QStringLiteral("DELETE FROM DOCUMENT"));
        Exec(db, QStringLiteral("INSERT INTO DOCUMENT SELECT g, 'Document ' || g, 'river stone ' || g "
                                "FROM generate_series(1, %1) g")
                     .arg(rows));
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

// Leaves the first `rows` documents of generation 0 in a SQLite document file.
void KeepSqliteRows(const QString& file, int rows) {
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("verification-sqlite"));
    {
        db.setDatabaseName(file);
        if (!db.open()) throw std::runtime_error("open documents");
        Exec(db, QStringLiteral("DELETE FROM DOCUMENT WHERE DOCID > %1").arg(rows));
        db.close();
    }
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("verification-sqlite"));
}

class VerificationProgramTest : public ::testing::TestWithParam<bool /* PostgreSQL */> {
protected:
    void SetUp() override {
        documents = f.data + QStringLiteral("/documents.db");
        catalogFile = f.data + QStringLiteral("/catalog.db");
        QString source = QStringLiteral("Provider=SQLite;Database=") + documents;
        if (GetParam()) {
            pgDatabase = QStringLiteral("lumora_verification_%1").arg(QCoreApplication::applicationPid());
            source = testsupport::PostgresConnectionText(pgDatabase);
            if (source.isEmpty()) {
                if (testsupport::PostgresRequired()) FAIL() << "LUMORA_TEST_PG is not set";
                GTEST_SKIP() << "no PostgreSQL test server";
            }
        }
        target = f.data + QStringLiteral("/replicas/one/catalog");
        f.WriteConfig(source, QStringLiteral("Provider=SQLite;Database=") + catalogFile, {target});
        QSqlDatabase db =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("verification-catalog"));
        {
            db.setDatabaseName(catalogFile);
            ASSERT_TRUE(db.open());
            CreateCatalog(db, kUsers);
            db.close();
        }
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("verification-catalog"));
    }

    // Runs f on the catalog database, open for that call only.
    template <typename F>
    auto OnCatalog(F&& f) {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("verification-users"));
        db.setDatabaseName(catalogFile);
        if (!db.open()) throw std::runtime_error("open catalog");
        auto result = f(db);
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("verification-users"));
        return result;
    }
    void ClearUserNodes() {
        OnCatalog([](QSqlDatabase& db) {
            Exec(db, QStringLiteral("DELETE FROM USERNODE"));
            return 0;
        });
    }
    int FreshUsers() {
        return OnCatalog([](QSqlDatabase& db) { return ClassifyUsers(db, kUsers, {}, ExpectedRows(0)).fresh; });
    }

    void SetRows(int rows) {
        if (GetParam()) {
            SetPostgresRows(pgDatabase, rows);
        } else {
            WriteDocuments(documents, 0);
            KeepSqliteRows(documents, rows);
        }
    }

    ProgramFolder f;
    QString documents;
    QString catalogFile;
    QString pgDatabase;
    QString target;
};

struct RefusalCase {
    const char* name;
    const char* verify;  // <Verify> content; null: none
    int rows;            // documents of the second run (the first has 1,000)
    const char* refusal;
};

TEST_P(VerificationProgramTest, ARefusedBuildIsAFailedRun) {
    const RefusalCase cases[] = {
        {"Shrink", nullptr, 400,
         "The new index has 400 documents, 60% fewer than the live index (1,000); MaxShrinkPercent allows "
         "50%. "
         "The live index was left in place."},
        {"Empty", nullptr, 0,
         "The new index has 0 documents, 100% fewer than the live index (1,000); MaxShrinkPercent allows "
         "50%. "
         "The live index was left in place."},
        {"Minimum", "<MinDocuments>1001</MinDocuments>", 1000,
         "The new index has 1,000 documents, fewer than MinDocuments (1,001). The live index was left in "
         "place."},
        {"CheckQuery", "<CheckQuery>zebra</CheckQuery>", 1000,
         "The check query \"zebra\" matches no document of the new index. The live index was left in place."},
    };
    SetRows(1000);
    const RunResult first = f.Run();
    ASSERT_EQ(first.exitCode, 0) << first.stderrText.toStdString();
    const QString live = f.indexPath + QStringLiteral("/index.db");
    const QByteArray before = ReadBytes(live);
    const QByteArray config = ReadBytes(f.ConfigPath());
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.name);
        WriteBytes(f.ConfigPath(), config);
        if (c.verify) AddVerify(f, QString::fromUtf8(c.verify));
        const QByteArray configBefore = ReadBytes(f.ConfigPath());
        SetRows(c.rows);
        ClearUserNodes();
        const RunResult run = f.Run();
        EXPECT_EQ(run.exitCode, 2);
        const QString shown = Shown(run.stderrText);
        EXPECT_TRUE(shown.contains(QString::fromUtf8(c.refusal))) << shown.toStdString();
        EXPECT_TRUE(shown.contains(kProblems)) << shown.toStdString();
        EXPECT_LT(shown.indexOf(QString::fromUtf8(c.refusal)), shown.indexOf(kProblems));
        // One event-log entry carries the refusal (a JSON text: its quotes escaped).
        EXPECT_EQ(ReadBytes(f.eventLog).count(QByteArray(c.refusal).replace("\"", "\\\"")), 1);
        // The live index byte for byte, nothing written back, the refused file kept.
        EXPECT_EQ(ReadBytes(live), before);
        EXPECT_EQ(ReadBytes(f.ConfigPath()), configBefore);
        EXPECT_EQ(IndexedDocuments(f.indexPath), 1000);
        // The user-node run still followed the refused build.
        EXPECT_EQ(FreshUsers(), kUsers);
        EXPECT_EQ(QDir(f.indexPath).entryList(QDir::Files | QDir::Hidden, QDir::Name),
                  (QStringList{"index.db", "index.lock", "index.rejected.db"}));
    }
    // Back to a sound source: the next run goes live and keeps the old index as the previous one.
    WriteBytes(f.ConfigPath(), config);
    SetRows(900);
    const RunResult again = f.Run();
    EXPECT_EQ(again.exitCode, 0) << again.stderrText.toStdString();
    EXPECT_EQ(IndexedDocuments(f.indexPath), 900);
    EXPECT_EQ(ReadBytes(f.indexPath + QStringLiteral("/index.previous.db")), before);
    // The kept indexes stay in the index folder: a target gets the live index only.
    EXPECT_TRUE(QFile::exists(f.indexPath + QStringLiteral("/index.rejected.db")));
    EXPECT_EQ(QDir(target).entryList(QDir::Files | QDir::Hidden), QStringList{"index.db"});
    EXPECT_EQ(IndexedDocuments(target), 900);
}

TEST_P(VerificationProgramTest, AnUnreadableVerifyValueStopsTheRun) {
    SetRows(10);
    AddVerify(f, QStringLiteral("<MaxShrinkPercent>150</MaxShrinkPercent>"));
    const RunResult run = f.Run();
    EXPECT_NE(run.exitCode, 0);
    const QString shown = Shown(run.stderrText);
    EXPECT_TRUE(shown.contains(QStringLiteral("\"150\" of <Verify><MaxShrinkPercent>")))
        << shown.toStdString();
    EXPECT_FALSE(QFile::exists(f.indexPath + QStringLiteral("/index.db")));
}

INSTANTIATE_TEST_SUITE_P(Sources, VerificationProgramTest, ::testing::Values(false, true),
                         [](const auto& info) { return std::string(info.param ? "Postgres" : "Sqlite"); });

// Killed at random moments around the checks and the swap: index.db is always the
// old or the new index, never a refused or half-written one; the next run succeeds.
class VerificationKillTest : public VerificationProgramTest {};

TEST_P(VerificationKillTest, LiveIndexIsOldOrNewAndTheNextRunSucceeds) {
    SetRows(12000);
    ASSERT_EQ(f.Run().exitCode, 0);
    // A second index of the same size: its run shows how long building and checking take.
    const QString live = f.indexPath + QStringLiteral("/index.db");
    AddVerify(f, QStringLiteral("<CheckQuery>document</CheckQuery><MinDocuments>100</MinDocuments>"));
    QElapsedTimer clock;
    QProcess probe;
    const ino_t first = Inode(live);
    clock.start();
    f.Start(probe);
    qint64 swapped = 0;
    while (!probe.waitForFinished(2)) {
        if (!swapped && Inode(live) != first) swapped = clock.elapsed();
    }
    ASSERT_EQ(probe.exitCode(), 0) << probe.readAllStandardError().toStdString();
    if (!swapped) swapped = clock.elapsed();

    std::mt19937 random(20261209);
    constexpr int kKills = 4;
    for (int i = 0; i < kKills; ++i) {
        const QByteArray old = ReadBytes(live);
        // From late in the filling to just after the swap.
        const qint64 at = qint64(double(swapped) * (0.75 + 0.35 * double(random() % 1000) / 1000.0));
        QProcess process;
        f.Start(process);
        QThread::msleep(at);
        ::kill(pid_t(process.processId()), SIGKILL);
        process.waitForFinished();
        const QByteArray now = ReadBytes(live);
        SCOPED_TRACE(at);
        EXPECT_EQ(IndexedDocuments(f.indexPath), 12000);
        if (now != old) {
            // A new index went live: it passed its checks, as index_info says.
            sqlite3* db = nullptr;
            sqlite3_open_v2(QFile::encodeName(live).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
            sqlite3_stmt* stmt = nullptr;
            sqlite3_prepare_v2(db, "SELECT count(*) FROM index_info WHERE name LIKE 'check.%'", -1, &stmt,
                               nullptr);
            EXPECT_EQ(sqlite3_step(stmt), SQLITE_ROW);
            EXPECT_EQ(sqlite3_column_int(stmt, 0), 5);
            sqlite3_finalize(stmt);
            sqlite3_close(db);
        }
        EXPECT_FALSE(QFile::exists(f.indexPath + QStringLiteral("/index.rejected.db")));
    }
    const RunResult last = f.Run();
    EXPECT_EQ(last.exitCode, 0) << last.stderrText.toStdString();
    EXPECT_EQ(IndexedDocuments(f.indexPath), 12000);
    const QStringList files = QDir(f.indexPath).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    EXPECT_EQ(files, (QStringList{"index.db", "index.lock", "index.previous.db"}));
}

INSTANTIATE_TEST_SUITE_P(Sources, VerificationKillTest, ::testing::Values(false),
                         [](const auto&) { return std::string("Sqlite"); });

}  // namespace
