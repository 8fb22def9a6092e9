// Statements on the SQLite handle: prepared once per connection and text, values bound.
#include "zarvik/db/sqlite/sqlitestatement.h"

#include <sqlite3.h>

#include <QSqlError>
#include <limits>

#include "zarvik/db/sqlite/sqlitedialect.h"
#include "zarvik/db/tsql.h"

namespace zarvik::db {
namespace {

// Enough for every statement text the USERNODE computation sends, lists of every
// length included; past it the kept statements are dropped and prepared anew, so a
// connection's memory stays bounded whatever it is sent.
constexpr qsizetype kMostKeptStatements = 512;

// The values as Qt's SQLite driver gives them: integers as qlonglong, reals as
// double, text as QString, blobs as QByteArray, NULL as a null value.
QVariant SqliteValue(sqlite3_stmt* statement, int column) {
    switch (sqlite3_column_type(statement, column)) {
        case SQLITE_INTEGER:
            return QVariant(qlonglong(sqlite3_column_int64(statement, column)));
        case SQLITE_FLOAT:
            return QVariant(sqlite3_column_double(statement, column));
        case SQLITE_NULL:
            return QVariant();
        case SQLITE_BLOB: {
            const void* data = sqlite3_column_blob(statement, column);
            return QVariant(
                QByteArray(static_cast<const char*>(data), sqlite3_column_bytes(statement, column)));
        }
        default: {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
            return QVariant(QString::fromUtf8(text, sqlite3_column_bytes(statement, column)));
        }
    }
}

QStringList ColumnNames(sqlite3_stmt* statement) {
    QStringList columns;
    const int count = sqlite3_column_count(statement);
    for (int c = 0; c < count; ++c)
        columns.append(QString::fromUtf8(sqlite3_column_name(statement, c)).remove(QLatin1Char('"')));
    return columns;
}

// A statement whose values became parameters is kept: the next one of the same
// shape reuses it. Any other text is prepared for its one use.
struct Prepared {
    explicit Prepared(const QString& sql) : sql(RewriteTSqlWithParameters(sql, kSqliteDialect)) {}
    bool Keep() const { return !sql.values.isEmpty(); }
    ParameterizedSql sql;
};

}  // namespace

void ThrowSqliteError(const QString& what, sqlite3* db, const QString& driverText, const QString& statement) {
    ThrowDatabaseError(what,
                       QSqlError(driverText, QString::fromUtf8(sqlite3_errmsg(db)), QSqlError::StatementError,
                                 QString::number(sqlite3_extended_errcode(db))),
                       statement);
}

int BindSqlite(sqlite3_stmt* s, int position, const QVariant& value) {
    if (value.isNull()) return sqlite3_bind_null(s, position);  // typed nulls included
    // The values of the USERNODE computation, without QVariant's conversions.
    switch (value.typeId()) {
        case QMetaType::Int:
            return sqlite3_bind_int64(s, position, *static_cast<const int*>(value.constData()));
        case QMetaType::LongLong:
            return sqlite3_bind_int64(s, position, *static_cast<const qlonglong*>(value.constData()));
        default:
            break;
    }
    switch (value.typeId()) {
        case QMetaType::Bool:
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::Short:
        case QMetaType::UShort:
        case QMetaType::Char:
        case QMetaType::SChar:
        case QMetaType::UChar:
        case QMetaType::Long:
        case QMetaType::LongLong:
            return sqlite3_bind_int64(s, position, value.toLongLong());
        case QMetaType::ULong:
        case QMetaType::ULongLong: {
            const qulonglong u = value.toULongLong();
            if (u > qulonglong(std::numeric_limits<qint64>::max())) break;  // as text, like Qt
            return sqlite3_bind_int64(s, position, qint64(u));
        }
        case QMetaType::Double:
        case QMetaType::Float:
            return sqlite3_bind_double(s, position, value.toDouble());
        case QMetaType::QByteArray: {
            const QByteArray bytes = value.toByteArray();
            return sqlite3_bind_blob64(s, position, bytes.constData(), sqlite3_uint64(bytes.size()),
                                       SQLITE_TRANSIENT);
        }
        default:
            break;
    }
    const QByteArray text = value.toString().toUtf8();
    return sqlite3_bind_text64(s, position, text.constData(), sqlite3_uint64(text.size()), SQLITE_TRANSIENT,
                               SQLITE_UTF8);
}

void SqliteHandle::Keep(const QString& text, sqlite3_stmt* statement) {
    if (m_kept.size() >= kMostKeptStatements) FinalizeAll();
    m_kept.insert(text, statement);
}

void SqliteHandle::FinalizeAll() noexcept {
    for (sqlite3_stmt* statement : std::as_const(m_kept)) sqlite3_finalize(statement);
    m_kept.clear();
}

SqliteStatement::SqliteStatement(SqliteHandle& handle, const QString& text, bool keep, QString what,
                                 QString original)
    : m_db(handle.get()), m_what(std::move(what)), m_original(std::move(original)) {
    sqlite3* db = m_db;
    if (keep && (m_statement = handle.Kept(text))) {
        m_kept = true;
        return;
    }
    const QByteArray utf8 = text.toUtf8();
    const char* tail = nullptr;
    if (sqlite3_prepare_v3(db, utf8.constData(), int(utf8.size()), keep ? SQLITE_PREPARE_PERSISTENT : 0,
                           &m_statement, &tail) != SQLITE_OK)
        ThrowSqliteError(m_what, db, QStringLiteral("Unable to execute statement"), Shown());
    const QByteArray rest = tail ? QByteArray(tail).trimmed() : QByteArray();
    if (!rest.isEmpty() && rest != ";") {
        sqlite3_finalize(m_statement);
        ThrowDatabaseError(m_what + QStringLiteral(": Unable to execute multiple statements at a time") +
                           QStringLiteral("\r\nStatement: ") + Shown());
    }
    if (!m_statement) ThrowDatabaseError(m_what + QStringLiteral(": no statement\r\nStatement: ") + Shown());
    if (keep) {
        handle.Keep(text, m_statement);
        m_kept = true;
    }
}

SqliteStatement::~SqliteStatement() {
    if (!m_kept) {
        sqlite3_finalize(m_statement);
        return;
    }
    // Reset ends the statement's read of the database, so that a kept statement
    // never holds a snapshot or a lock between uses.
    sqlite3_reset(m_statement);
    sqlite3_clear_bindings(m_statement);
}

void SqliteStatement::Bind(const QVariantList& values) {
    for (qsizetype i = 0; i < values.size(); ++i)
        if (BindSqlite(m_statement, int(i + 1), values.at(i)) != SQLITE_OK)
            Throw(m_what, QStringLiteral("Unable to bind parameters"));
}

void SqliteStatement::Throw(const QString& what, const QString& driverText) const {
    ThrowSqliteError(what, m_db, driverText, Shown());
}

void SqliteStatement::StepToEnd(const QString& what) {
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(m_statement)) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE) Throw(what, QStringLiteral("Unable to fetch row"));
}

