// A row stream over PostgreSQL, read as the caller asks for the rows.
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

#include "zarvik/db/pg/pgbackend.h"
#include "zarvik/db/pg/pgdialect.h"
#include "zarvik/db/recordset.h"
#include "zarvik/db/tsql.h"

namespace zarvik::db {
namespace {

// Rows read from the driver as they are asked for: Qt's PostgreSQL driver reads a
// forward-only result row by row.
class QueryRowStream final : public component::RowStream {
public:
    QueryRowStream(std::shared_ptr<ConnectionState> state, const QString& sql)
        : m_state(std::move(state)), m_sent(RewriteTSql(sql, kPgDialect)), m_query(m_state->database) {
        m_query.setForwardOnly(true);
        if (!m_query.exec(m_sent))
            ThrowDatabaseError(QStringLiteral("The query failed"), m_query.lastError(), m_sent);
        m_columns = m_query.record().count();
    }

    bool Next(QVariantList& row) override {
        RequireOpen(*m_state);
        if (m_done) return false;
        if (NextRow(m_query, m_columns, m_sent, m_done, row)) return true;
        m_query.finish();
        return false;
    }

private:
    std::shared_ptr<ConnectionState> m_state;
    QString m_sent;
    QSqlQuery m_query;
    int m_columns = 0;
    bool m_done = false;
};

}  // namespace

std::unique_ptr<component::RowStream> NewPgRowStream(const std::shared_ptr<ConnectionState>& state,
                                                     const QString& sql) {
    return std::make_unique<QueryRowStream>(state, sql);
}

}  // namespace zarvik::db
