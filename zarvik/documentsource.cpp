// Streams the rows of a document query for the index builder.
#include "zarvik/documentsource.h"

#include "zarvik/connectiontext.h"

#include <sqlite3.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUuid>
#include <exception>

#include "component/error.h"

namespace zarvik::docsource {
namespace {

const QString kSource = QStringLiteral("ZarvikIndexing.IndexBuilder");

[[noreturn]] void Fail(const QString& message) {
    throw component::Error(component::errnum::kDatabase, kSource, message);
}

// A query copied into a subquery must not end in ';'.
QString TrimQuery(const QString& query) {
    QString q = query.trimmed();
    while (q.endsWith(QLatin1Char(';'))) q = q.chopped(1).trimmed();
    return q;
}

QString CountQuery(const QString& query) {
    return QStringLiteral("SELECT COUNT(*) FROM (%1) AS lumora_documents").arg(query);
}

// --- SQLite, through the C API: no per-row conversion ---------------------------

class SqliteReader final : public DocumentReader {
public:
    SqliteReader(const QString& path, const QString& query, Heartbeat heartbeat)
        : m_query(query), m_heartbeat(std::move(heartbeat)) {
        const QByteArray file = path.toUtf8();
        // Read-only: a misspelt path must not leave an empty database behind.
        const int rc = sqlite3_open_v2(file.constData(), &m_db, SQLITE_OPEN_READONLY, nullptr);
        if (rc != SQLITE_OK) {
            const QString why =
                m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QString::fromUtf8(sqlite3_errstr(rc));
            // A failed open still hands out a handle, and no destructor runs for an
            // object whose constructor throws.
            sqlite3_close(m_db);
            m_db = nullptr;
            Fail(QStringLiteral("Unable to open the document database %1: %2").arg(path, why));
        }
        // A writer of the application may hold the database for a moment.
        sqlite3_busy_timeout(m_db, 10000);
        sqlite3_progress_handler(m_db, 2000, &SqliteReader::Progress, this);
    }
    ~SqliteReader() override {
        sqlite3_finalize(m_stmt);
        sqlite3_close(m_db);
    }

    std::int64_t Count() override {
        sqlite3_stmt* stmt = Prepare(CountQuery(m_query));
        const int rc = Step(stmt);
        const std::int64_t n = rc == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : -1;
        sqlite3_finalize(stmt);
        if (rc == SQLITE_ROW) return n;
        if (m_stopped) return -1;
        Fail(
            QStringLiteral("Counting the documents failed: %1").arg(QString::fromUtf8(sqlite3_errmsg(m_db))));
    }

    void Start() override { m_stmt = Prepare(m_query); }

    QStringList ColumnNames() const override {
        QStringList names;
        for (int i = 0; i < sqlite3_column_count(m_stmt); ++i)
            names << QString::fromUtf8(sqlite3_column_name(m_stmt, i));
        return names;
    }

    bool Next() override {
        const int rc = Step(m_stmt);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE || m_stopped) return false;
        Fail(QStringLiteral("Reading the documents failed: %1").arg(QString::fromUtf8(sqlite3_errmsg(m_db))));
    }

    bool Stopped() const override { return m_stopped; }

    int Bind(sqlite3_stmt* statement, int parameter, int column) override {
        // The row's text stays valid until the next step of the query, and the insert
        // that uses it runs before that, so it need not be copied.
        switch (sqlite3_column_type(m_stmt, column)) {
            case SQLITE_INTEGER:
                return sqlite3_bind_int64(statement, parameter, sqlite3_column_int64(m_stmt, column));
            case SQLITE_FLOAT:
                return sqlite3_bind_double(statement, parameter, sqlite3_column_double(m_stmt, column));
            case SQLITE_NULL:
                return sqlite3_bind_null(statement, parameter);
            case SQLITE_BLOB:
                return sqlite3_bind_blob(statement, parameter, sqlite3_column_blob(m_stmt, column),
                                         sqlite3_column_bytes(m_stmt, column), SQLITE_STATIC);
            default: {
                const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, column));
                return sqlite3_bind_text(statement, parameter, text, sqlite3_column_bytes(m_stmt, column),
                                         SQLITE_STATIC);
            }
        }
    }

