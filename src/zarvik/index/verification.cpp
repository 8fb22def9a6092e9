// The checks a finished staging index must pass before it replaces the live index.
#include "zarvik/index/verification.h"

#include <sqlite3.h>

#include <QElapsedTimer>
#include <QFile>
#include <QLocale>
#include <QStringList>

#include "zarvik/files/indexcheck.h"

namespace zarvik::index {

namespace {
const QString kLeftInPlace = QStringLiteral(" The live index was left in place.");
}  // namespace

// The staging file open for the checks; every statement goes through Step so that a
// stop request is told apart from an error of SQLite.
class IndexVerification::Db {
public:
    Db(const QString& file, std::function<bool()>& keepGoing) : m_keepGoing(keepGoing) {
        if (sqlite3_open_v2(QFile::encodeName(file).constData(), &m_db, SQLITE_OPEN_READWRITE, nullptr) !=
            SQLITE_OK)
            m_openError = QString::fromUtf8(sqlite3_errmsg(m_db));
        else
            sqlite3_progress_handler(m_db, 1000, &Db::OnProgress, this);
    }
    ~Db() {
        sqlite3_finalize(m_stmt);
        sqlite3_close(m_db);
    }
    Db(const Db&) = delete;
    Db& operator=(const Db&) = delete;

    const QString& OpenError() const { return m_openError; }
    bool Stopped() const { return m_stopped; }
    QString Message() const { return QString::fromUtf8(sqlite3_errmsg(m_db)); }

    // Prepares sql; false with Message() when SQLite rejects it.
    bool Prepare(const char* sql) {
        sqlite3_finalize(m_stmt);
        m_stmt = nullptr;
        return sqlite3_prepare_v2(m_db, sql, -1, &m_stmt, nullptr) == SQLITE_OK;
    }
    sqlite3_stmt* Stmt() const { return m_stmt; }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int Step() { return sqlite3_step(m_stmt); }
    sqlite3* Handle() const { return m_db; }

private:
    static int OnProgress(void* self) {
        auto* db = static_cast<Db*>(self);
        if (db->m_keepGoing && !db->m_keepGoing()) db->m_stopped = true;
        return db->m_stopped ? 1 : 0;
    }

