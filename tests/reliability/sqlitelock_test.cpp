// The SQLite database held locked by another process for longer than the busy
// timeouts: the run must fail with a clear error and no user may lose rows, whether
// the database is in rollback-journal mode (readers are locked out too, so the build
// fails) or in WAL mode (only the USERNODE writes wait). Either way the run leaves
// the database in the journal mode it found, and a reader that may not write beside
// a rollback-journal file still reads USERNODE.
#include <sys/wait.h>
#include <unistd.h>

#include <QSqlDatabase>

#include "runsupport.h"

namespace {

using namespace reliability;

constexpr int kUsers = 30;

// A child process that holds an exclusive transaction on the file until the pipe
// closes (or a minute passes).
class Locker {
public:
    explicit Locker(const QString& file) {
        int ready[2], release[2];
        if (::pipe(ready) != 0 || ::pipe(release) != 0) return;
        const QByteArray path = QFile::encodeName(file);
        m_pid = ::fork();
        if (m_pid == 0) {
            ::close(ready[0]);
            ::close(release[1]);
            sqlite3* db = nullptr;
            char ok = 0;
            if (sqlite3_open(path.constData(), &db) == SQLITE_OK &&
                sqlite3_exec(db, "BEGIN EXCLUSIVE; UPDATE USERNODE SET NODEID = NODEID WHERE 0", nullptr,
                             nullptr, nullptr) == SQLITE_OK)
                ok = 1;
            if (::write(ready[1], &ok, 1) != 1) ::_exit(1);
            alarm(60);
            char c;
            while (::read(release[0], &c, 1) > 0) {
            }
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        m_release = release[1];
        char ok = 0;
        m_locked = ::read(ready[0], &ok, 1) == 1 && ok == 1;
        ::close(ready[0]);
    }
    ~Locker() { Release(); }
    void Release() {
        if (m_release >= 0) ::close(m_release);
        m_release = -1;
        if (m_pid > 0) ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
    bool Locked() const { return m_locked; }

private:
    pid_t m_pid = -1;
    int m_release = -1;
    bool m_locked = false;
};

struct LockCase {
    const char* name;
    const char* journalMode;
    const char* shown;  // what standard error must hold
    bool rebuilt;       // whether the build itself could go through
    char header;        // bytes 18 and 19 of the file: 1 rollback journal, 2 WAL
};

class SqliteLockTest : public ::testing::TestWithParam<LockCase> {};

TEST_P(SqliteLockTest, ClearErrorNoRowsLost) {
    ProgramFolder f;
    const QString file = f.data + QStringLiteral("/app.db");
    ASSERT_NO_THROW(WriteAppDatabase(f, file, kUsers));
    // A first run gives an index and the users their rows of generation 0.
    ASSERT_EQ(f.Run().exitCode, 0);
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(QFile::encodeName(file).constData(), &db), SQLITE_OK);
        const QByteArray pragma = QByteArray("PRAGMA journal_mode=") + GetParam().journalMode;
        ASSERT_EQ(sqlite3_exec(db, pragma.constData(), nullptr, nullptr, nullptr), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, "UPDATE CATALOGNODEBYUSER SET NODEID = 220", nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
    WriteDocuments(file, 1);
    const QByteArray index = ReadBytes(f.indexPath + QStringLiteral("/index.db"));
    const QByteArray config = ReadBytes(f.ConfigPath());

    Locker locker(file);
    ASSERT_TRUE(locker.Locked());
    QElapsedTimer clock;
    clock.start();
    const RunResult run = f.Run();
    const qint64 took = clock.elapsed();
    locker.Release();

    EXPECT_EQ(run.exitCode, 2) << run.stderrText.toStdString();
    EXPECT_TRUE(run.stderrText.contains(QLatin1String(GetParam().shown))) << run.stderrText.toStdString();
    std::printf("%s: the locked run ended after %lld ms\n", GetParam().name, static_cast<long long>(took));
    // Nothing was lost or half-written: the index is the old or the complete new one,
    // the users' rows and the file stay.
    if (GetParam().rebuilt) {
        EXPECT_EQ(IndexedDocuments(f.indexPath), DocumentCount(1));
    } else {
        EXPECT_EQ(ReadBytes(f.indexPath + QStringLiteral("/index.db")), index);
    }
    EXPECT_EQ(ReadBytes(f.ConfigPath()), config);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("check"));
        db.setDatabaseName(file);
        ASSERT_TRUE(db.open());
        const UserStates states = ClassifyUsers(db, kUsers, ExpectedRows(0), ExpectedRows(1));
        EXPECT_EQ(states.old, kUsers) << states.example.toStdString();

        // The lock gone, the next run completes.
        const RunResult again = f.Run();
        EXPECT_EQ(again.exitCode, 0) << again.stderrText.toStdString();
        EXPECT_EQ(ClassifyUsers(db, kUsers, ExpectedRows(0), ExpectedRows(1)).fresh, kUsers);
        EXPECT_EQ(IndexedDocuments(f.indexPath), DocumentCount(1));
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("check"));
    EXPECT_EQ(ReadBytes(file).mid(18, 2), QByteArray(2, GetParam().header));
    if (GetParam().header == 1) {
        EXPECT_FALSE(QFile::exists(file + QStringLiteral("-wal")));
        EXPECT_GT(UserNodeRowsSeenReadOnly(file), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, SqliteLockTest,
                         ::testing::Values(
                             // The reader of the build waits its busy timeout, then reports SQLite's reason.
                             LockCase{"RollbackJournal", "DELETE", "database is locked", false, 1},
                             // The build reads past the writer; the USERNODE rewrite cannot get its lock.
                             LockCase{"WriteAheadLog", "WAL", "Indexing aborted", true, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
