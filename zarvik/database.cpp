// Connections over Qt SQL: opening by provider, statements, transactions.
#include "zarvik/database.h"

#include <QFileInfo>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <atomic>

#include "zarvik/connectiontext.h"
#include "zarvik/database_p.h"

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

class QtConnection final : public component::Connection {
public:
    explicit QtConnection(std::shared_ptr<ConnectionState> state) : m_state(std::move(state)) {}
    ~QtConnection() override { CloseQuietly(); }

    void Execute(const QString& sql) override {
        RequireOpen();
        const QString sent = RewriteTSql(sql, m_state->dialect);
        QSqlQuery query(m_state->database);
        if (!query.exec(sent)) ThrowDatabaseError(QStringLiteral("Execute failed"), query.lastError(), sent);
    }

    void BeginTrans() override {
        RequireOpen();
        if (m_state->inTransaction)
            ThrowDatabaseError(QStringLiteral("BeginTrans: a transaction is already open"));
        if (!m_state->database.transaction())
            ThrowDatabaseError(QStringLiteral("BeginTrans failed"), m_state->database.lastError(), {});
        m_state->inTransaction = true;
    }

    void CommitTrans() override {
        RequireOpen();
        if (!m_state->inTransaction)
            ThrowDatabaseError(QStringLiteral("CommitTrans: no transaction is open"));
        // On failure the transaction stays open so that the caller can roll it back.
        if (!m_state->database.commit())
            ThrowDatabaseError(QStringLiteral("CommitTrans failed"), m_state->database.lastError(), {});
        m_state->inTransaction = false;
    }

    void RollbackTrans() override {
        RequireOpen();
        if (!m_state->inTransaction)
            ThrowDatabaseError(QStringLiteral("RollbackTrans: no transaction is open"));
        m_state->inTransaction = false;
        if (!m_state->database.rollback())
            ThrowDatabaseError(QStringLiteral("RollbackTrans failed"), m_state->database.lastError(), {});
    }

    void Close() override { CloseQuietly(); }

    const std::shared_ptr<ConnectionState>& State() const { return m_state; }

private:
    void RequireOpen() const {
        if (!m_state->open) ThrowDatabaseError(QStringLiteral("The connection is closed"));
    }

    // Closing discards an uncommitted transaction, as the database itself would.
    void CloseQuietly() noexcept {
        if (!m_state->open) return;
        m_state->open = false;
        if (m_state->inTransaction) m_state->database.rollback();
        m_state->inTransaction = false;
        m_state->database.close();
        m_state->database = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_state->name);
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

std::unique_ptr<component::Connection> OpenConnection(const QString& connectionText) {
    const ConnectionText text = ParseConnectionText(connectionText);
    auto state = std::make_shared<ConnectionState>();
    state->name = NewConnectionName();
    const QString driver = DriverFor(text.provider);
    try {
        state->database = QSqlDatabase::addDatabase(driver, state->name);
        if (!state->database.isValid())
            ThrowDatabaseError(QStringLiteral("The Qt SQL driver %1 is not available").arg(driver));
        Configure(state->database, text);
        if (!state->database.open())
            ThrowDatabaseError(QStringLiteral("The database cannot be opened"), state->database.lastError(),
                               {});
        state->open = true;
        state->dialect = DialectOf(state->database);
        if (text.provider == Provider::SQLite) {
            // WAL lets the readers of a web application go on while USERNODE is rewritten.
            QSqlQuery wal(state->database);
            if (!wal.exec(QStringLiteral("PRAGMA journal_mode=WAL")))
                ThrowDatabaseError(QStringLiteral("Setting WAL mode failed"), wal.lastError(),
                                   QStringLiteral("PRAGMA journal_mode=WAL"));
        }
    } catch (const component::Error&) {
        state->database.close();
        state->database = QSqlDatabase();
        QSqlDatabase::removeDatabase(state->name);
        throw;
    }
    return std::make_unique<QtConnection>(std::move(state));
}

std::unique_ptr<component::Recordset> OpenRecordset(component::Connection& connection, const QString& sql) {
    return NewRecordset(StateOf(connection), sql);
}

std::unique_ptr<component::UpdatableRecordset> OpenUpdatableRecordset(component::Connection& connection,
                                                                      const QString& sql) {
    return NewUpdatableRecordset(StateOf(connection), sql);
}

}  // namespace zarvik::db