    std::function<bool()>& m_keepGoing;
    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_stmt = nullptr;
    QString m_openError;
    bool m_stopped = false;
};

IndexVerification::IndexVerification(QString staging, std::int64_t documentsRead,
                                     std::optional<std::int64_t> liveDocuments,
                                     component::VerifySettings verify, std::function<bool()> keepGoing)
    : m_staging(std::move(staging)),
      m_read(documentsRead),
      m_live(liveDocuments),
      m_verify(std::move(verify)),
      m_keepGoing(std::move(keepGoing)) {}

QString IndexVerification::Count(std::int64_t n) {
    return QLocale(QLocale::English, QLocale::UnitedStates).toString(qlonglong(n));
}

IndexVerification::Outcome IndexVerification::Refuse(const QString& text) {
    m_refusal = text + kLeftInPlace;
    return Outcome::kRefused;
}

IndexVerification::Outcome IndexVerification::Damaged(const QString& what) {
    return Refuse(QStringLiteral("The new index failed the integrity checks (%1).").arg(what));
}

IndexVerification::Outcome IndexVerification::Run() {
    m_figures.clear();
    m_refusal.clear();
    QElapsedTimer clock;
    clock.start();
    Db db(m_staging, m_keepGoing);
    if (!db.OpenError().isEmpty()) return Damaged(db.OpenError());
    std::int64_t rows = 0;
    if (auto ended = CheckIntegrity(db)) return *ended;
    if (auto ended = CheckCount(db, rows)) return *ended;
    if (auto ended = CheckMinimum(rows)) return *ended;
    if (auto ended = CheckShrink(rows)) return *ended;
    if (auto ended = CheckQueries(db)) return *ended;
    // What the checks cost, for whoever weighs them against the build.
    m_figures.append(
        {QStringLiteral("checks_seconds"), QString::number(double(clock.nsecsElapsed()) / 1e9, 'f', 3)});
    return Outcome::kPassed;
}

// 1. The file as SQLite sees it, then the full-text index against its documents.
std::optional<IndexVerification::Outcome> IndexVerification::CheckIntegrity(Db& db) {
    const QString why = files::CheckIndexFile(db.Handle());
    if (db.Stopped()) return Outcome::kStopped;
    if (!why.isEmpty()) return Damaged(why);
    m_figures.append(
        {QStringLiteral("check.integrity"), QStringLiteral("quick_check ok, FTS5 integrity-check ok")});
    return std::nullopt;
}

// 2. Every document read is in the index, and nothing else.
std::optional<IndexVerification::Outcome> IndexVerification::CheckCount(Db& db, std::int64_t& rows) {
    if (!db.Prepare("SELECT COUNT(*) FROM documents") || db.Step() != SQLITE_ROW) {
        if (db.Stopped()) return Outcome::kStopped;
        return Damaged(QStringLiteral("counting the documents: ") + db.Message());
    }
    rows = sqlite3_column_int64(db.Stmt(), 0);
    if (rows != m_read)
        return Refuse(QStringLiteral("The new index holds %1 documents, but %2 were read from the source.")
                          .arg(Count(rows), Count(m_read)));
    m_figures.append({QStringLiteral("check.documents"),
                      QStringLiteral("%1 read from the source, %1 in the index").arg(rows)});
    return std::nullopt;
}

// 3. Not fewer than the administrator expects at least.
std::optional<IndexVerification::Outcome> IndexVerification::CheckMinimum(std::int64_t rows) {
    if (rows < m_verify.minDocuments)
        return Refuse(QStringLiteral("The new index has %1 documents, fewer than MinDocuments (%2).")
                          .arg(Count(rows), Count(m_verify.minDocuments)));
    m_figures.append(
        {QStringLiteral("check.min_documents"),
         QStringLiteral("%1 documents, at least %2 required").arg(rows).arg(m_verify.minDocuments)});
    return std::nullopt;
}

// 4. Not many fewer than the index it replaces.
std::optional<IndexVerification::Outcome> IndexVerification::CheckShrink(std::int64_t rows) {
    const int allowed = m_verify.maxShrinkPercent;
    QString shrinkFigure;
    if (!m_live) {
        shrinkFigure = QStringLiteral("not run: no live index");
    } else if (allowed >= 100) {
        shrinkFigure =
            QStringLiteral("off (MaxShrinkPercent 100); the live index had %1 documents").arg(*m_live);
    } else {
        const std::int64_t live = *m_live;
        const std::int64_t lost = live > rows ? live - rows : 0;
        const double percent = live > 0 ? 100.0 * double(lost) / double(live) : 0.0;
        // Integers only: the limit holds exactly, whatever the rounding of the figure.
        const bool refused = lost * 100 > std::int64_t(allowed) * live;
        if (refused) {
            // The figure shown must read as over the limit: 50.4% against 50% is not "50%".
            QString shown = QString::number(std::int64_t(percent));
            if (std::int64_t(percent) <= allowed) shown = QString::number(percent, 'f', 1);
            if (shown.toDouble() <= allowed) shown = QString::number(percent, 'g', 6);
            return Refuse(
                QStringLiteral("The new index has %1 documents, %2% fewer than the live index (%3); "
                               "MaxShrinkPercent allows %4%.")
                    .arg(Count(rows), shown, Count(live))
                    .arg(allowed));
        }
        shrinkFigure = QStringLiteral("%1 documents against %2 in the live index (%3% fewer), %4% allowed")
                           .arg(rows)
                           .arg(live)
                           .arg(percent, 0, 'f', 1)
                           .arg(allowed);
    }
    m_figures.append({QStringLiteral("check.max_shrink"), shrinkFigure});
    return std::nullopt;
}

// 5. Queries the administrator knows must find something.
std::optional<IndexVerification::Outcome> IndexVerification::CheckQueries(Db& db) {
    for (qsizetype i = 0; i < m_verify.checkQueries.size(); ++i) {
        const QString& query = m_verify.checkQueries[i];
        if (!db.Prepare("SELECT 1 FROM documents WHERE documents MATCH ?1 LIMIT 1"))
            return Damaged(QStringLiteral("preparing a check query: ") + db.Message());
        const QByteArray text = query.toUtf8();
        sqlite3_bind_text(db.Stmt(), 1, text.constData(), int(text.size()), SQLITE_STATIC);
        const int rc = db.Step();
        if (db.Stopped()) return Outcome::kStopped;
        if (rc == SQLITE_DONE)
            return Refuse(
                QStringLiteral("The check query \"%1\" matches no document of the new index.").arg(query));
        if (rc != SQLITE_ROW)
            return Refuse(
                QStringLiteral("The check query \"%1\" of <Verify><CheckQuery> in the configuration is "
                               "not a query the index accepts: %2.")
                    .arg(query, db.Message()));
        m_figures.append({QStringLiteral("check.query.%1").arg(i + 1), query + QStringLiteral(" : matches")});
    }
    return std::nullopt;
}

QString IndexVerification::Record() const {
    sqlite3* db = nullptr;
    QString why;
    if (sqlite3_open_v2(QFile::encodeName(m_staging).constData(), &db, SQLITE_OPEN_READWRITE, nullptr) ==
        SQLITE_OK) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK &&
            sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO index_info(name, value) VALUES(?, ?)", -1, &stmt,
                               nullptr) == SQLITE_OK) {
            bool ok = true;
            for (const auto& [name, value] : m_figures) {
                const QByteArray n = name.toUtf8();
                const QByteArray v = value.toUtf8();
                sqlite3_bind_text(stmt, 1, n.constData(), int(n.size()), SQLITE_TRANSIENT);
                sqlite3_bind_text(stmt, 2, v.constData(), int(v.size()), SQLITE_TRANSIENT);
                ok = sqlite3_step(stmt) == SQLITE_DONE && ok;
                sqlite3_reset(stmt);
            }
            sqlite3_finalize(stmt);
            if (!ok || sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
                why = QString::fromUtf8(sqlite3_errmsg(db));
        } else {
            why = QString::fromUtf8(sqlite3_errmsg(db));
        }
    } else {
        why = QString::fromUtf8(sqlite3_errmsg(db));
    }
    sqlite3_close(db);
    return why;
}

}  // namespace zarvik::index