private:
    sqlite3_stmt* Prepare(const QString& sql) {
        const QByteArray text = sql.toUtf8();
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(m_db, text.constData(), int(text.size()), &stmt, nullptr) != SQLITE_OK)
            Fail(
                QStringLiteral("The document query failed: %1").arg(QString::fromUtf8(sqlite3_errmsg(m_db))));
        return stmt;
    }

    int Step(sqlite3_stmt* stmt) {
        const int rc = sqlite3_step(stmt);
        if (m_pending) std::rethrow_exception(std::exchange(m_pending, nullptr));
        return rc;
    }

    // Runs inside sqlite3_step: an exception must not cross the C library, so it is
    // kept and raised again once the step has returned.
    static int Progress(void* self) {
        auto* reader = static_cast<SqliteReader*>(self);
        if (!reader->m_heartbeat) return 0;
        try {
            if (reader->m_heartbeat()) return 0;
            reader->m_stopped = true;
        } catch (...) {
            reader->m_pending = std::current_exception();
        }
        return 1;
    }

    QString m_query;
    Heartbeat m_heartbeat;
    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_stmt = nullptr;
    bool m_stopped = false;
    std::exception_ptr m_pending;
};

// --- PostgreSQL and ODBC, through Qt SQL ----------------------------------------

class QtSqlReader final : public DocumentReader {
public:
    QtSqlReader(const ConnectionText& ct, const QString& query)
        : m_query(query),
          m_cursor(ct.provider == Provider::kPostgreSQL),
          m_name(QStringLiteral("zarvik-documents-") + QUuid::createUuid().toString(QUuid::Id128)) {
        QSqlDatabase db =
            QSqlDatabase::addDatabase(m_cursor ? QStringLiteral("QPSQL") : QStringLiteral("QODBC"), m_name);
        if (m_cursor) {
            db.setHostName(ct.host);
            if (ct.port > 0) db.setPort(ct.port);
            db.setDatabaseName(ct.database);
            db.setUserName(ct.user);
            db.setPassword(ct.password);
        } else {
            db.setDatabaseName(ct.odbc);
        }
        if (!db.open()) {
            const QString why = db.lastError().text();
            Fail(QStringLiteral("Unable to open the document database: %1").arg(why));
        }
    }
    ~QtSqlReader() override {
        {
            m_rows = QSqlQuery();
            QSqlDatabase db = QSqlDatabase::database(m_name, false);
            if (m_inTransaction) db.rollback();
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
        if (m_cursor) {
            // QPSQL reads a whole result into memory; a server-side cursor read in
            // slices keeps memory flat however many documents there are.
            QSqlDatabase db = Db();
            if (!db.transaction())
                Fail(QStringLiteral("Unable to start reading: %1").arg(db.lastError().text()));
            m_inTransaction = true;
            QSqlQuery declare(db);
            if (!declare.exec(QStringLiteral("DECLARE lumora_documents NO SCROLL CURSOR FOR ") + m_query))
                Fail(QStringLiteral("The document query failed: %1").arg(declare.lastError().text()));
            FetchSlice();
        } else {
            m_rows = QSqlQuery(Db());
            m_rows.setForwardOnly(true);
            if (!m_rows.exec(m_query))
                Fail(QStringLiteral("The document query failed: %1").arg(m_rows.lastError().text()));
        }
        const QSqlRecord record = m_rows.record();
        for (int i = 0; i < record.count(); ++i) m_names << record.fieldName(i);
    }

    QStringList ColumnNames() const override { return m_names; }

    bool Next() override {
        if (m_rows.next()) {
            ++m_sliceRows;
            return true;
        }
        if (m_rows.lastError().isValid())
            Fail(QStringLiteral("Reading the documents failed: %1").arg(m_rows.lastError().text()));
        if (!m_cursor || m_sliceRows < kSlice) return false;
        FetchSlice();
        return Next();
    }

    bool Stopped() const override { return false; }

    int Bind(sqlite3_stmt* statement, int parameter, int column) override {
        const QVariant v = m_rows.value(column);
        if (v.isNull()) return sqlite3_bind_null(statement, parameter);
        switch (v.typeId()) {
            case QMetaType::Int:
            case QMetaType::LongLong:
            case QMetaType::Short:
            case QMetaType::UInt:
            case QMetaType::UShort:
            case QMetaType::Bool:
                return sqlite3_bind_int64(statement, parameter, v.toLongLong());
            case QMetaType::Double:
            case QMetaType::Float:
                return sqlite3_bind_double(statement, parameter, v.toDouble());
            case QMetaType::QByteArray: {
                const QByteArray b = v.toByteArray();
                return sqlite3_bind_blob(statement, parameter, b.constData(), int(b.size()),
                                         SQLITE_TRANSIENT);
            }
            default: {
                const QByteArray t = v.toString().toUtf8();
                return sqlite3_bind_text(statement, parameter, t.constData(), int(t.size()),
                                         SQLITE_TRANSIENT);
            }
        }
    }

private:
    static constexpr int kSlice = 1000;

    QSqlDatabase Db() const { return QSqlDatabase::database(m_name, false); }

    void FetchSlice() {
        m_rows = QSqlQuery(Db());
        m_rows.setForwardOnly(true);
        if (!m_rows.exec(QStringLiteral("FETCH %1 FROM lumora_documents").arg(kSlice)))
            Fail(QStringLiteral("Reading the documents failed: %1").arg(m_rows.lastError().text()));
        m_sliceRows = 0;
    }

    QString m_query;
    bool m_cursor;
    QString m_name;
    QSqlQuery m_rows;
    QStringList m_names;
    int m_sliceRows = 0;
    bool m_inTransaction = false;
};

}  // namespace

