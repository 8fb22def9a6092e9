// Streams the rows of a document query from SQLite, PostgreSQL or ODBC for the index
// builder, one row at a time, so that memory does not grow with the number of rows.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>

struct sqlite3_stmt;

namespace zarvik::docsource {

enum class Provider { kSQLite, kPostgreSQL, kODBC };

// A connection text taken apart: key=value pairs separated by ';', keys
// case-insensitive, a value that holds ';' wrapped in {...}.
struct ConnectionText {
    Provider provider = Provider::kSQLite;
    QString database;  // SQLite file, PostgreSQL database
    QString host;
    int port = 0;
    QString user;
    QString password;
    QString odbc;  // the text without its Provider pair, for the ODBC driver manager
};
// Raises component::Error(kDatabase) for an empty text or an unknown provider.
ConnectionText ParseConnectionText(const QString& text);

// Called now and then while the database works on a long statement; returning false
// asks the database to stop it (the reader then raises nothing and Next() or Count()
// report the stop by returning false / -1).
using Heartbeat = std::function<bool()>;

class DocumentReader {
public:
    virtual ~DocumentReader() = default;
    // Number of rows the query returns; -1 when the heartbeat stopped the count.
    // Raises component::Error(kDatabase) when the count fails.
    virtual std::int64_t Count() = 0;
    // Starts the query. Raises component::Error(kDatabase) when it fails.
    virtual void Start() = 0;
    // The query's column names, valid after Start().
    virtual QStringList ColumnNames() const = 0;
    // Moves to the next row; false at the end or when the heartbeat stopped the read.
    // Raises component::Error(kDatabase) when reading fails.
    virtual bool Next() = 0;
    // True when the last Next() returned false because the heartbeat asked for it.
    virtual bool Stopped() const = 0;
    // Binds column `column` of the current row to parameter `parameter` of a
    // statement of another SQLite connection, without converting where it can.
    virtual int Bind(sqlite3_stmt* statement, int parameter, int column) = 0;
};

// Opens the database behind the connection text read-only. Relative SQLite paths
// are taken from the program's folder, where the configuration file lives.
// Raises component::Error(kDatabase) when the database cannot be opened.
std::unique_ptr<DocumentReader> OpenDocuments(const QString& connectionText, const QString& query,
                                              Heartbeat heartbeat);

}  // namespace zarvik::docsource
