// The SQLite backend: opening a file, its connection settings, its statements.
#include "zarvik/db/sqlite/sqlitebackend.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>

#include "zarvik/db/recordset.h"
#include "zarvik/db/sqlite/sqlitedialect.h"
#include "zarvik/db/tsql.h"

namespace zarvik::db {
namespace {

bool FileIdentity(const QString& path, quint64& device, quint64& inode) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) return false;
    device = quint64(st.st_dev);
    inode = quint64(st.st_ino);
    return true;
}

void Configure(QSqlDatabase& database, const QString& path) {
    if (path.isEmpty()) ThrowDatabaseError(QStringLiteral("The connection text names no Database"));
    // A relative file is taken from the configuration's folder as the configuration is
    // read (zarvik::config::AnchorSqliteDatabase); one that still reaches here did not
    // come through it, and the working directory would be a guess.
    if (path != QStringLiteral(":memory:") && QFileInfo(path).isRelative())
        ThrowDatabaseError(QStringLiteral("The SQLite database file is not an absolute path: ") + path);
    // Opening a missing file would create an empty database and fail later with "no
    // such table"; a wrong path is better named at once.
    if (path != QStringLiteral(":memory:") && !QFileInfo::exists(path))
        ThrowDatabaseError(QStringLiteral("The SQLite database file does not exist: ") + path);
    database.setDatabaseName(path);
    database.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
}

bool UsesWriteAheadLog(sqlite3* db) {
    sqlite3_stmt* mode = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &mode, nullptr) != SQLITE_OK) return false;
    const bool wal = sqlite3_step(mode) == SQLITE_ROW &&
                     qstricmp(reinterpret_cast<const char*>(sqlite3_column_text(mode, 0)), "wal") == 0;
    sqlite3_finalize(mode);
    return wal;
}

// Only settings of the connection: the file's own (its journal mode, page size,
// auto-vacuum) are the application's, which other programs share.
void SetUp(const QSqlDatabase& database, bool writeAheadLog) {
    // With a rollback journal every commit is synced (FULL), so what was committed
    // survives a power failure. In a write-ahead log NORMAL syncs at checkpoints, and
    // a connection checkpoints when it closes: a crash of the program loses no commit,
    // and the commits of a batch are synced on their own (see SqliteRewriteBatch).
    // The savepoint of a batch needs a statement journal: in memory it costs no file.
    // Reads are not memory-mapped: a connection that finds the database changed by
    // another one (the read connection, after every user's commit) unmaps the whole
    // file and faults every page in again, which costs more than reading the pages it
    // needs. 8 MiB of page cache keep the write connection's pages of USERNODE and its
    // index from one user to the next.
    const QString sync = writeAheadLog ? QStringLiteral("NORMAL") : QStringLiteral("FULL");
    for (const QString& pragma :
         {QStringLiteral("PRAGMA synchronous=") + sync, QStringLiteral("PRAGMA temp_store=MEMORY"),
          QStringLiteral("PRAGMA cache_size=-8192")})
        ExecuteThroughQt(database, pragma, QStringLiteral("Setting up the SQLite connection failed"));
}

}  // namespace

std::unique_ptr<Backend> OpenSqliteBackend(const ConnectionText& text, const QString& name) {
    const QString path = text.Value(QStringLiteral("Database"));
    QSqlDatabase database =
        OpenQtDatabase(QStringLiteral("QSQLITE"), name, [&](QSqlDatabase& db) { Configure(db, path); });
    auto* db = static_cast<sqlite3*>(DriverHandle(database, "sqlite3*"));
    if (!db) ThrowDatabaseError(QStringLiteral("The Qt SQL driver QSQLITE gives no SQLite handle"));
    auto backend = std::make_unique<SqliteBackend>(database, db, path);
    SetUp(database, backend->WriteAheadLog());
    return backend;
}

SqliteBackend::SqliteBackend(const QSqlDatabase& database, sqlite3* db, QString file)
    : Backend(database), m_handle(db), m_file(std::move(file)) {
    if (Reusable()) FileIdentity(m_file, m_device, m_inode);
    m_writeAheadLog = UsesWriteAheadLog(db);
}

bool SqliteBackend::Reusable() const {
    return m_file != QStringLiteral(":memory:");  // each connection is a database of its own
}

// A kept connection is used again only while it still reaches the same file: one
// deleted or replaced since needs a fresh connection (and then fails as a missing
// file does).
bool SqliteBackend::StillValid() const {
    if (!Backend::StillValid()) return false;
    quint64 device = 0, inode = 0;
    return FileIdentity(m_file, device, inode) && device == m_device && inode == m_inode;
}

bool SqliteBackend::HasOpenTransaction() {
    return !sqlite3_get_autocommit(m_handle.get());
}

void SqliteBackend::ForgetStatements() noexcept {
    Backend::ForgetStatements();
    m_handle.FinalizeAll();
}

void SqliteBackend::Close() noexcept {
    m_handle.FinalizeAll();
    // In a write-ahead log the checkpoint here syncs the log and copies it into the
    // database, so that what this connection committed is on disk by the time it is
    // closed, even while the application keeps the database open.
    if (m_writeAheadLog)
        sqlite3_wal_checkpoint_v2(m_handle.get(), nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    Backend::Close();
}

// Statements that only change rows go to the handle, so each user's delete is
// prepared once; anything else goes through Qt, which knows of it.
void SqliteBackend::Execute(const QString& sql, bool rowsOnly) {
    if (rowsOnly) return m_handle.Execute(sql);
    ExecuteThroughQt(m_database, RewriteTSql(sql, kSqliteDialect), QStringLiteral("Execute failed"));
}

std::unique_ptr<component::RowStream> SqliteBackend::NewRowStream(
    const std::shared_ptr<ConnectionState>& state, const QString& sql) {
    return NewSqliteCopyRowStream(state, sql);
}

std::unique_ptr<component::RewriteBatch> SqliteBackend::NewRewriteBatch(
    const std::shared_ptr<ConnectionState>& state, const QString& table, const QStringList& columns) {
    return NewSqliteRewriteBatch(state, *this, table, columns);
}

std::unique_ptr<component::UpdatableRecordset> SqliteBackend::NewBatchRecordset(
    const std::shared_ptr<ConnectionState>& state, QString table, QStringList columns) {
    return NewSqliteBatchRecordset(state, *this, std::move(table), std::move(columns));
}

}  // namespace zarvik::db
