// The SearchEngine: SQLite FTS5.
#include "zarvik/index/engine.h"

#include <sqlite3.h>

#include <QDir>
#include <utility>

namespace zarvik::index {
namespace {

const QString kSource = QStringLiteral("ZarvikIndexing.IndexingServices");

// Asks the library itself: a compile option can be present while the module is not
// (or the other way round, when FTS5 is loaded as an extension), so a real FTS5
// table in a throwaway in-memory database is the only sure test.
void RequireFts5() {
    sqlite3* db = nullptr;
    QString failure;
    if (sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
        failure = db ? QString::fromUtf8(sqlite3_errmsg(db)) : QStringLiteral("out of memory");
    } else if (sqlite3_exec(db, "CREATE VIRTUAL TABLE probe USING fts5(body)", nullptr, nullptr, nullptr) !=
               SQLITE_OK) {
        failure = QString::fromUtf8(sqlite3_errmsg(db));
    }
    sqlite3_close(db);
    if (!failure.isEmpty()) {
        throw component::Error(component::errnum::kIndexBuild, kSource,
                               QStringLiteral("The SQLite library in use (version %1) has no FTS5 full-text "
                                              "engine: %2")
                                   .arg(QString::fromUtf8(sqlite3_libversion()), failure));
    }
}

}  // namespace

Fts5Engine::Fts5Engine(QString programDir, QString dataDir, bool log)
    : m_programDir(std::move(programDir)), m_dataDir(std::move(dataDir)), m_log(log) {}

std::int16_t Fts5Engine::MajorVersion() const {
    return static_cast<std::int16_t>(sqlite3_libversion_number() / 1000000);
}

std::int16_t Fts5Engine::MinorVersion() const {
    return static_cast<std::int16_t>(sqlite3_libversion_number() / 1000 % 1000);
}

std::int32_t Fts5Engine::BuildNumber() const {
    return sqlite3_libversion_number() % 1000;
}

QString Fts5Engine::LogFilePath() const {
    return QDir(m_programDir).filePath(QStringLiteral("indexlog.dat"));
}

std::shared_ptr<component::SearchEngine> NewEngine(const QString& programDir, const QString& dataDir,
                                                   bool log) {
    RequireFts5();
    return std::make_shared<Fts5Engine>(programDir, dataDir, log);
}

}  // namespace zarvik::index
