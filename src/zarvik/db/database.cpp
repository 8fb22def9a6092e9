// Connections over Qt SQL: opening by provider, statements, transactions.
#include "zarvik/db/database.h"

#include <libpq-fe.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "zarvik/db/connectiontext.h"
#include "zarvik/db/database_p.h"
#include "zarvik/db/pgpipeline.h"
#include "zarvik/db/sqlitehandle.h"

namespace zarvik::db {

const QString kDatabaseSource = QStringLiteral("ZarvikIndexing.Database");

void ThrowDatabaseError(const QString& what, const QSqlError& error, const QString& statement) {
    QString description = what + QStringLiteral(": ") + error.text().trimmed();
    if (!statement.isEmpty()) description += QStringLiteral("\r\nStatement: ") + statement;
    throw component::Error(component::errnum::kDatabase, kDatabaseSource, description);
}

void ThrowDatabaseError(const QString& what) {
    throw component::Error(component::errnum::kDatabase, kDatabaseSource, what);
}

namespace {

QString NewConnectionName() {
    static std::atomic<quint64> counter{0};
    return QStringLiteral("zarvik.db.%1").arg(++counter);
}

QString DriverFor(Provider provider) {
    switch (provider) {
        case Provider::PostgreSQL:
            return QStringLiteral("QPSQL");
        case Provider::ODBC:
            return QStringLiteral("QODBC");
        case Provider::SQLite:
            break;
    }
    return QStringLiteral("QSQLITE");
}

// Qt names the database behind an ODBC driver only for some servers (not SQLite), so
// an unknown one is asked whether it is SQLite; everything else is taken as SQL Server.
Dialect DialectOf(QSqlDatabase& db) {
    switch (db.driver()->dbmsType()) {
        case QSqlDriver::SQLite:
            return Dialect::SQLite;
        case QSqlDriver::PostgreSQL:
            return Dialect::PostgreSQL;
        case QSqlDriver::UnknownDbms: {
            QSqlQuery probe(db);
            if (probe.exec(QStringLiteral("SELECT sqlite_version()")) && probe.next()) return Dialect::SQLite;
            return Dialect::SqlServer;
        }
        default:
            return Dialect::SqlServer;
    }
}

// A statement that changes rows and nothing else leaves no state on the connection
// that a later user of it could notice; anything else (transaction control, session
// settings, schema changes) makes the connection unfit for reuse.
bool ChangesOnlyRows(const QString& sql) {
    static const QRegularExpression rowsOnly(QStringLiteral(R"(^\s*(DELETE|INSERT|UPDATE)\b)"),
                                             QRegularExpression::CaseInsensitiveOption);
    return rowsOnly.match(sql).hasMatch();
}

void ClosePhysical(PhysicalConnection& physical) noexcept {
    physical.prepared.clear();
    FinalizeSqliteStatements(physical);
    // In WAL mode commits sync only at checkpoints (synchronous=NORMAL): the checkpoint here syncs
    // the log and copies it into the database, so that what this connection committed
    // is on disk by the time it is closed, even while the application keeps the
    // database open and no close of the last connection would checkpoint.
    if (physical.dialect == Dialect::SQLite)
        if (sqlite3* db = SqliteHandleOf(physical.database))
            sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    physical.database.close();
    physical.database = QSqlDatabase();
    QSqlDatabase::removeDatabase(physical.name);
}

bool FileIdentity(const QString& path, quint64& device, quint64& inode) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) return false;
    device = quint64(st.st_dev);
    inode = quint64(st.st_ino);
    return true;
}

// Whether the database has a transaction open on this connection, whoever opened it.
bool HasOpenTransaction(PhysicalConnection& physical) {
    if (physical.dialect == Dialect::PostgreSQL) {
        pg_conn* conn = PostgresHandleOf(physical.database);
        return !conn || PQtransactionStatus(conn) != PQTRANS_IDLE;
    }
    if (physical.dialect != Dialect::SQLite) return false;
    sqlite3* db = SqliteHandleOf(physical.database);
    if (!db) return true;
    return !sqlite3_get_autocommit(db);
}

