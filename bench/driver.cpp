// Benchmark driver: runs the user-node computation and the index builder through the
// component library, and the one-statement recursive query the computation is
// compared with. Prints one JSON object per run on standard output.
//
// lumora_bench_driver usernodes CONFIG.xml INDEX      all users, through the real component
// lumora_bench_driver cte CONNECTION                  the set-based statement into USERNODE_CTE
// lumora_bench_driver compare CONNECTION              both results, row for row
// lumora_bench_driver stop CONFIG.xml INDEX SECONDS   build, stop after SECONDS, time to return
// lumora_bench_driver propagate FOLDER TARGET...      the index copied to every target at once
// lumora_bench_driver catalog CONNECTION              memory of CATALOGNODE read once
#include <QCoreApplication>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "component/factory.h"
#include "usernodes/memorycatalog.h"
#include "usernodes/usernodes.h"
#include "zarvik/db/connectiontext.h"
#include "zarvik/factory.h"
#include "zarvik/propagation/targetpropagator.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from, Clock::time_point to = Clock::now()) {
    return std::chrono::duration<double>(to - from).count();
}

[[noreturn]] void Die(const QString& why) {
    std::fprintf(stderr, "lumora_bench_driver: %s\n", qPrintable(why));
    std::exit(1);
}

std::shared_ptr<component::IndexConfiguration> LoadConfiguration(const QString& file, const QString& index) {
    auto configuration = component::Factory().NewIndexConfiguration();
    configuration->LoadFromFile(file);
    configuration->LoadIndex(index);
    return configuration;
}

// The same rows as the computation, for every user at once: the lowest level of a
// user's assignments in a catalog decides; level 0 grants the whole catalog; else the
// nodes at that level, and for each deeper node whose walk up reaches a top node
// that was not granted itself, the highest assigned node on the way; then each of
// these with everything below it.
// The assignments are read from the table itself (not from a named subquery), and
// each walk's top node and best level come from window functions rather than joins
// of named subqueries, so that PostgreSQL uses the indexes and hashes, never a
// nested scan of a subquery.
const char* kCte = R"(
INSERT INTO USERNODE_CTE (USERID, CATALOGID, NODEID)
WITH RECURSIVE
m AS (SELECT USERID, CATALOGID, MIN(LEVEL) AS L FROM CATALOGNODEBYUSER WHERE ISPROFILE = 0
      GROUP BY USERID, CATALOGID),
up (USERID, CATALOGID, START, NODEID, PARENT) AS (
  SELECT a.USERID, a.CATALOGID, a.NODEID, cn.NODEID, cn.PARENTNODEID
  FROM m JOIN CATALOGNODEBYUSER a ON a.USERID = m.USERID AND a.CATALOGID = m.CATALOGID
    AND a.ISPROFILE = 0 AND a.LEVEL > m.L AND m.L > 0
  JOIN CATALOGNODE cn ON cn.CATALOGID = a.CATALOGID AND cn.NODEID = a.NODEID
  UNION ALL
  SELECT up.USERID, up.CATALOGID, up.START, cn.NODEID, cn.PARENTNODEID
  FROM up JOIN CATALOGNODE cn ON cn.CATALOGID = up.CATALOGID AND cn.NODEID = up.PARENT),
walk AS (SELECT up.*, MAX(CASE WHEN PARENT IS NULL THEN NODEID END)
                        OVER (PARTITION BY USERID, CATALOGID, START) AS TOPNODE FROM up),
chain AS (
  SELECT w.USERID, w.CATALOGID, w.NODEID, a.LEVEL,
         MIN(a.LEVEL) OVER (PARTITION BY w.USERID, w.CATALOGID, w.START) AS BEST
  FROM walk w JOIN m ON m.USERID = w.USERID AND m.CATALOGID = w.CATALOGID
  JOIN CATALOGNODEBYUSER a ON a.USERID = w.USERID AND a.CATALOGID = w.CATALOGID AND a.NODEID = w.NODEID
    AND a.ISPROFILE = 0
  WHERE w.PARENT IS NOT NULL AND w.TOPNODE IS NOT NULL
    AND NOT EXISTS (SELECT 1 FROM CATALOGNODEBYUSER t WHERE t.USERID = w.USERID AND t.CATALOGID = w.CATALOGID
                    AND t.NODEID = w.TOPNODE AND t.ISPROFILE = 0 AND t.LEVEL = m.L)),
