// quick_check and the FTS5 integrity-check, asked one way wherever an index is checked.
#include "zarvik/files/indexcheck.h"

#include <QStringList>
#include <thread>

#include "snowball/snowball.h"

namespace zarvik::files {
namespace {

// More lines of quick_check's answer only repeat what the first say.
constexpr int kAnswerLines = 3;
// Longer than a quick_check of the largest index takes.
constexpr int kWaitForQuickCheckMs = 3600 * 1000;

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

// The two checks read the whole file each: quick_check runs on a connection of its own
// beside the integrity-check, a core each, where the file can be opened a second time.
QString CheckIndexFile(sqlite3* db) {
    const char* file = sqlite3_db_filename(db, "main");
    sqlite3* side = nullptr;
    if (!file || !*file || sqlite3_open_v2(file, &side, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(side);
        side = nullptr;
        if (const QString why = QuickCheck(db); !why.isEmpty()) return QStringLiteral("quick_check: ") + why;
    }
    QString quick;
    std::thread quickCheck;
    // The integrity-check ends as a write, which waits for the quick_check's read to end.
    // and the quick_check for that write's end when it comes first.
    if (side) sqlite3_busy_timeout(db, kWaitForQuickCheckMs);
    if (side) sqlite3_busy_timeout(side, kWaitForQuickCheckMs);
    if (side) quickCheck = std::thread([&quick, side] { quick = QuickCheck(side); });
    // An SQLite without FTS5 fails the integrity-check below with its own reason.
    lumora_snowball_register(db);
    const int rc = sqlite3_exec(db, "INSERT INTO documents(documents) VALUES('integrity-check')", nullptr,
                                nullptr, nullptr);
    const QString fts =
        rc == SQLITE_OK ? QString()
                        : QStringLiteral("FTS5 integrity-check: ") + QString::fromUtf8(sqlite3_errmsg(db));
    if (side) {
        // A stopped check stops both.
        if (rc == SQLITE_INTERRUPT) sqlite3_interrupt(side);
        quickCheck.join();
        sqlite3_close(side);
        sqlite3_busy_timeout(db, 0);
    }
    return quick.isEmpty() ? fts : QStringLiteral("quick_check: ") + quick;
}

}  // namespace zarvik::files
