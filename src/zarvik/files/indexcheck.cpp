// quick_check and the FTS5 integrity-check, asked one way wherever an index is checked.
#include "zarvik/files/indexcheck.h"

#include <QStringList>

#include "snowball/snowball.h"

namespace zarvik::files {
namespace {

// More lines of quick_check's answer only repeat what the first say.
constexpr int kAnswerLines = 3;

}  // namespace

QString QuickCheck(sqlite3* db) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA quick_check", -1, &stmt, nullptr) != SQLITE_OK)
        return QString::fromUtf8(sqlite3_errmsg(db));
    QStringList answers;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        const auto* line = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        if (answers.size() < kAnswerLines) answers << QString::fromUtf8(line ? line : "");
    }
    if (rc != SQLITE_DONE) answers = QStringList{QString::fromUtf8(sqlite3_errmsg(db))};
    sqlite3_finalize(stmt);
    return answers == QStringList{QStringLiteral("ok")} ? QString() : answers.join(QStringLiteral("; "));
}

QString CheckIndexFile(sqlite3* db) {
    if (const QString why = QuickCheck(db); !why.isEmpty()) return QStringLiteral("quick_check: ") + why;
    // An SQLite without FTS5 fails the integrity-check below with its own reason.
    lumora_snowball_register(db);
    if (sqlite3_exec(db, "INSERT INTO documents(documents) VALUES('integrity-check')", nullptr, nullptr,
                     nullptr) != SQLITE_OK)
        return QStringLiteral("FTS5 integrity-check: ") + QString::fromUtf8(sqlite3_errmsg(db));
    return {};
}

}  // namespace zarvik::files
