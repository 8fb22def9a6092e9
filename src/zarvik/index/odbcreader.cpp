// Reads the documents of an ODBC data source through Qt SQL.
#include "zarvik/index/documentreaders.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUuid>
#include <atomic>

namespace zarvik::index {
namespace {

// --- ODBC, through Qt SQL -----------------------------------------------------------

class OdbcReader final : public DocumentReader {
public:
    OdbcReader(const db::ConnectionText& ct, const QString& query)
        : m_query(query),
          m_name(QStringLiteral("zarvik-documents-") + QUuid::createUuid().toString(QUuid::Id128)) {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QODBC"), m_name);
        db.setDatabaseName(ct.odbcText);
        if (!db.open()) {
            const QString why = db.lastError().text();
            Fail(QStringLiteral("Unable to open the document database: %1").arg(why));
        }
    }
    ~OdbcReader() override {
        {
            m_rows = QSqlQuery();
            QSqlDatabase db = QSqlDatabase::database(m_name, false);
            db.close();
        }
        QSqlDatabase::removeDatabase(m_name);
    }

    std::int64_t Count() override {
        QSqlQuery q(Db());
        q.setForwardOnly(true);
        if (!q.exec(CountQuery(m_query)) || !q.next())
            Fail(QStringLiteral("Counting the documents failed: %1").arg(q.lastError().text()));
        return q.value(0).toLongLong();
    }

    void Start() override {
        m_rows = QSqlQuery(Db());
        m_rows.setForwardOnly(true);
        if (!m_rows.exec(m_query))
            Fail(QStringLiteral("The document query failed: %1").arg(m_rows.lastError().text()));
        const QSqlRecord record = m_rows.record();
        for (int i = 0; i < record.count(); ++i) m_names << record.fieldName(i);
    }

    QStringList ColumnNames() const override { return m_names; }

    bool Read(Batch& batch, int maxRows, std::size_t maxBytes) override {
        const int columns = int(m_names.size());
        batch.columns = columns;
        while (batch.rows < maxRows && batch.bytes.size() < maxBytes) {
            if (!m_rows.next()) {
                if (m_rows.lastError().isValid())
                    Fail(QStringLiteral("Reading the documents failed: %1").arg(m_rows.lastError().text()));
                return false;
            }
            for (int c = 0; c < columns; ++c) Add(batch, m_rows.value(c));
            ++batch.rows;
        }
        return true;
    }

    bool Stopped() const override { return false; }
    // The ODBC driver gives no way to stop a statement from another thread; the
    // read stops at the next batch.
    void Interrupt() override {}

private:
    static void Add(Batch& batch, const QVariant& v) {
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

    QSqlDatabase Db() const { return QSqlDatabase::database(m_name, false); }

    QString m_query;
    QString m_name;
    QSqlQuery m_rows;
    QStringList m_names;
};


}  // namespace

std::unique_ptr<DocumentReader> OpenOdbcDocuments(const db::ConnectionText& connection, const QString& query) {
    return std::make_unique<OdbcReader>(connection, query);
}

}  // namespace zarvik::index
