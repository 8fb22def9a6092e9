// The PostgreSQL server stopped in the middle of the all-users run. The test starts a
// throwaway server of its own (initdb and pg_ctl, as scripts/test.sh finds them), so
// stopping it disturbs no other test running at the same time.
#include <signal.h>
#include <unistd.h>

#include <QSqlDatabase>
#include <random>

#include "runsupport.h"
#include "support/loopbackport.h"

namespace {

using namespace reliability;

constexpr int kUsers = 400;

class OwnServer {
public:
    OwnServer() {
        const QStringList versions = QDir(QStringLiteral("/usr/lib/postgresql"))
                                         .entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
        for (const QString& v : versions) {
            const QString bin = QStringLiteral("/usr/lib/postgresql/") + v + QStringLiteral("/bin");
            if (QFileInfo::exists(bin + QStringLiteral("/pg_ctl"))) m_bin = bin;  // the last is the newest
        }
        if (m_bin.isEmpty() || !m_dir.isValid()) return;
        if (::geteuid() == 0) {
            // initdb refuses to run as root.
            if (!Ok({QStringLiteral("chown"), QStringLiteral("postgres:"), m_dir.path()})) return;
            m_prefix = {QStringLiteral("runuser"), QStringLiteral("-u"), QStringLiteral("postgres"),
                        QStringLiteral("--")};
        }
        if (!Ok(m_prefix + QStringList{m_bin + QStringLiteral("/initdb"), QStringLiteral("-D"), Data(),
                                       QStringLiteral("-U"), QStringLiteral("lumora"), QStringLiteral("-A"),
                                       QStringLiteral("trust"), QStringLiteral("-E"),
                                       QStringLiteral("UTF8")}))
            return;
        // Another test may take the port between the check and the server's bind.
        for (int attempt = 0; attempt < 5 && !m_ready; ++attempt) {
            m_port = testsupport::FreeLoopbackPort();
            m_ready = Start();
        }
    }
    ~OwnServer() {
        if (m_ready) Stop(QStringLiteral("immediate"));
    }
    bool Ready() const { return m_ready; }
    QByteArray Log() const { return ReadBytes(m_dir.filePath(QStringLiteral("server.log"))); }
    int Port() const { return m_port; }

    bool Start() {
        return Ok(m_prefix +
                  QStringList{m_bin + QStringLiteral("/pg_ctl"), QStringLiteral("-D"), Data(),
                              QStringLiteral("-l"), m_dir.filePath(QStringLiteral("server.log")),
                              QStringLiteral("-w"), QStringLiteral("-o"),
                              QStringLiteral("-c listen_addresses=127.0.0.1 -p %1 -k %2 -c fsync=off")
                                  .arg(m_port)
                                  .arg(m_dir.path()),
                              QStringLiteral("start")});
    }
    bool Stop(const QString& mode) {
        return Ok(m_prefix + QStringList{m_bin + QStringLiteral("/pg_ctl"), QStringLiteral("-D"), Data(),
                                         QStringLiteral("-m"), mode, QStringLiteral("-w"),
                                         QStringLiteral("stop")});
    }

private:
    QString Data() const { return m_dir.filePath(QStringLiteral("data")); }
    static bool Ok(const QStringList& command) {
        QProcess p;
        p.start(command.first(), command.mid(1));
        return p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    }
    QTemporaryDir m_dir;
    QString m_bin;
    QStringList m_prefix;
    int m_port = 0;
    bool m_ready = false;
};

QSqlDatabase Connect(int port, const QString& database, const QString& name) {
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
    db.setHostName(QStringLiteral("127.0.0.1"));
    db.setPort(port);
    db.setUserName(QStringLiteral("lumora"));
    db.setDatabaseName(database);
    return db;
}

// A server of its own with the database "app" holding the catalog of kUsers users, and
// the program's folder configured to read its documents from SQLite and its catalog
// from "app".
class PostgresStopped : public ::testing::Test {
protected:
    void SetUp() override {
        if (!server.Ready()) {
            if (qEnvironmentVariable("LUMORA_REQUIRE_PG") == QStringLiteral("1"))
                FAIL() << "no PostgreSQL server could be started: " << server.Log().toStdString();
            GTEST_SKIP() << "no PostgreSQL server could be started";
        }
        {
            QSqlDatabase admin = Connect(server.Port(), QStringLiteral("postgres"), QStringLiteral("admin"));
            ASSERT_TRUE(admin.open()) << admin.lastError().text().toStdString();
            Exec(admin, QStringLiteral("CREATE DATABASE app"));
            admin.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("admin"));
        const QString documents = f.data + QStringLiteral("/documents.db");
        WriteDocuments(documents, 0);
        f.WriteConfig(QStringLiteral("Provider=SQLite;Database=") + documents,
                      QStringLiteral("Provider=PostgreSQL;Host=127.0.0.1;Port=%1;Database=app;User=lumora")
                          .arg(server.Port()));
        configBefore = ReadBytes(f.ConfigPath());
        QSqlDatabase db = Connect(server.Port(), QStringLiteral("app"), QStringLiteral("setup"));
        ASSERT_TRUE(db.open());
        CreateCatalog(db, kUsers);
        db.close();
    }
    void TearDown() override { QSqlDatabase::removeDatabase(QStringLiteral("setup")); }

