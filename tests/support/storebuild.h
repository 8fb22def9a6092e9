// Index files as the index builder leaves them, for the tests of publishing and
// pulling: the live file kept as index.previous.db and a new index.db.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <QFile>
#include <QString>

namespace testsupport {

inline void ExecSql(sqlite3* db, const QString& sql) {
    char* message = nullptr;
    ASSERT_EQ(sqlite3_exec(db, sql.toUtf8().constData(), nullptr, nullptr, &message), SQLITE_OK) << message;
}

// A build of `folder`: a full build writes a new file of 1,500 documents with the
// tokenizer given (one other than FTS5's own must be registered on the connections of
// this process), a changes build rewrites one document in 500 (every row carries the
// version's tag when asked). FTS5 merges no segments of its own accord, so that a
// change stays a few pages.
inline void BuildVersion(const QString& folder, int version, bool full, bool tagEveryRow = false,
                         const QString& tokenizer = QStringLiteral("unicode61")) {
    const QString live = folder + "/index.db";
    QFile::remove(folder + "/index.previous.db");
    if (QFile::exists(live)) QFile::copy(live, folder + "/index.previous.db");
    if (full) QFile::remove(live);
    sqlite3* db = nullptr;
    sqlite3_open(live.toUtf8().constData(), &db);
    if (full) {
        ExecSql(db,
                "CREATE VIRTUAL TABLE documents USING fts5(key UNINDEXED, body, tag UNINDEXED, tokenize='" +
                    tokenizer +
                    "');"
                    "CREATE TABLE index_info(name TEXT PRIMARY KEY, value TEXT);"
                    "INSERT INTO documents(documents, rank) VALUES('automerge', 0);"
                    "WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM c WHERE i < 1500) "
                    "INSERT INTO documents SELECT i, 'word' || i || ' ' || hex(randomblob(60)), 0 FROM c");
    } else {
        ExecSql(db, QStringLiteral("UPDATE documents SET body = 'changed%1 ' || body WHERE rowid % 500 = %2")
                        .arg(version)
                        .arg(version % 500));
    }
    if (tagEveryRow) ExecSql(db, QStringLiteral("UPDATE documents SET tag = %1").arg(version));
    ExecSql(db, QStringLiteral("INSERT OR REPLACE INTO index_info "
                               "VALUES('built', '%1'), ('documents', '1500'), ('build_mode', '%2')")
                    .arg(version)
                    .arg(full ? "full" : "changes"));
    sqlite3_close(db);
}

}  // namespace testsupport