// Physical connections kept for reuse, by connection text and thread (a Qt SQL
// connection belongs to the thread that opened it). The computation of USERNODE
// opens two connections per user while its user list stays open; opening a
// database is far dearer than the user's queries, most of all over TCP. A
// connection closed while an earlier connection of the same text is still open is
// kept and handed out, to one Connection at a time, by the next OpenConnection of
// that text; once no Connection of the text is open, the kept ones are closed, so
// nothing stays open behind the caller's back.
class ConnectionPool {
public:
    static ConnectionPool& Instance() {
        static ConnectionPool* pool = new ConnectionPool;  // never destroyed: used until exit
        return *pool;
    }

    // A kept connection of that text (or none) and the serial of the new Connection.
    std::shared_ptr<PhysicalConnection> Take(const QString& text, quint64& serial) {
        std::lock_guard lock(m_mutex);
        Family& family = m_families[Key(text)];
        serial = ++m_serial;
        family.open.insert(serial);
        if (family.idle.empty()) return nullptr;
        // The longest idle first: a caller that opens and closes its connections in
        // the same order each time gets the same one for the same part. The page
        // cache of a SQLite connection outlives only the commits of its own writes.
        auto physical = std::move(family.idle.front());
        family.idle.erase(family.idle.begin());
        return physical;
    }

    void Return(const QString& text, quint64 serial, std::shared_ptr<PhysicalConnection> physical) {
        std::vector<std::shared_ptr<PhysicalConnection>> closing;
        {
            std::lock_guard lock(m_mutex);
            const auto it = m_families.find(Key(text));
            if (it == m_families.end()) {
                closing.push_back(std::move(physical));
            } else {
                Family& family = it->second;
                family.open.erase(serial);
                const bool keep = physical && !family.open.empty() && *family.open.begin() < serial &&
                                  family.idle.size() < kKeptPerText;
                if (keep)
                    family.idle.push_back(std::move(physical));
                else
                    closing.push_back(std::move(physical));
                if (family.open.empty()) {
                    for (auto& idle : family.idle) closing.push_back(std::move(idle));
                    m_families.erase(it);
                }
            }
        }
        for (auto& c : closing)
            if (c) ClosePhysical(*c);
    }

private:
    static constexpr std::size_t kKeptPerText = 4;
    struct Family {
        std::set<quint64> open;  // serials of the Connections handed out
        std::vector<std::shared_ptr<PhysicalConnection>> idle;
    };
    using KeyType = std::pair<QString, Qt::HANDLE>;
    static KeyType Key(const QString& text) { return {text, QThread::currentThreadId()}; }

    std::mutex m_mutex;
    std::map<KeyType, Family> m_families;
    quint64 m_serial = 0;
};

// A connection that ends with no open transaction and no state of its own goes back
// to the pool; any other is closed.
void ReturnConnection(quint64 serial, std::shared_ptr<PhysicalConnection> physical) noexcept {
    if (!physical) return;
    const QString text = physical->text;
    bool fit = physical->reusable && physical->database.isOpen();
    if (fit && HasOpenTransaction(*physical)) {
        QSqlQuery(physical->database).exec(QStringLiteral("ROLLBACK"));
        fit = false;
    }
    if (!fit) {
        ClosePhysical(*physical);
        physical.reset();
    }
    ConnectionPool::Instance().Return(text, serial, std::move(physical));
}

class QtConnection final : public component::Connection {
public:
    explicit QtConnection(std::shared_ptr<ConnectionState> state) : m_state(std::move(state)) {}
    ~QtConnection() override { CloseQuietly(); }

