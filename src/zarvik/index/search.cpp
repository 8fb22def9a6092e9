// Searching a built index: FTS5 MATCH, ranked by the index's rank setting (bm25 with the
// index's column weights), with snippets.
#include "zarvik/index/engine.h"

#include <sqlite3.h>

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <memory>

namespace zarvik::index {
namespace {

const QString kSource = QStringLiteral("ZarvikIndexing.SearchEngine");

[[noreturn]] void Fail(const QString& description) {
    throw component::Error(component::errnum::kIndexSearch, kSource, description);
}

struct DbCloser {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
struct StmtFinalizer {
    void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using Db = std::unique_ptr<sqlite3, DbCloser>;
using Stmt = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

QString Text(sqlite3_stmt* stmt, int column) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
    return text ? QString::fromUtf8(text, sqlite3_column_bytes(stmt, column)) : QString();
}

QString SqlName(const QString& name) {
    QString quoted = name;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

Stmt Prepare(sqlite3* db, const QString& sql, const QString& file) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.toUtf8().constData(), -1, &stmt, nullptr) != SQLITE_OK)
        Fail(QStringLiteral("%1 is not an index this program can search: %2")
                 .arg(file, QString::fromUtf8(sqlite3_errmsg(db))));
    return Stmt(stmt);
}

// The stored (not searched) columns, as the build recorded them.
QStringList StoredColumns(sqlite3* db, const QString& file) {
    Stmt stmt = Prepare(db, QStringLiteral("SELECT value FROM index_info WHERE name = 'unindexed'"), file);
    QStringList columns;
    if (sqlite3_step(stmt.get()) == SQLITE_ROW) {
        for (const QString& part : Text(stmt.get(), 0).split(QLatin1Char(','), Qt::SkipEmptyParts))
            if (!part.trimmed().isEmpty()) columns.append(part.trimmed());
    }
    return columns;
}

// The first searched column: the first column after the key that is not stored only.
QString TitleColumn(sqlite3* db, const QString& file, const QStringList& stored) {
    Stmt stmt =
        Prepare(db, QStringLiteral("SELECT name FROM pragma_table_info('documents') ORDER BY cid"), file);
    while (sqlite3_step(stmt.get()) == SQLITE_ROW) {
        QString name = Text(stmt.get(), 0);
        if (name == QLatin1String("key") || stored.contains(name, Qt::CaseInsensitive)) continue;
        return name;
    }
    return {};
}

// " Tokenizer: ...", with the libstemmer a snowball index was stemmed with.
QString TokenizerNote(const QHash<QString, QString>& info) {
    const QString tokenizer = info.value(QStringLiteral("tokenizer"));
    const QString stemmer = info.value(QStringLiteral("libstemmer"));
    if (tokenizer.isEmpty()) return {};
    return QStringLiteral(" Tokenizer: %1%2.")
        .arg(tokenizer, stemmer.isEmpty() ? QString() : QStringLiteral(" (libstemmer %1)").arg(stemmer));
}

QString HowBuiltInMode(const QHash<QString, QString>& info) {
    const QString mode = info.value(QStringLiteral("build_mode"));
    const QString built = QStringLiteral("Built ") + info.value(QStringLiteral("built"));
    if (mode == u"changes")
        return built + QStringLiteral(" by applying the changes: %1 added, %2 replaced, %3 deleted.")
                           .arg(info.value(QStringLiteral("documents_added")),
                                info.value(QStringLiteral("documents_replaced")),
                                info.value(QStringLiteral("documents_deleted")));
    if (mode != u"full") return {};
    const QString reason = info.value(QStringLiteral("full_build_reason"));
    return reason.isEmpty() ? built + QStringLiteral(" in full.")
                            : built + QStringLiteral(" in full instead of by the changes: %1.").arg(reason);
}

// From what the build recorded in index_info.
QString HowBuilt(sqlite3* db, const QString& file) {
    Stmt stmt = Prepare(db, QStringLiteral("SELECT name, value FROM index_info"), file);
    QHash<QString, QString> info;
    while (sqlite3_step(stmt.get()) == SQLITE_ROW) info.insert(Text(stmt.get(), 0), Text(stmt.get(), 1));
    const QString how = HowBuiltInMode(info);
    return how.isEmpty() ? how : how + TokenizerNote(info);
}

void Bind(sqlite3_stmt* stmt, const QByteArray& query) {
    sqlite3_bind_text(stmt, 1, query.constData(), static_cast<int>(query.size()), SQLITE_STATIC);
}

// A query FTS5 rejects fails at its first step, with FTS5's own message.
bool Step(sqlite3* db, sqlite3_stmt* stmt) {
    const int rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    Fail(QStringLiteral("The query was rejected: %1").arg(QString::fromUtf8(sqlite3_errmsg(db))));
}

}  // namespace

