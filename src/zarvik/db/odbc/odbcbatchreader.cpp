// The index build's reading of an ODBC data source, a forward-only Qt SQL query.
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

#include "zarvik/db/batchreader.h"
#include "zarvik/db/database_p.h"
#include "zarvik/db/odbc/odbcbackend.h"

namespace zarvik::db {
namespace {

void AddValue(Batch& batch, const QVariant& v) {
    if (v.isNull()) return batch.AddNull();
    switch (v.typeId()) {
        case QMetaType::Int:
        case QMetaType::LongLong:
        case QMetaType::Short:
        case QMetaType::UInt:
        case QMetaType::UShort:
        case QMetaType::Bool:
            return batch.AddInteger(v.toLongLong());
        case QMetaType::Double:
        case QMetaType::Float:
            return batch.AddFloat(v.toDouble());
        case QMetaType::QByteArray: {
            const QByteArray b = v.toByteArray();
            return batch.AddBytes(Value::Type::kBlob, b.constData(), std::size_t(b.size()));
        }
        default: {
            const QByteArray t = v.toString().toUtf8();
            return batch.AddBytes(Value::Type::kText, t.constData(), std::size_t(t.size()));
        }
    }
}

class OdbcBatchReader final : public BatchReader {
public:
    OdbcBatchReader(const QSqlDatabase& database, const QString& query)
        : m_database(database), m_query(query), m_rows(database) {}

    std::int64_t Count() override {
        QSqlQuery q(m_database);
        q.setForwardOnly(true);
        if (!q.exec(CountQuery(m_query)) || !q.next())
            ThrowDatabaseError(QStringLiteral("Counting the documents failed"), q.lastError(), {});
        return q.value(0).toLongLong();
    }

    void Start() override {
        m_rows.setForwardOnly(true);
        if (!m_rows.exec(m_query))
            ThrowDatabaseError(QStringLiteral("The document query failed"), m_rows.lastError(), {});
        const QSqlRecord record = m_rows.record();
        for (int i = 0; i < record.count(); ++i) m_names << record.fieldName(i);
    }

    QStringList ColumnNames() const override { return m_names; }

    bool Read(Batch& batch, int maxRows, std::size_t maxBytes) override {
        const int columns = int(m_names.size());
        batch.columns = columns;
        while (!batch.Full(maxRows, maxBytes)) {
            if (!m_rows.next()) {
                if (m_rows.lastError().isValid())
                    ThrowDatabaseError(QStringLiteral("Reading the documents failed"), m_rows.lastError(),
                                       {});
                return false;
            }
            for (int c = 0; c < columns; ++c) AddValue(batch, m_rows.value(c));
            ++batch.rows;
        }
        return true;
    }

    bool Stopped() const override { return false; }
    // The ODBC driver gives no way to stop a statement from another thread; the
    // read stops at the next batch.
    void Interrupt() override {}

private:
    QSqlDatabase m_database;
    QString m_query;
    QSqlQuery m_rows;
    QStringList m_names;
};

}  // namespace

std::unique_ptr<BatchReader> OdbcBackend::NewBatchReader(const QString& query, Heartbeat) {
    return std::make_unique<OdbcBatchReader>(m_database, query);
}

}  // namespace zarvik::db