    void Execute(const QString& sql) override {
        RequireOpen();
        const bool rowsOnly = ChangesOnlyRows(sql);
        if (!rowsOnly) {
            m_state->physical->reusable = false;
            // A schema change may leave the kept statements and insert texts of this
            // connection describing tables that are no longer so.
            ForgetPreparedStatements(*m_state->physical);
        }
        // Statements that only change rows go to the SQLite or libpq handle: each
        // user's delete is then prepared once. Anything else goes through Qt, which
        // knows of it.
        if (rowsOnly && m_state->dialect == Dialect::SQLite)
            if (sqlite3* db = SqliteHandleOf(m_state->database))
                return ExecuteSqlite(*m_state->physical, db, sql);
        if (rowsOnly && m_state->dialect == Dialect::PostgreSQL)
            if (pg_conn* conn = PostgresHandleOf(m_state->database))
                return ExecutePostgres(*m_state->physical, conn, sql);
        if (m_state->dialect == Dialect::PostgreSQL)
            if (pg_conn* conn = PostgresHandleOf(m_state->database))
                SendPendingBegin(*m_state->physical, conn);
        const QString sent = RewriteTSql(sql, m_state->dialect);
        QSqlQuery query(m_state->database);
        if (!query.exec(sent)) ThrowDatabaseError(QStringLiteral("Execute failed"), query.lastError(), sent);
    }

    void BeginTrans() override {
        RequireOpen();
        if (m_state->inTransaction)
            ThrowDatabaseError(QStringLiteral("BeginTrans: a transaction is already open"));
        if (!OnNativeHandle(QStringLiteral("BEGIN"), QStringLiteral("BeginTrans failed")) &&
            !m_state->database.transaction())
            ThrowDatabaseError(QStringLiteral("BeginTrans failed"), m_state->database.lastError(), {});
        m_state->inTransaction = true;
    }

    void CommitTrans() override {
        RequireOpen();
        if (!m_state->inTransaction)
            ThrowDatabaseError(QStringLiteral("CommitTrans: no transaction is open"));
        // On failure the transaction stays open so that the caller can roll it back.
        if (!OnNativeHandle(QStringLiteral("COMMIT"), QStringLiteral("CommitTrans failed")) &&
            !m_state->database.commit())
            ThrowDatabaseError(QStringLiteral("CommitTrans failed"), m_state->database.lastError(), {});
        m_state->inTransaction = false;
    }

    void RollbackTrans() override {
        RequireOpen();
        if (!m_state->inTransaction)
            ThrowDatabaseError(QStringLiteral("RollbackTrans: no transaction is open"));
        m_state->inTransaction = false;
        if (!OnNativeHandle(QStringLiteral("ROLLBACK"), QStringLiteral("RollbackTrans failed")) &&
            !m_state->database.rollback())
            ThrowDatabaseError(QStringLiteral("RollbackTrans failed"), m_state->database.lastError(), {});
    }

    // The statements Qt would send for a transaction, on the SQLite handle (prepared
    // once per connection: there is a transaction per user) or the libpq one. False
    // where Qt must send them.
    bool OnNativeHandle(const QString& statement, const QString& what) {
        if (m_state->dialect == Dialect::PostgreSQL) {
            pg_conn* conn = PostgresHandleOf(m_state->database);
            if (!conn) return false;
            if (statement == QLatin1String("BEGIN"))
                BeginPostgres(*m_state->physical);
            else
                EndPostgres(*m_state->physical, conn, statement == QLatin1String("COMMIT"), what);
            return true;
        }
        if (m_state->dialect != Dialect::SQLite) return false;
        sqlite3* db = SqliteHandleOf(m_state->database);
        if (!db) return false;
        RunFixedSqlite(*m_state->physical, db, statement, what);
        return true;
    }

    void Close() override { CloseQuietly(); }

    const std::shared_ptr<ConnectionState>& State() const { return m_state; }

private:
    void RequireOpen() const { db::RequireOpen(*m_state); }

    // Closing discards an uncommitted transaction, as the database itself would.
    void CloseQuietly() noexcept {
        if (!m_state->open) return;
        m_state->open = false;
        if (m_state->inTransaction && !std::exchange(m_state->physical->pgBeginPending, false))
            m_state->database.rollback();
        m_state->inTransaction = false;
        m_state->database = QSqlDatabase();
        ReturnConnection(m_state->serial, std::exchange(m_state->physical, nullptr));
    }

    std::shared_ptr<ConnectionState> m_state;
};

