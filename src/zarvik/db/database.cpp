// Connections: handed out from the pool, statements and transactions passed to the
// backend that serves them.
#include "zarvik/db/database.h"

#include <QRegularExpression>
#include <QSqlError>

#include "zarvik/db/backend.h"
#include "zarvik/db/connectionpool.h"
#include "zarvik/db/recordset.h"

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

// A statement that changes rows and nothing else leaves no state on the connection
// that a later user of it could notice; anything else (transaction control, session
// settings, schema changes) makes the connection unfit for reuse.
bool ChangesOnlyRows(const QString& sql) {
    static const QRegularExpression rowsOnly(QStringLiteral(R"(^\s*(DELETE|INSERT|UPDATE)\b)"),
                                             QRegularExpression::CaseInsensitiveOption);
    return rowsOnly.match(sql).hasMatch();
}

class QtConnection final : public component::Connection {
public:
    explicit QtConnection(std::shared_ptr<ConnectionState> state) : m_state(std::move(state)) {}
    ~QtConnection() override { CloseQuietly(); }

    void Execute(const QString& sql) override {
        RequireOpen(*m_state);
        const bool rowsOnly = ChangesOnlyRows(sql);
        if (!rowsOnly) {
            m_state->physical->reusable = false;
            m_state->backend().ForgetStatements();
        }
        m_state->backend().Execute(sql, rowsOnly);
    }

    void BeginTrans() override {
        RequireOpen(*m_state);
        if (m_state->inTransaction)
            ThrowDatabaseError(QStringLiteral("BeginTrans: a transaction is already open"));
        m_state->backend().Begin(QStringLiteral("BeginTrans failed"));
        m_state->inTransaction = true;
    }

    void CommitTrans() override {
        RequireOpen(*m_state);
        if (!m_state->inTransaction)
            ThrowDatabaseError(QStringLiteral("CommitTrans: no transaction is open"));
        // On failure the transaction stays open so that the caller can roll it back.
        m_state->backend().Commit(QStringLiteral("CommitTrans failed"));
        m_state->inTransaction = false;
    }

    void RollbackTrans() override {
        RequireOpen(*m_state);
        if (!m_state->inTransaction)
            ThrowDatabaseError(QStringLiteral("RollbackTrans: no transaction is open"));
        m_state->inTransaction = false;
        m_state->backend().Rollback(QStringLiteral("RollbackTrans failed"));
    }

    void Close() override { CloseQuietly(); }

    const std::shared_ptr<ConnectionState>& State() const { return m_state; }

private:
    // Closing discards an uncommitted transaction, as the database itself would.
    void CloseQuietly() noexcept {
        if (!m_state->open) return;
        m_state->open = false;
        if (m_state->inTransaction) m_state->backend().DiscardTransaction();
        m_state->inTransaction = false;
        m_state->database = QSqlDatabase();
        ReturnConnection(m_state->serial, std::exchange(m_state->physical, nullptr));
    }

    std::shared_ptr<ConnectionState> m_state;
};

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
    auto state = std::make_shared<ConnectionState>();
    state->physical = TakeConnection(connectionText, state->serial);
    state->database = state->physical->backend->Database();
    state->open = true;
    return std::make_unique<QtConnection>(std::move(state));
}

std::unique_ptr<component::Recordset> OpenRecordset(component::Connection& connection, const QString& sql) {
    const std::shared_ptr<ConnectionState> state = StateOf(connection);
    QStringList columns;
    QList<QVariantList> byColumn;
    state->backend().Read(sql, columns, byColumn);
    return NewMemoryRecordset(std::move(columns), std::move(byColumn));
}

std::unique_ptr<component::UpdatableRecordset> OpenUpdatableRecordset(component::Connection& connection,
                                                                      const QString& sql) {
    const std::shared_ptr<ConnectionState> state = StateOf(connection);
    QString table = TargetTable(sql);
    return state->backend().NewBatchRecordset(state, std::move(table), state->backend().Columns(sql));
}

std::unique_ptr<component::RowStream> OpenRowStream(component::Connection& connection, const QString& sql) {
    const std::shared_ptr<ConnectionState> state = StateOf(connection);
    return state->backend().NewRowStream(state, sql);
}

std::unique_ptr<component::RewriteBatch> OpenRewriteBatch(component::Connection& connection,
                                                          const QString& table, const QStringList& columns) {
    const std::shared_ptr<ConnectionState> state = StateOf(connection);
    RequireRewritableTable(table, columns);
    return state->backend().NewRewriteBatch(state, table, columns);
}

}  // namespace zarvik::db
