// The one interface behind which each kind of database (sqlite/, pg/, odbc/) serves a
// connection: its statements, its transactions, its reads, its row streams, its
// batches, and the index build's reading in batches. OpenBackend picks one from the
// connection text's provider; connectiontext.cpp names the providers, and the
// configuration anchors a relative SQLite file (zarvik/config/datasources.cpp).
#pragma once

#include <QHash>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <memory>

#include "zarvik/db/batchreader.h"
#include "zarvik/db/connectiontext.h"
#include "zarvik/db/database_p.h"

namespace zarvik::db {

class Backend {
public:
    explicit Backend(const QSqlDatabase& database) : m_database(database) {}
    virtual ~Backend() = default;
    Backend(const Backend&) = delete;
    Backend& operator=(const Backend&) = delete;

    const QSqlDatabase& Database() const { return m_database; }

    // False when a later user of the connection could see state this one left
    // (an ODBC session, whose state cannot be checked; an in-memory database).
    virtual bool Reusable() const { return true; }
    // Whether a kept connection still reaches the database it was opened on.
    virtual bool StillValid() const { return m_database.isOpen(); }
    // Whether the database has a transaction open, whoever opened it.
    virtual bool HasOpenTransaction() = 0;
    // Drops the statements and insert texts kept with the connection (after a
    // schema change they may describe tables that are no longer so).
    virtual void ForgetStatements() noexcept { m_insertTexts.clear(); }
    // Ends the connection; nothing is used afterwards.
    virtual void Close() noexcept;

    // Runs a statement; `rowsOnly` when it changes rows and nothing else. Raises
    // component::Error ("Execute failed").
    virtual void Execute(const QString& sql, bool rowsOnly) = 0;
    // Each raises component::Error (`what`) when the database refuses.
    virtual void Begin(const QString& what) = 0;
    virtual void Commit(const QString& what) = 0;
    virtual void Rollback(const QString& what) = 0;
    // Discards an open transaction as a connection closes.
    virtual void DiscardTransaction() noexcept { m_database.rollback(); }

    // A whole result by column ([column][row]). Raises ("The query failed",
    // "Reading the result failed").
    virtual void Read(const QString& sql, QStringList& columns, QList<QVariantList>& byColumn) = 0;
    // The column names of a query. Raises ("The query failed").
    virtual QStringList Columns(const QString& sql) = 0;
    virtual std::unique_ptr<component::RowStream> NewRowStream(const std::shared_ptr<ConnectionState>& state,
                                                               const QString& sql) = 0;
    virtual std::unique_ptr<component::RewriteBatch> NewRewriteBatch(
        const std::shared_ptr<ConnectionState>& state, const QString& table, const QStringList& columns) = 0;
    virtual std::unique_ptr<component::UpdatableRecordset> NewBatchRecordset(
        const std::shared_ptr<ConnectionState>& state, QString table, QStringList columns) = 0;
    // The rows of `query` in batches, on a connection of their own (OpenBatchReader):
    // the reader may change the connection's session settings for its reading.
    // `heartbeat` is called where the backend can stop a statement.
    virtual std::unique_ptr<BatchReader> NewBatchReader(const QString& query, Heartbeat heartbeat) = 0;

    // The insert texts of batches, by table, columns and rows per statement.
    QHash<QString, QString>& InsertTexts() { return m_insertTexts; }

protected:
    QSqlDatabase m_database;

private:
    QHash<QString, QString> m_insertTexts;
};

// The Qt SQL connection `name` of `driver`, set up by `configure` and open. Raises
// component::Error (errnum::kDatabase) when the driver is missing or the database
// cannot be opened; the connection is then removed again.
template <typename Configure>
QSqlDatabase OpenQtDatabase(const QString& driver, const QString& name, Configure configure);

// The backend of the connection text's provider, on a new Qt SQL connection `name`.
// Raises component::Error (errnum::kDatabase) for a malformed text or a database
// that cannot be opened.
std::unique_ptr<Backend> OpenBackend(const QString& connectionText, const QString& name);
std::unique_ptr<Backend> OpenBackend(const ConnectionText& text, const QString& name);

// How each backend opens; one line each in OpenBackend.
std::unique_ptr<Backend> OpenSqliteBackend(const ConnectionText& text, const QString& name);
std::unique_ptr<Backend> OpenPgBackend(const ConnectionText& text, const QString& name);
std::unique_ptr<Backend> OpenOdbcBackend(const ConnectionText& text, const QString& name);

// Raises as OpenQtDatabase says.
void ThrowUnlessOpened(QSqlDatabase& database, const QString& driver);

template <typename Configure>
QSqlDatabase OpenQtDatabase(const QString& driver, const QString& name, Configure configure) {
    QSqlDatabase database = QSqlDatabase::addDatabase(driver, name);
    try {
        if (database.isValid()) configure(database);
        ThrowUnlessOpened(database, driver);
    } catch (...) {
        database = QSqlDatabase();
        QSqlDatabase::removeDatabase(name);
        throw;
    }
    return database;
}

}  // namespace zarvik::db