void Configure(QSqlDatabase& db, const ConnectionText& text) {
    switch (text.provider) {
        case Provider::SQLite: {
            const QString path = text.Value(QStringLiteral("Database"));
            if (path.isEmpty()) ThrowDatabaseError(QStringLiteral("The connection text names no Database"));
            // Opening a missing file would create an empty database and fail later
            // with "no such table"; a wrong path is better named at once.
            if (path != QStringLiteral(":memory:") && !QFileInfo::exists(path))
                ThrowDatabaseError(QStringLiteral("The SQLite database file does not exist: ") + path);
            db.setDatabaseName(path);
            db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
            break;
        }
        case Provider::PostgreSQL: {
            db.setHostName(text.Value(QStringLiteral("Host")));
            const QString port = text.Value(QStringLiteral("Port"));
            if (!port.isEmpty()) {
                bool ok = false;
                const int number = port.toInt(&ok);
                if (!ok || number <= 0 || number > 65535)
                    ThrowDatabaseError(QStringLiteral("The connection text has an invalid Port: ") + port);
                db.setPort(number);
            }
            db.setDatabaseName(text.Value(QStringLiteral("Database")));
            db.setUserName(text.Value(QStringLiteral("User")));
            db.setPassword(text.Value(QStringLiteral("Password")));
            db.setConnectOptions(QStringLiteral("connect_timeout=10"));
            break;
        }
        case Provider::ODBC:
            db.setDatabaseName(text.odbcText);
            break;
    }
}

std::shared_ptr<ConnectionState> StateOf(component::Connection& connection) {
    auto* ours = dynamic_cast<QtConnection*>(&connection);
    if (!ours)
        throw component::Error(component::errnum::kInvalidArgument, kDatabaseSource,
                               QStringLiteral("The connection was not opened by this library"));
    if (!ours->State()->open)
        throw component::Error(component::errnum::kInvalidArgument, kDatabaseSource,
                               QStringLiteral("The connection is closed"));
    return ours->State();
}

}  // namespace

namespace {

// Per-connection settings only; nothing that persists in the file.
void SetUpSqlite(PhysicalConnection& physical) {
    // The journal mode is the database owner's choice and persists in the file:
    // it is read, never set. In WAL mode NORMAL syncs at checkpoints rather than
    // at every commit, and a connection checkpoints when it closes: a crash of
    // the program loses no commit, a power failure only the commits of
    // connections still open, and never corrupts the database. With a rollback
    // journal only FULL keeps a power failure from corrupting the file, and every
    // commit is then on disk when it returns.
    // The savepoint of a batch needs a statement journal: in memory it costs no
    // file. Reads are not memory-mapped: a connection that finds the database
    // changed by another one (the read connection, after every user's commit)
    // unmaps the whole file and faults every page in again, which costs more
    // than reading the pages it needs. 8 MiB of page cache keep the write
    // connection's pages of USERNODE and its index from one user to the next.
    {
        QSqlQuery mode(physical.database);
        if (!mode.exec(QStringLiteral("PRAGMA journal_mode")) || !mode.next())
            ThrowDatabaseError(QStringLiteral("Setting up the SQLite connection failed"), mode.lastError(),
                               QStringLiteral("PRAGMA journal_mode"));
        physical.sqliteSynchronous =
            mode.value(0).toString().compare(QStringLiteral("wal"), Qt::CaseInsensitive) == 0
                ? QStringLiteral("NORMAL")
                : QStringLiteral("FULL");
    }
    for (const QString& pragma :
         {QStringLiteral("PRAGMA synchronous=") + physical.sqliteSynchronous,
          QStringLiteral("PRAGMA temp_store=MEMORY"), QStringLiteral("PRAGMA cache_size=-8192")}) {
        QSqlQuery query(physical.database);
        if (!query.exec(pragma))
            ThrowDatabaseError(QStringLiteral("Setting up the SQLite connection failed"), query.lastError(),
                               pragma);
    }
}

std::shared_ptr<PhysicalConnection> OpenPhysical(const QString& connectionText) {
    const ConnectionText text = ParseConnectionText(connectionText);
    auto physical = std::make_shared<PhysicalConnection>();
    physical->name = NewConnectionName();
    physical->text = connectionText;
    const QString driver = DriverFor(text.provider);
    try {
        physical->database = QSqlDatabase::addDatabase(driver, physical->name);
        if (!physical->database.isValid())
            ThrowDatabaseError(QStringLiteral("The Qt SQL driver %1 is not available").arg(driver));
        Configure(physical->database, text);
        if (!physical->database.open())
            ThrowDatabaseError(QStringLiteral("The database cannot be opened"),
                               physical->database.lastError(), {});
        physical->dialect = DialectOf(physical->database);
        if (text.provider == Provider::SQLite) {
            SetUpSqlite(*physical);
            physical->sqliteFile = text.Value(QStringLiteral("Database"));
            if (physical->sqliteFile == QStringLiteral(":memory:"))
                physical->reusable = false;  // each connection is a database of its own
            else
                FileIdentity(physical->sqliteFile, physical->device, physical->inode);
        } else if (text.provider == Provider::ODBC) {
            physical->reusable = false;  // the state of an ODBC session cannot be checked
        }
    } catch (const component::Error&) {
        ClosePhysical(*physical);
        throw;
    }
    return physical;
}

// A kept connection is used again only while it still reaches the same database:
// a SQLite file deleted or replaced since needs a fresh connection (and then fails
// as a missing file does).
bool StillValid(const PhysicalConnection& physical) {
    if (!physical.database.isOpen()) return false;
    if (physical.sqliteFile.isEmpty()) return true;
    quint64 device = 0, inode = 0;
    return FileIdentity(physical.sqliteFile, device, inode) && device == physical.device &&
           inode == physical.inode;
}

}  // namespace