seeds AS (
  SELECT a.USERID, a.CATALOGID, a.NODEID FROM m JOIN CATALOGNODEBYUSER a ON a.USERID = m.USERID
    AND a.CATALOGID = m.CATALOGID AND a.ISPROFILE = 0 AND a.LEVEL = m.L AND m.L > 0
  UNION
  SELECT USERID, CATALOGID, NODEID FROM chain WHERE LEVEL = BEST),
down (USERID, CATALOGID, NODEID) AS (
  SELECT USERID, CATALOGID, NODEID FROM seeds
  UNION ALL
  SELECT d.USERID, d.CATALOGID, cn.NODEID FROM down d JOIN CATALOGNODE cn ON cn.PARENTNODEID = d.NODEID)
SELECT USERID, CATALOGID, NODEID FROM down
UNION ALL
SELECT m.USERID, m.CATALOGID, cn.NODEID FROM m JOIN CATALOGNODE cn ON cn.CATALOGID = m.CATALOGID WHERE m.L = 0
)";

// A Qt SQL connection from a connection text of the SQLite or PostgreSQL kind.
QSqlDatabase Connect(const QString& text) {
    const zarvik::db::ConnectionText keys = zarvik::db::ParseConnectionText(text);
    const bool pg = keys.provider == zarvik::db::Provider::PostgreSQL;
    QSqlDatabase db = QSqlDatabase::addDatabase(pg ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE"),
                                                QUuid::createUuid().toString());
    db.setDatabaseName(keys.Value(QStringLiteral("database")));
    if (pg) {
        db.setHostName(keys.Value(QStringLiteral("host")));
        db.setPort(keys.Value(QStringLiteral("port")).toInt());
        db.setUserName(keys.Value(QStringLiteral("user")));
        db.setPassword(keys.Value(QStringLiteral("password")));
    }
    if (!db.open()) Die(db.lastError().text());
    return db;
}

void Exec(QSqlDatabase& db, const QString& sql) {
    QSqlQuery q(db);
    if (!q.exec(sql)) Die(q.lastError().text() + QStringLiteral(" in ") + sql.left(200));
}

qint64 Scalar(QSqlDatabase& db, const QString& sql) {
    QSqlQuery q(db);
    if (!q.exec(sql) || !q.next()) Die(q.lastError().text() + QStringLiteral(" in ") + sql.left(200));
    return q.value(0).toLongLong();
}

int UserNodes(const QString& file, const QString& index) {
    auto configuration = LoadConfiguration(file, index);
    bool aborted = false;
    usernodes::UserNodeRun propagation(
        usernodes::ReadRunSettings(*configuration, *component::Factory().NewIndexingServices()),
        [&] { aborted = true; });
    const auto start = Clock::now();
    const bool ok = propagation.PopulateAllUserNodes();
    const double seconds = Seconds(start);
    std::printf("{\"ok\": %s, \"seconds\": %.4f}\n", ok && !aborted ? "true" : "false", seconds);
    return ok ? 0 : 1;
}

int Cte(const QString& connection) {
    QSqlDatabase db = Connect(connection);
    const auto start = Clock::now();
    if (!db.transaction()) Die(db.lastError().text());
    Exec(db, QStringLiteral("DELETE FROM USERNODE_CTE"));
    Exec(db, QString::fromLatin1(kCte));
    if (!db.commit()) Die(db.lastError().text());
    const double seconds = Seconds(start);
    const qint64 rows = Scalar(db, QStringLiteral("SELECT COUNT(*) FROM USERNODE_CTE"));
    std::printf("{\"seconds\": %.4f, \"rows\": %lld}\n", seconds, static_cast<long long>(rows));
    return 0;
}

