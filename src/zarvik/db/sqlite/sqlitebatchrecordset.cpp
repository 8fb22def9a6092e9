// The updatable result on SQLite: its inserts bound and run on the handle.
#include <sqlite3.h>

#include "zarvik/db/batchrecordset.h"
#include "zarvik/db/insertrows.h"
#include "zarvik/db/sqlite/sqlitebackend.h"
#include "zarvik/db/sqlite/sqlitedialect.h"

namespace zarvik::db {
namespace {

class SqliteBatchRecordset final : public BatchRecordset {
public:
    SqliteBatchRecordset(std::shared_ptr<ConnectionState> state, SqliteHandle& handle, QString table,
                         QStringList columns)
        : BatchRecordset(std::move(state), std::move(table), std::move(columns)), m_handle(handle) {}

private:
    void Send(bool ownTransaction) override {
        const auto run = [this](const QString& statement) {
            m_handle.RunFixed(statement, QStringLiteral("UpdateBatch failed"));
        };
        SendFramed(
            ownTransaction, SavepointsOf(kSqliteDialect, QStringLiteral("zarvik_batch")), run, [this] {
                ForEachStatement([](const Row& row) { return row.empty() ? 1 : kRowsPerInsert; },
                                 [this](qsizetype first, qsizetype count) {
                                     SendRows(CachedInsertFor(m_pending[std::size_t(first)], count, false),
                                              first, count);
                                 });
            });
    }

    // The rows first .. first + chunk - 1 through a statement prepared on the handle
    // and kept with the connection.
    void SendRows(const QString& statement, qsizetype first, qsizetype chunk) {
        SqliteStatement prepared(m_handle, statement, true,
                                 QStringLiteral("UpdateBatch: preparing the insert failed"), statement);
        sqlite3_stmt* s = prepared.get();
        int position = 0;
        // Every row of a user carries the same user ID: its UTF-8 form is made once.
        QString lastText;
        QByteArray lastUtf8;
        for (qsizetype r = first; r < first + chunk; ++r)
            for (const auto& [index, value] : m_pending[std::size_t(r)]) {
                int rc = SQLITE_OK;
                if (value.typeId() == QMetaType::QString && !value.isNull()) {
                    const QString& text = *static_cast<const QString*>(value.constData());
                    // As BindSqlite binds it: a null text is an empty one.
                    if (lastText.isNull() || !text.isSharedWith(lastText)) {
                        lastText = text;
                        lastUtf8 = text.toUtf8();
                    }
                    rc = sqlite3_bind_text64(s, ++position, lastUtf8.constData(),
                                             sqlite3_uint64(lastUtf8.size()), SQLITE_TRANSIENT, SQLITE_UTF8);
                } else {
                    rc = BindSqlite(s, ++position, value);
                }
                if (rc != SQLITE_OK)
                    prepared.Throw(RowsFailed(first, chunk), QStringLiteral("Unable to bind parameters"));
            }
        if (sqlite3_step(s) != SQLITE_DONE)
            prepared.Throw(RowsFailed(first, chunk), QStringLiteral("Unable to fetch row"));
    }

    SqliteHandle& m_handle;
};

}  // namespace

std::unique_ptr<component::UpdatableRecordset> NewSqliteBatchRecordset(
    const std::shared_ptr<ConnectionState>& state, SqliteBackend& backend, QString table,
    QStringList columns) {
    return std::make_unique<SqliteBatchRecordset>(state, backend.Handle(), std::move(table),
                                                  std::move(columns));
}

}  // namespace zarvik::db