component::SearchResults Fts5Engine::Search(const QString& indexPath, const QString& query, int first,
                                            int count) const {
    // A folder holds the live index; a file is an index of its own (a kept one).
    const QString file =
        QFileInfo(indexPath).isFile() ? indexPath : QDir(indexPath).filePath(QStringLiteral("index.db"));
    if (!QFileInfo(file).isFile())
        Fail(QStringLiteral("There is no index at %1 yet; build it first.").arg(file));
    sqlite3* raw = nullptr;
    // Read-only: searching must never take a lock a build would wait for.
    const int rc = sqlite3_open_v2(QFile::encodeName(file).constData(), &raw, SQLITE_OPEN_READONLY, nullptr);
    Db db(raw);
    if (rc != SQLITE_OK)
        Fail(QStringLiteral("Unable to open the index %1: %2").arg(file, QString::fromUtf8(sqlite3_errmsg(raw))));
    sqlite3_busy_timeout(db.get(), 2000);

    component::SearchResults results;
    results.storedColumns = StoredColumns(db.get(), file);
    results.titleColumn = TitleColumn(db.get(), file, results.storedColumns);
    results.howBuilt = HowBuilt(db.get(), file);
    const QByteArray text = query.toUtf8();

    Stmt total = Prepare(db.get(), QStringLiteral("SELECT count(*) FROM documents WHERE documents MATCH ?1"), file);
    Bind(total.get(), text);
    if (Step(db.get(), total.get())) results.total = sqlite3_column_int64(total.get(), 0);

    QStringList columns = {
        QStringLiteral("rank"), QStringLiteral("key"),
        results.titleColumn.isEmpty() ? QStringLiteral("NULL") : SqlName(results.titleColumn)};
    for (const QString& stored : results.storedColumns) columns.append(SqlName(stored));
    columns.append(QStringLiteral("snippet(documents, -1, char(2), char(3), '\u2026', 16)"));
    Stmt rows = Prepare(db.get(),
                        QStringLiteral("SELECT %1 FROM documents WHERE documents MATCH ?1 ORDER BY rank "
                                       "LIMIT ?2 OFFSET ?3")
                            .arg(columns.join(QStringLiteral(", "))),
                        file);
    Bind(rows.get(), text);
    sqlite3_bind_int(rows.get(), 2, std::max(count, 0));
    sqlite3_bind_int(rows.get(), 3, std::max(first, 0));
    const int storedCount = static_cast<int>(results.storedColumns.size());
    while (Step(db.get(), rows.get())) {
        component::SearchHit hit;
        hit.rank = sqlite3_column_double(rows.get(), 0);
        hit.key = Text(rows.get(), 1);
        hit.title = Text(rows.get(), 2);
        for (int i = 0; i < storedCount; ++i) hit.stored.append(Text(rows.get(), 3 + i));
        hit.snippet = Text(rows.get(), 3 + storedCount);
        results.hits.append(std::move(hit));
    }
    return results;
}

}  // namespace zarvik::index