// Row for row, counting duplicates: each side's rows grouped with their number.
int Compare(const QString& connection) {
    QSqlDatabase db = Connect(connection);
    const qint64 program = Scalar(db, QStringLiteral("SELECT COUNT(*) FROM USERNODE"));
    const qint64 cte = Scalar(db, QStringLiteral("SELECT COUNT(*) FROM USERNODE_CTE"));
    const QString grouped = QStringLiteral(
        "(SELECT USERID, CATALOGID, NODEID, COUNT(*) AS N FROM %1 GROUP BY USERID, CATALOGID, NODEID)");
    const qint64 onlyProgram =
        Scalar(db, QStringLiteral("SELECT COUNT(*) FROM (%1 EXCEPT %2) x")
                       .arg(QStringLiteral("SELECT * FROM ") + grouped.arg(QStringLiteral("USERNODE")) +
                                QStringLiteral(" p"),
                            QStringLiteral("SELECT * FROM ") + grouped.arg(QStringLiteral("USERNODE_CTE")) +
                                QStringLiteral(" c")));
    const qint64 onlyCte =
        Scalar(db, QStringLiteral("SELECT COUNT(*) FROM (%1 EXCEPT %2) x")
                       .arg(QStringLiteral("SELECT * FROM ") + grouped.arg(QStringLiteral("USERNODE_CTE")) +
                                QStringLiteral(" c"),
                            QStringLiteral("SELECT * FROM ") + grouped.arg(QStringLiteral("USERNODE")) +
                                QStringLiteral(" p")));
    const qint64 users = Scalar(db, QStringLiteral("SELECT COUNT(DISTINCT USERID) FROM USERNODE"));
    const bool same = program == cte && onlyProgram == 0 && onlyCte == 0 && program > 0;
    std::printf(
        "{\"same\": %s, \"program_rows\": %lld, \"cte_rows\": %lld, \"only_program\": %lld, "
        "\"only_cte\": %lld, \"users\": %lld}\n",
        same ? "true" : "false", static_cast<long long>(program), static_cast<long long>(cte),
        static_cast<long long>(onlyProgram), static_cast<long long>(onlyCte), static_cast<long long>(users));
    return same ? 0 : 1;
}

// A line of /proc/self/status in KiB (VmRSS, VmHWM).
qint64 StatusKib(const char* key) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(qstrlen(key) + 1).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

// What the catalog read once costs: the resident size before the read (the program's
// base, a connection open) and the peak after it.
// The rows a stream handed out, counted on the way.
struct CountingRows final : component::RowStream {
    explicit CountingRows(std::unique_ptr<component::RowStream> rows) : m_rows(std::move(rows)) {}
    bool Next(QVariantList& row) override {
        if (!m_rows->Next(row)) return false;
        ++count;
        return true;
    }
    std::unique_ptr<component::RowStream> m_rows;
    std::int64_t count = 0;
};

int Catalog(const QString& connection) {
    auto services = component::Factory().NewIndexingServices();
    auto read = services->OpenConnection(connection);
    const qint64 base = StatusKib("VmRSS:");
    const auto start = Clock::now();
    usernodes::MemoryCatalog catalog;
    CountingRows rows(services->OpenRowStream(*read, usernodes::MemoryCatalog::kQuery));
    catalog.Read(rows);
    const double seconds = Seconds(start);
    const qint64 peak = StatusKib("VmHWM:");
    const qint64 after = StatusKib("VmRSS:");
    read->Close();
    const double nodes = double(rows.count);
    std::printf(
        "{\"nodes\": %.0f, \"seconds\": %.3f, \"base_kib\": %lld, \"peak_kib\": %lld, "
        "\"held_kib\": %lld, \"peak_bytes_per_node\": %.1f, \"held_bytes_per_node\": %.1f}\n",
        nodes, seconds, static_cast<long long>(base), static_cast<long long>(peak),
        static_cast<long long>(after), nodes > 0 ? (peak - base) * 1024.0 / nodes : 0.0,
        nodes > 0 ? (after - base) * 1024.0 / nodes : 0.0);
    return 0;
}