ConnectionText ParseConnectionText(const QString& text) {
    if (text.trimmed().isEmpty()) Fail(QStringLiteral("The connection text is empty."));
    // One reading of connection texts for the whole library, so a value the
    // data-source lookup wrapped in braces reads back the same here.
    const db::ConnectionText parsed = db::ParseConnectionText(text);
    ConnectionText ct;
    switch (parsed.provider) {
    case db::Provider::SQLite: ct.provider = Provider::kSQLite; break;
    case db::Provider::PostgreSQL: ct.provider = Provider::kPostgreSQL; break;
    case db::Provider::ODBC: ct.provider = Provider::kODBC; break;
    }
    ct.database = parsed.Value(QStringLiteral("database"));
    ct.host = parsed.Value(QStringLiteral("host"));
    ct.port = parsed.Value(QStringLiteral("port")).toInt();
    ct.user = parsed.Value(QStringLiteral("user"));
    ct.password = parsed.Value(QStringLiteral("password"));
    ct.odbc = parsed.odbcText;
    return ct;
}

std::unique_ptr<DocumentReader> OpenDocuments(const QString& connectionText, const QString& query,
                                              Heartbeat heartbeat) {
    const ConnectionText ct = ParseConnectionText(connectionText);
    const QString q = TrimQuery(query);
    if (q.isEmpty()) Fail(QStringLiteral("The document query is empty."));
    if (ct.provider == Provider::kSQLite) {
        if (ct.database.isEmpty()) Fail(QStringLiteral("The connection text names no database."));
        QString path = ct.database;
        if (QFileInfo(path).isRelative() && QCoreApplication::instance())
            path = QDir(QCoreApplication::applicationDirPath()).filePath(path);
        return std::make_unique<SqliteReader>(path, q, std::move(heartbeat));
    }
    return std::make_unique<QtSqlReader>(ct, q);
}

}  // namespace zarvik::docsource
