// Statements run on the SQLite handle under a Qt connection, past Qt's per-value
// caching and binding; statements that differ only in their compared values share
// one prepared statement kept with the connection.
#pragma once

#include <QHash>
#include <QString>
#include <QStringList>
#include <QVariant>

#include "zarvik/db/database_p.h"

struct sqlite3;
struct sqlite3_stmt;

namespace zarvik::db {

// The SQLite handle under a Qt connection of the QSQLITE driver and the statements
// prepared on it, by their text, kept until the connection closes.
class SqliteHandle {
public:
    explicit SqliteHandle(sqlite3* db) : m_db(db) {}
    ~SqliteHandle() { FinalizeAll(); }
    SqliteHandle(const SqliteHandle&) = delete;
    SqliteHandle& operator=(const SqliteHandle&) = delete;

    sqlite3* get() const { return m_db; }
    sqlite3_stmt* Kept(const QString& text) const { return m_kept.value(text); }
    void Keep(const QString& text, sqlite3_stmt* statement);
    void FinalizeAll() noexcept;

    // The functions below take the statement as the program wrote it (for SQL
    // Server) and rewrite it for SQLite, its compared values as parameters.

    // A whole read result: the column names and the values by column ([column][row]),
    // typed as Qt's SQLite driver types them. Raises component::Error ("The query
    // failed" or "Reading the result failed") when the statement fails, also
    // part-way through its rows.
    void Read(const QString& sql, QStringList& columns, QList<QVariantList>& byColumn);
    // The column names of a query; it is run up to its first row. Raises
    // component::Error ("The query failed") when it fails.
    QStringList Columns(const QString& sql);
    // Runs a statement that changes rows. Raises component::Error ("Execute failed").
    void Execute(const QString& sql);
    // Runs a statement of fixed text (BEGIN, COMMIT, SAVEPOINT ...), as it stands; it
    // is kept with the connection. Raises component::Error (`what`).
    void RunFixed(const QString& statement, const QString& what);

private:
    sqlite3* m_db;
    QHash<QString, sqlite3_stmt*> m_kept;
};

// Throws the error of the last call on the handle, in the form Qt's SQLite driver
// gives it: `what`, SQLite's message and `statement`.
[[noreturn]] void ThrowSqliteError(const QString& what, sqlite3* db, const QString& driverText,
                                   const QString& statement);

// Binds a value as Qt's SQLite driver binds it; returns SQLite's result code.
int BindSqlite(sqlite3_stmt* statement, int position, const QVariant& value);

// The one prepared statement of a text, for the span of one use: either kept with the
// connection and reset when the use ends, or, when `keep` is false, finalized then.
// A text with more than one statement is refused, as Qt's driver refuses it, so that
// a statement can never carry a second one along. Errors name `what` and, as the
// statement, `original` (the text the caller sent) as rewritten for SQLite.
// Raises component::Error when the text does not prepare.
class SqliteStatement {
public:
    SqliteStatement(SqliteHandle& handle, const QString& text, bool keep, QString what, QString original);
    ~SqliteStatement();
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;

    sqlite3_stmt* get() const { return m_statement; }
    // Binds `values` to the markers 1, 2, ...; raises like the constructor.
    void Bind(const QVariantList& values);
    // Runs a statement without wanted rows to its end; raises `what` when it fails.
    void StepToEnd(const QString& what);

private:
    sqlite3* m_db;
    sqlite3_stmt* m_statement = nullptr;
    bool m_kept = false;
    QString m_what;
    QString m_original;
    QString Shown() const;

public:
    // The error of the last step, after which the statement is no longer used.
    [[noreturn]] void Throw(const QString& what, const QString& driverText) const;
};

}  // namespace zarvik::db