// Stops the build from the event pump, as the Stop button does, once the given time
// has passed, and notes the moment and the longest wait between two event pumps (the
// dialog stays responsive when it is short).
class Stopper final : public component::StatusHandler {
public:
    Stopper(component::IndexBuilder& builder, double after) : m_builder(builder), m_after(after) {}
    void UpdateStatus(const QString& text) override {
        if (text.contains(QLatin1String("documents/s"))) m_reading = true;
        Check();
    }
    void ProcessEvents() override {
        const auto now = Clock::now();
        if (m_lastEvents) longestGap = std::max(longestGap, Seconds(*m_lastEvents, now));
        m_lastEvents = now;
        Check();
    }
    std::optional<Clock::time_point> stoppedAt;
    double longestGap = 0;

private:
    void Check() {
        // Only once the documents are being read, so that the stop meets a running build.
        if (!stoppedAt && m_reading && Seconds(m_start) >= m_after) {
            stoppedAt = Clock::now();
            m_builder.SetAborted(true);
        }
    }
    component::IndexBuilder& m_builder;
    double m_after;
    bool m_reading = false;
    Clock::time_point m_start = Clock::now();
    std::optional<Clock::time_point> m_lastEvents;
};

int Stop(const QString& file, const QString& index, double after) {
    auto configuration = LoadConfiguration(file, index);
    auto services = component::Factory().NewIndexingServices();
    const component::DataSourceList sources = configuration->DbDataSources();
    const QString resolved = services->ResolveDataSource(configuration->IndexDataSource(), sources);
    const QString connection = services->GetConnectionString(
        configuration->DbSetting1(), configuration->DbSetting2(), QStringLiteral("Primary"), sources);
    auto builder = component::Factory().NewIndexBuilder();
    Stopper stopper(*builder, after);
    builder->Configure(&stopper, nullptr, configuration->Settings(), resolved.isEmpty() ? connection : resolved);
    const bool built = builder->Build();
    const auto returned = Clock::now();
    if (built || !stopper.stoppedAt) Die(QStringLiteral("the build ended before it was stopped"));
    std::printf("{\"stop_seconds\": %.4f, \"after\": %.2f, \"longest_events_gap\": %.4f}\n",
                Seconds(*stopper.stoppedAt, returned), after, stopper.longestGap);
    return 0;
}

// The propagation as a build runs it; the status line's last words are printed so
// that the rate the dialog showed can be compared with the measured one.
class LastStatus : public component::StatusHandler {
public:
    void UpdateStatus(const QString& msg) override {
        if (msg.startsWith(QLatin1String("Propagating:"))) last = msg;
    }
    void ProcessEvents() override {}
    QString last;
};

int Propagate(const QString& folder, const QStringList& targets) {
    LastStatus status;
    zarvik::propagation::TargetPropagator propagator;
    propagator.SetStatusHandler(&status);
    const auto start = Clock::now();
    component::IndexSettings settings;
    settings.path = folder;
    settings.targets = targets;
    const bool ok = propagator.Propagate(settings);
    std::printf("{\"seconds\": %.4f, \"ok\": %s, \"status\": \"%s\"}\n", Seconds(start), ok ? "true" : "false",
                qPrintable(status.last));
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    component::InstallFactory(zarvik::NewComponentFactory());
    const QStringList args = app.arguments();
    const QString what = args.value(1);
    try {
        if (what == QLatin1String("usernodes") && args.size() == 4) return UserNodes(args[2], args[3]);
        if (what == QLatin1String("cte") && args.size() == 3) return Cte(args[2]);
        if (what == QLatin1String("compare") && args.size() == 3) return Compare(args[2]);
        if (what == QLatin1String("catalog") && args.size() == 3) return Catalog(args[2]);
        if (what == QLatin1String("stop") && args.size() == 5) return Stop(args[2], args[3], args[4].toDouble());
        if (what == QLatin1String("propagate") && args.size() >= 4) return Propagate(args[2], args.mid(3));
    } catch (const component::Error& e) {
        Die(e.Description());
    }
    Die(QStringLiteral(
        "usage: usernodes CONFIG INDEX | cte CONNECTION | compare CONNECTION | stop CONFIG INDEX SECONDS | "
        "propagate FOLDER TARGET... | catalog CONNECTION"));
}