    // Every row inserted into USERNODE takes a moment, so that the server goes away or the
    // program is killed while the run is part-way, however quickly it computes the rows.
    static void SlowInserts(QSqlDatabase& db) {
        Exec(db, QStringLiteral("CREATE FUNCTION lumora_slow() RETURNS trigger LANGUAGE plpgsql AS "
                                "$$ BEGIN PERFORM pg_sleep(0.005); RETURN NULL; END $$"));
        Exec(db, QStringLiteral("CREATE TRIGGER lumora_slow AFTER INSERT ON USERNODE FOR EACH ROW "
                                "EXECUTE FUNCTION lumora_slow()"));
    }

    // Each user's state after the server was stopped at once and started again.
    UserStates StatesAfterImmediateRestart(const QStringList& oldRows, const QStringList& newRows) {
        EXPECT_TRUE(server.Stop(QStringLiteral("immediate")));
        EXPECT_TRUE(server.Start());
        QSqlDatabase db = Connect(server.Port(), QStringLiteral("app"), QStringLiteral("setup"));
        EXPECT_TRUE(db.open());
        return ClassifyUsers(db, kUsers, oldRows, newRows);
    }

    OwnServer server;
    ProgramFolder f;
    QByteArray configBefore;
};

// Stopped at once right after the run returned: every user the run counted as done is
// on disk, after a run that succeeded and after one that stopped at a refused user.
TEST_F(PostgresStopped, EveryUserCountedIsOnDiskWhenTheRunReturns) {
    struct Case {
        int generation;
        int refused;  // the user whose rows the database refuses; -1 for none
        int exitCode;
        int fresh;  // users before the refused one in USERID order
    };
    for (const Case& c : {Case{0, -1, 0, kUsers}, Case{1, 300, 2, 300}}) {
        SCOPED_TRACE("refused user " + std::to_string(c.refused));
        {
            QSqlDatabase db = Connect(server.Port(), QStringLiteral("app"), QStringLiteral("setup"));
            ASSERT_TRUE(db.open());
            AssignGeneration(db, c.generation);
            if (c.refused >= 0)
                Exec(db, QStringLiteral(
                             "ALTER TABLE USERNODE ADD CONSTRAINT refused CHECK (USERID <> '%1') NOT VALID")
                             .arg(UserId(c.refused).replace(u'\'', QStringLiteral("''"))));
        }
        const RunResult run = f.Run();
        EXPECT_EQ(run.exitCode, c.exitCode) << run.stderrText.toStdString();
        const UserStates states = StatesAfterImmediateRestart(
            c.generation == 0 ? kBeforeAnyRun : ExpectedRows(c.generation - 1), ExpectedRows(c.generation));
        EXPECT_EQ(states.other, 0) << states.example.toStdString();
        EXPECT_EQ(states.fresh, c.fresh);
    }
}

// The program killed (SIGKILL) at random moments of the rewrites, mostly inside the
// transaction of a group of users: every user keeps exactly its old or its new rows,
// and the next run completes.
TEST_F(PostgresStopped, KilledInTheMiddleOfAGroupEveryUserIsOldOrNew) {
    QSqlDatabase db = Connect(server.Port(), QStringLiteral("app"), QStringLiteral("kill"));
    ASSERT_TRUE(db.open());
    SlowInserts(db);
    const unsigned seed = qEnvironmentVariableIsSet("LUMORA_KILL_SEED")
                              ? qEnvironmentVariable("LUMORA_KILL_SEED").toUInt()
                              : std::random_device{}();
    std::printf("killed in a group: seed %u (set LUMORA_KILL_SEED to repeat)\n", seed);
    std::mt19937 random(seed);
    for (int generation = 0; generation < 3; ++generation) {
        AssignGeneration(db, generation);
        // The rewrites of 400 users take 2 to 4 s behind the slow inserts.
        const int delay = std::uniform_int_distribution<int>(300, 4000)(random);
        SCOPED_TRACE("generation " + std::to_string(generation) + ", killed at " + std::to_string(delay) +
                     " ms");
        QProcess process;
        f.Start(process);
        process.waitForFinished(delay);
        if (process.state() != QProcess::NotRunning) ::kill(pid_t(process.processId()), SIGKILL);
        process.waitForFinished(30000);
        const QStringList old = generation == 0 ? kBeforeAnyRun : ExpectedRows(generation - 1);
        const UserStates states = ClassifyUsers(db, kUsers, old, ExpectedRows(generation));
        EXPECT_EQ(states.other, 0) << states.example.toStdString();
        std::printf("killed at %d ms: %d of %d users new, %d old\n", delay, states.fresh, kUsers, states.old);
        const RunResult again = f.Run();
        EXPECT_EQ(again.exitCode, 0) << again.stderrText.toStdString();
        EXPECT_EQ(ClassifyUsers(db, kUsers, old, ExpectedRows(generation)).fresh, kUsers);
    }
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("kill"));
}