QString SqliteStatement::Shown() const {
    return RewriteTSql(m_original, kSqliteDialect);
}

void SqliteHandle::Read(const QString& sql, QStringList& columns, QList<QVariantList>& byColumn) {
    const Prepared prepared(sql);
    SqliteStatement statement(*this, prepared.sql.text, prepared.Keep(), QStringLiteral("The query failed"),
                              sql);
    statement.Bind(prepared.sql.values);
    sqlite3_stmt* s = statement.get();
    // The columns are taken after the first step: a kept statement is prepared anew
    // there when the schema has changed since, and may then have other columns.
    int rc = sqlite3_step(s);
    columns = ColumnNames(s);
    const int count = int(columns.size());
    byColumn.resize(count);
    bool any = false;
    for (; rc == SQLITE_ROW; rc = sqlite3_step(s)) {
        any = true;
        for (int c = 0; c < count; ++c) byColumn[c].append(SqliteValue(s, c));
    }
    // A failure while stepping (a lock held too long, a full disk) is not an empty result.
    if (rc != SQLITE_DONE)
        statement.Throw(
            !any ? QStringLiteral("The query failed") : QStringLiteral("Reading the result failed"),
            QStringLiteral("Unable to fetch row"));
}

QStringList SqliteHandle::Columns(const QString& sql) {
    const Prepared prepared(sql);
    SqliteStatement statement(*this, prepared.sql.text, prepared.Keep(), QStringLiteral("The query failed"),
                              sql);
    statement.Bind(prepared.sql.values);
    // One step, as for a read, so that a kept statement follows a changed schema; the
    // rows themselves are not wanted.
    const int rc = sqlite3_step(statement.get());
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
        statement.Throw(QStringLiteral("The query failed"), QStringLiteral("Unable to fetch row"));
    return ColumnNames(statement.get());
}

void SqliteHandle::Execute(const QString& sql) {
    const Prepared prepared(sql);
    SqliteStatement statement(*this, prepared.sql.text, prepared.Keep(), QStringLiteral("Execute failed"),
                              sql);
    statement.Bind(prepared.sql.values);
    statement.StepToEnd(QStringLiteral("Execute failed"));
}

void SqliteHandle::RunFixed(const QString& statement, const QString& what) {
    SqliteStatement prepared(*this, statement, true, what, statement);
    prepared.StepToEnd(what);
}

}  // namespace zarvik::db
