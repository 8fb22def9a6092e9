// A small real index for tests that search.
#include "support/smallindex.h"

#include "zarvik/index/indexbuilder.h"

#include <sqlite3.h>

#include <QDir>
#include <QFile>
#include <stdexcept>

namespace testsupport {

QString BuildSmallIndex(const QString& folder) {
    const QString source = QDir(folder).filePath(QStringLiteral("docs.db"));
    sqlite3* db = nullptr;
    if (sqlite3_open(QFile::encodeName(source).constData(), &db) != SQLITE_OK)
        throw std::runtime_error("cannot create the document database");
    sqlite3_exec(db, "CREATE TABLE DOCUMENT(DOCID INTEGER PRIMARY KEY, TITLE TEXT, BODY TEXT, URL TEXT)", nullptr,
                 nullptr, nullptr);
    sqlite3_stmt* ins = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO DOCUMENT VALUES(?,?,?,?)", -1, &ins, nullptr);
    for (const SmallDoc& d : kSmallDocs) {
        sqlite3_bind_int(ins, 1, d.id);
        sqlite3_bind_text(ins, 2, d.title, -1, SQLITE_STATIC);
        sqlite3_bind_text(ins, 3, d.body, -1, SQLITE_STATIC);
        sqlite3_bind_text(ins, 4, d.url, -1, SQLITE_STATIC);
        sqlite3_step(ins);
        sqlite3_reset(ins);
    }
    sqlite3_finalize(ins);
    sqlite3_close(db);

    const QString indexPath = QDir(folder).filePath(QStringLiteral("index"));
    zarvik::index::Fts5IndexBuilder builder;
    builder.Configure(nullptr, nullptr, {.name = QStringLiteral("docs"), .path = indexPath, .query = QStringLiteral("SELECT DOCID, TITLE, BODY, URL FROM DOCUMENT"), .storedColumns = QStringLiteral("URL")}, QStringLiteral("Provider=SQLite;Database=") + source);
    if (!builder.Build()) throw std::runtime_error("the small index build was aborted");
    return indexPath;
}

}  // namespace testsupport