void* DriverHandle(const QSqlDatabase& database, const char* typeName) {
    const QSqlDriver* driver = database.driver();
    if (!driver) return nullptr;
    const QVariant handle = driver->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), typeName) != 0) return nullptr;
    return *static_cast<void* const*>(handle.constData());
}

sqlite3* SqliteHandleOf(const QSqlDatabase& database) {
    return static_cast<sqlite3*>(DriverHandle(database, "sqlite3*"));
}

void ForgetPreparedStatements(PhysicalConnection& physical) noexcept {
    FinalizeSqliteStatements(physical);
    physical.insertTexts.clear();
    // The server keeps the statements until the connection closes; their names are
    // never given again.
    physical.pgPrepared.clear();
}

void FinalizeSqliteStatements(PhysicalConnection& physical) noexcept {
    for (sqlite3_stmt* statement : std::as_const(physical.sqlitePrepared)) sqlite3_finalize(statement);
    physical.sqlitePrepared.clear();
}

std::unique_ptr<component::Connection> OpenConnection(const QString& connectionText) {
    quint64 serial = 0;
    std::shared_ptr<PhysicalConnection> physical = ConnectionPool::Instance().Take(connectionText, serial);
    try {
        if (physical && !StillValid(*physical)) {
            ClosePhysical(*physical);
            physical.reset();
        }
        if (!physical) physical = OpenPhysical(connectionText);
    } catch (...) {
        ConnectionPool::Instance().Return(connectionText, serial, nullptr);
        throw;
    }
    auto state = std::make_shared<ConnectionState>();
    state->name = physical->name;
    state->database = physical->database;
    state->dialect = physical->dialect;
    state->open = true;
    state->serial = serial;
    state->physical = std::move(physical);
    return std::make_unique<QtConnection>(std::move(state));
}

std::unique_ptr<component::Recordset> OpenRecordset(component::Connection& connection, const QString& sql) {
    return NewRecordset(StateOf(connection), sql);
}

std::unique_ptr<component::UpdatableRecordset> OpenUpdatableRecordset(component::Connection& connection,
                                                                      const QString& sql) {
    return NewUpdatableRecordset(StateOf(connection), sql);
}

std::unique_ptr<component::RowStream> OpenRowStream(component::Connection& connection, const QString& sql) {
    return NewRowStream(StateOf(connection), sql);
}

std::unique_ptr<component::RewriteBatch> OpenRewriteBatch(component::Connection& connection,
                                                          const QString& table, const QStringList& columns) {
    return NewRewriteBatch(StateOf(connection), table, columns);
}

}  // namespace zarvik::db