TEST_F(PostgresStopped, RunFailsAbortedNoUserLosesRowsNextRunCompletes) {
    {
        QSqlDatabase db = Connect(server.Port(), QStringLiteral("app"), QStringLiteral("app"));
        ASSERT_TRUE(db.open());
        SlowInserts(db);

        // Once some users hold their new rows, the server goes away.
        QProcess process;
        f.Start(process);
        QElapsedTimer clock;
        clock.start();
        int fresh = 0;
        while (fresh == 0 && process.state() != QProcess::NotRunning && clock.elapsed() < 120000) {
            process.waitForFinished(10);
            QSqlQuery q(db);
            if (q.exec(QStringLiteral("SELECT COUNT(DISTINCT USERID) FROM USERNODE WHERE CATALOGID = 2")) &&
                q.next())
                fresh = q.value(0).toInt();
        }
        ASSERT_GT(fresh, 0) << "the run ended before the server could be stopped";
        db.close();
        ASSERT_TRUE(server.Stop(QStringLiteral("immediate")));
        ASSERT_TRUE(process.waitForFinished(120000));
        const QString err = QString::fromUtf8(process.readAllStandardError());
        EXPECT_EQ(process.exitCode(), 2) << err.toStdString();
        EXPECT_TRUE(err.contains(QStringLiteral("Lumora Index Manager [Warning]\nIndexing aborted\n")))
            << err.toStdString();
        EXPECT_EQ(ReadBytes(f.ConfigPath()), configBefore) << "results written although the run failed";
    }
    QSqlDatabase::removeDatabase(QStringLiteral("app"));

    ASSERT_TRUE(server.Start());
    {
        QSqlDatabase db = Connect(server.Port(), QStringLiteral("app"), QStringLiteral("check"));
        ASSERT_TRUE(db.open());
        // Each user has the old rows or the complete new ones; the run stopped part-way.
        const UserStates states = ClassifyUsers(db, kUsers, kBeforeAnyRun, ExpectedRows(0));
        EXPECT_EQ(states.other, 0) << states.example.toStdString();
        EXPECT_GT(states.old, 0);
        EXPECT_GT(states.fresh, 0);
        std::printf("server stopped with %d of %d users done, %d still on their old rows, %d damaged\n",
                    states.fresh, kUsers, states.old, states.other);

        const RunResult again = f.Run();
        EXPECT_EQ(again.exitCode, 0) << again.stderrText.toStdString();
        const UserStates after = ClassifyUsers(db, kUsers, kBeforeAnyRun, ExpectedRows(0));
        EXPECT_EQ(after.fresh, kUsers) << after.example.toStdString();
        EXPECT_EQ(IndexedDocuments(f.indexPath), DocumentCount(0));
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("check"));
}

}  // namespace
