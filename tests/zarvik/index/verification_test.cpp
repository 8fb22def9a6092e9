// The checks a new index passes before it replaces the live one, on real SQLite and
// PostgreSQL sources: which builds are refused, with what text, and what the index
// folder holds afterwards.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <optional>

#include "support/testdb.h"
#include "zarvik/index/indexbuilder.h"

namespace {

using component::Error;
using component::VerifySettings;
namespace errnum = component::errnum;

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The first column of a query on an index file.
QStringList Query(const QString& file, const QString& sql) {
    sqlite3* db = nullptr;
    QStringList out;
    if (sqlite3_open_v2(QFile::encodeName(file).constData(), &db, SQLITE_OPEN_READONLY, nullptr) ==
        SQLITE_OK) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db, sql.toUtf8().constData(), -1, &stmt, nullptr) == SQLITE_OK)
            while (sqlite3_step(stmt) == SQLITE_ROW)
                out << QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return out;
}
int Documents(const QString& file) {
    const QStringList n = Query(file, QStringLiteral("SELECT count(*) FROM documents"));
    return n.isEmpty() ? -1 : n.first().toInt();
}

// A document table whose number of rows the test sets, in SQLite or PostgreSQL.
class Source {
public:
    virtual ~Source() = default;
    virtual QString ConnectionText() const = 0;
    // Leaves rows 1..n in the table; each row has a title "Document <n>" and a body of words.
    virtual void SetRows(int n) = 0;
};

const char* const kWords[] = {"river", "stone", "garden", "window", "letter", "silver", "morning"};

class SqliteSource final : public Source {
public:
    explicit SqliteSource(const QString& path) : m_path(path) {
        sqlite3_open(QFile::encodeName(path).constData(), &m_db);
        Exec("CREATE TABLE DOCUMENT(DOCID INTEGER PRIMARY KEY, TITLE TEXT, BODY TEXT)");
    }
    ~SqliteSource() override { sqlite3_close(m_db); }
    QString ConnectionText() const override { return QStringLiteral("Provider=SQLite;Database=") + m_path; }
    void SetRows(int n) override {
        Exec("BEGIN; DELETE FROM DOCUMENT");
        sqlite3_stmt* ins = nullptr;
        sqlite3_prepare_v2(m_db, "INSERT INTO DOCUMENT VALUES(?, ?, ?)", -1, &ins, nullptr);
        for (int i = 1; i <= n; ++i) {
            const QByteArray title = "Document " + QByteArray::number(i);
            QByteArray body;
            for (int w = 0; w < 12; ++w) body += QByteArray(kWords[(i + w * 3) % 7]) + ' ';
            sqlite3_bind_int(ins, 1, i);
            sqlite3_bind_text(ins, 2, title.constData(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(ins, 3, body.constData(), -1, SQLITE_TRANSIENT);
            EXPECT_EQ(sqlite3_step(ins), SQLITE_DONE) << sqlite3_errmsg(m_db);
            sqlite3_reset(ins);
        }
        sqlite3_finalize(ins);
        Exec("COMMIT");
    }

private:
    void Exec(const char* sql) {
        ASSERT_EQ(sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(m_db);
    }
    QString m_path;
    sqlite3* m_db = nullptr;
};

class PostgresSource final : public Source {
public:
    PostgresSource() {
        const QString database =
            QStringLiteral("lumora_indexgate_%1").arg(QCoreApplication::applicationPid());
        m_text = testsupport::PostgresConnectionText(database);
        if (m_text.isEmpty()) return;
        QSqlDatabase db = testsupport::AddPostgresDatabase(kName, database);
        EXPECT_TRUE(db.open()) << db.lastError().text().toStdString();
        Exec(QStringLiteral("DROP TABLE IF EXISTS DOCUMENT"));
        Exec(QStringLiteral("CREATE TABLE DOCUMENT(DOCID INTEGER PRIMARY KEY, TITLE TEXT, BODY TEXT)"));
    }
    ~PostgresSource() override {
        QSqlDatabase::database(kName).close();
        QSqlDatabase::removeDatabase(kName);
    }
    QString ConnectionText() const override { return m_text; }
    void SetRows(int n) override {
        Exec(QStringLiteral("DELETE FROM DOCUMENT"));
        Exec(QStringLiteral("INSERT INTO DOCUMENT SELECT g, 'Document ' || g, "
                            "'river stone garden window ' || (g % 7) FROM generate_series(1, %1) g")
                 .arg(n));
    }

private:
    void Exec(const QString& sql) {
        QSqlQuery q(QSqlDatabase::database(kName));
        EXPECT_TRUE(q.exec(sql)) << q.lastError().text().toStdString();
    }
    static inline const QString kName = QStringLiteral("indexgate");
    QString m_text;
};

enum class Kind { kSqlite, kPostgres };

class VerificationTest : public ::testing::TestWithParam<Kind> {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        indexPath = tmp.filePath(QStringLiteral("indexes/catalog"));
        live = indexPath + QStringLiteral("/index.db");
        if (GetParam() == Kind::kSqlite) {
            source = std::make_unique<SqliteSource>(tmp.filePath(QStringLiteral("documents.db")));
        } else {
            source = std::make_unique<PostgresSource>();
            if (source->ConnectionText().isEmpty()) {
                if (testsupport::PostgresRequired()) FAIL() << "LUMORA_TEST_PG is not set";
                GTEST_SKIP() << "no PostgreSQL test server";
            }
        }
    }
    void TearDown() override { zarvik::index::Fts5IndexBuilder::SetStagingHookForTests({}); }

    // A build of the source as it is now; the Error it raised, if any.
    std::optional<Error> Build(const VerifySettings& verify, bool* built = nullptr,
                               std::int32_t* count = nullptr) {
        zarvik::index::Fts5IndexBuilder b;
        b.Configure(nullptr, nullptr, {.name = QStringLiteral("catalog"), .path = indexPath, .query = QStringLiteral("SELECT DOCID, TITLE, BODY FROM DOCUMENT"), .verify = verify}, source->ConnectionText());
        try {
            const bool ok = b.Build();
            if (built) *built = ok;
            if (count) *count = b.DocumentCount();
            return std::nullopt;
        } catch (const Error& e) {
            if (count) *count = b.DocumentCount();
            return e;
        }
    }
    QStringList Folder() const { return QDir(indexPath).entryList(QDir::Files | QDir::Hidden, QDir::Name); }
    QString Info(const QString& file, const char* name) const {
        return Query(
                   file,
                   QStringLiteral("SELECT value FROM index_info WHERE name = '%1'").arg(QLatin1String(name)))
            .value(0);
    }

    QTemporaryDir tmp;
    QString indexPath;
    QString live;
    std::unique_ptr<Source> source;
};

VerifySettings Verify(std::int64_t min, int shrink, QStringList queries = {}) {
    VerifySettings v;
    v.minDocuments = min;
    v.maxShrinkPercent = shrink;
    v.checkQueries = std::move(queries);
    return v;
}

struct GateCase {
    const char* name;
    int live;  // documents of the live index; -1: no live index
    int next;  // documents of the source for the build under test
    VerifySettings verify;
    const char* refusal;  // the description of the refusal; null when the build goes live
};

const VerifySettings kDefaults;
const GateCase kGateCases[] = {
    // The example of the administrator's guide, figure for figure.
    {"ShrinkOfTheGuide", 10050, 4120, kDefaults,
     "The new index has 4,120 documents, 59% fewer than the live index (10,050); MaxShrinkPercent allows "
     "50%. "
     "The live index was left in place."},
    {"Lost99Default", 1000, 10, kDefaults,
     "The new index has 10 documents, 99% fewer than the live index (1,000); MaxShrinkPercent allows 50%. "
     "The live index was left in place."},
    {"Lost51Default", 1000, 490, kDefaults,
     "The new index has 490 documents, 51% fewer than the live index (1,000); MaxShrinkPercent allows 50%. "
     "The live index was left in place."},
    {"Lost49Default", 1000, 510, kDefaults, nullptr},
    // Just over the limit: the figure shown must not read as within it.
    {"JustOverTheLimit", 1000, 499, kDefaults,
     "The new index has 499 documents, 50.1% fewer than the live index (1,000); MaxShrinkPercent allows 50%. "
     "The live index was left in place."},
    {"ExactlyAtTheLimit", 1000, 500, kDefaults, nullptr},
    {"Lost99Max100", 1000, 10, Verify(0, 100), nullptr},
    {"Lost51Max100", 1000, 490, Verify(0, 100), nullptr},
    {"Lost49Max100", 1000, 510, Verify(0, 100), nullptr},
    {"EmptyMax100", 1000, 0, Verify(0, 100), nullptr},
    {"Lost99Max0", 1000, 10, Verify(0, 0),
     "The new index has 10 documents, 99% fewer than the live index (1,000); MaxShrinkPercent allows 0%. "
     "The live index was left in place."},
    {"Lost49Max0", 1000, 510, Verify(0, 0),
     "The new index has 510 documents, 49% fewer than the live index (1,000); MaxShrinkPercent allows 0%. "
     "The live index was left in place."},
    {"Lost1Max0", 1000, 999, Verify(0, 0),
     "The new index has 999 documents, 0.1% fewer than the live index (1,000); MaxShrinkPercent allows 0%. "
     "The live index was left in place."},
    {"SameCountMax0", 1000, 1000, Verify(0, 0), nullptr},
    {"GrewMax0", 1000, 1200, Verify(0, 0), nullptr},
    {"EmptySource", 1000, 0, kDefaults,
     "The new index has 0 documents, 100% fewer than the live index (1,000); MaxShrinkPercent allows 50%. "
     "The live index was left in place."},
    // No live index: nothing to shrink from, even with 0%.
    {"FirstBuild", -1, 10, Verify(0, 0), nullptr},
    {"FirstBuildEmpty", -1, 0, kDefaults, nullptr},
    {"FirstBuildEmptyWithMinimum", -1, 0, Verify(1, 50),
     "The new index has 0 documents, fewer than MinDocuments (1). The live index was left in place."},
    {"MinDocumentsJustUnder", 1000, 1000, Verify(1001, 50),
     "The new index has 1,000 documents, fewer than MinDocuments (1,001). The live index was left in place."},
    {"MinDocumentsAt", 1000, 1000, Verify(1000, 50), nullptr},
    // The minimum comes before the shrink: both fail, the minimum is reported.
    {"MinimumBeforeShrink", 1000, 10, Verify(20, 50),
     "The new index has 10 documents, fewer than MinDocuments (20). The live index was left in place."},
    {"CheckQueryMatches", 1000, 1000, Verify(0, 50, {"garden", "title:document AND river"}), nullptr},
    {"CheckQueryMatchesNothing", 1000, 1000, Verify(0, 50, {"garden", "zebra"}),
     "The check query \"zebra\" matches no document of the new index. The live index was left in place."},
    {"CheckQueryRejected", 1000, 1000, Verify(0, 50, {"garden AND"}),
     "The check query \"garden AND\" of <Verify><CheckQuery> in the configuration is not a query the index "
     "accepts: fts5: syntax error near \"\". The live index was left in place."},
};

class IndexGateCaseTest : public VerificationTest {
protected:
    void Run(const GateCase& c) {
        QByteArray before;
        if (c.live >= 0) {
            source->SetRows(c.live);
            ASSERT_FALSE(Build(kDefaults).has_value());
            before = ReadAll(live);
            ASSERT_EQ(Documents(live), c.live);
        }
        source->SetRows(c.next);
        bool built = false;
        std::int32_t count = -1;
        const std::optional<Error> error = Build(c.verify, &built, &count);
        if (c.refusal) {
            ASSERT_TRUE(error.has_value()) << "the build went live";
            EXPECT_EQ(error->Number(), errnum::kIndexRefused);
            EXPECT_EQ(error->Source(), QStringLiteral("ZarvikIndexing.IndexBuilder"));
            EXPECT_EQ(error->Description(), QString::fromUtf8(c.refusal));
            // The live index byte for byte, the refused one beside it for a look.
            EXPECT_EQ(ReadAll(live), before);
            EXPECT_EQ(count, std::max(c.live, 0));
            EXPECT_EQ(Documents(indexPath + QStringLiteral("/index.rejected.db")), c.next);
            QStringList expected = {"index.lock", "index.rejected.db"};
            if (c.live >= 0) expected.prepend("index.db");
            EXPECT_EQ(Folder(), expected);
        } else {
            ASSERT_FALSE(error.has_value()) << error->Description().toStdString();
            EXPECT_TRUE(built);
            EXPECT_EQ(count, c.next);
            EXPECT_EQ(Documents(live), c.next);
            EXPECT_FALSE(Info(live, "check.integrity").isEmpty());
            EXPECT_EQ(Info(live, "check.documents"),
                      QStringLiteral("%1 read from the source, %1 in the index").arg(c.next));
            const QString shrink = Info(live, "check.max_shrink");
            if (c.live < 0) {
                EXPECT_EQ(shrink, QStringLiteral("not run: no live index"));
                EXPECT_EQ(Folder(), (QStringList{"index.db", "index.lock"}));
            } else {
                EXPECT_TRUE(shrink.contains(QString::number(c.live))) << shrink.toStdString();
                // The replaced index is kept whole as the previous one.
                EXPECT_EQ(ReadAll(indexPath + QStringLiteral("/index.previous.db")), before);
                EXPECT_EQ(Folder(), (QStringList{"index.db", "index.lock", "index.previous.db"}));
            }
            for (qsizetype i = 0; i < c.verify.checkQueries.size(); ++i)
                EXPECT_EQ(Info(live, QStringLiteral("check.query.%1").arg(i + 1).toUtf8().constData()),
                          c.verify.checkQueries[i] + QStringLiteral(" : matches"));
        }
    }
};

TEST_P(IndexGateCaseTest, EveryCheckOnItsOwn) {
    for (const GateCase& c : kGateCases) {
        SCOPED_TRACE(c.name);
        QDir(indexPath).removeRecursively();
        Run(c);
        if (HasFatalFailure()) return;
    }
}

INSTANTIATE_TEST_SUITE_P(Sources, IndexGateCaseTest, ::testing::Values(Kind::kSqlite, Kind::kPostgres),
                         [](const auto& info) {
                             return std::string(info.param == Kind::kSqlite ? "Sqlite" : "Postgres");
                         });

// --- a staging file damaged on its way to disk ------------------------------------

// Flips bytes of the staging file before the checks see it.
struct DamageCase {
    const char* name;
    std::function<void(QByteArray&)> damage;
};

const DamageCase kDamageCases[] = {
    {"Header",
     [](QByteArray& b) {
         for (int i = 0; i < 16; ++i) b[i] = char(b[i] ^ 0x5a);
     }},
    // A few bytes of every page after the first: tables, the full-text segments, all.
    {"EveryPage",
     [](QByteArray& b) {
         for (qsizetype page = 4096; page + 4096 <= b.size(); page += 4096)
             for (int i = 40; i < 48; ++i) b[page + i] = char(b[page + i] ^ 0xff);
     }},
    // Only the middle of the file: the FTS5 segments after 'optimize'.
    {"Middle",
     [](QByteArray& b) {
         for (qsizetype i = b.size() / 2; i < b.size() / 2 + 2048; ++i) b[i] = char(b[i] ^ 0xa5);
     }},
};

class IndexGateDamageTest : public VerificationTest {};

TEST_P(IndexGateDamageTest, RefusedByTheIntegrityChecks) {
    for (const DamageCase& c : kDamageCases) {
        SCOPED_TRACE(c.name);
        QDir(indexPath).removeRecursively();
        source->SetRows(3000);
        ASSERT_FALSE(Build(kDefaults).has_value());
        const QByteArray before = ReadAll(live);
        source->SetRows(3100);
        QByteArray damaged;
        zarvik::index::Fts5IndexBuilder::SetStagingHookForTests([&](const QString& staging) {
            QByteArray bytes = ReadAll(staging);
            c.damage(bytes);
            QFile f(staging);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write(bytes);
            damaged = bytes;
        });
        const std::optional<Error> error = Build(kDefaults);
        zarvik::index::Fts5IndexBuilder::SetStagingHookForTests({});
        ASSERT_TRUE(error.has_value()) << "a damaged index went live";
        EXPECT_EQ(error->Number(), errnum::kIndexRefused);
        EXPECT_TRUE(
            error->Description().startsWith(QStringLiteral("The new index failed the integrity checks (")))
            << error->Description().toStdString();
        EXPECT_TRUE(error->Description().endsWith(QStringLiteral(" The live index was left in place.")));
        EXPECT_EQ(ReadAll(live), before);
        EXPECT_FALSE(damaged.isEmpty());
        EXPECT_EQ(ReadAll(indexPath + QStringLiteral("/index.rejected.db")), damaged);
        EXPECT_EQ(Folder(), (QStringList{"index.db", "index.lock", "index.rejected.db"}));
    }
}

INSTANTIATE_TEST_SUITE_P(Sources, IndexGateDamageTest, ::testing::Values(Kind::kSqlite),
                         [](const auto&) { return std::string("Sqlite"); });

// --- the files of the folder over several builds ------------------------------------

class IndexGateFilesTest : public VerificationTest {};

TEST_P(IndexGateFilesTest, OnePreviousAndOneRefusedIndexAtMost) {
    struct Step {
        int rows;
        bool goesLive;
        int live;      // documents of index.db afterwards
        int previous;  // of index.previous.db, -1 when none
        int rejected;  // of index.rejected.db, -1 when none
    };
    const Step steps[] = {
        {100, true, 100, -1, -1}, {120, true, 120, 100, -1}, {10, false, 120, 100, 10},
        {5, false, 120, 100, 5},  {130, true, 130, 120, 5},  {140, true, 140, 130, 5},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.rows);
        source->SetRows(s.rows);
        const std::optional<Error> error = Build(kDefaults);
        EXPECT_EQ(!error.has_value(), s.goesLive);
        EXPECT_EQ(Documents(live), s.live);
        const auto count = [&](const char* file) {
            const QString path = indexPath + QLatin1Char('/') + QLatin1String(file);
            return QFile::exists(path) ? Documents(path) : -1;
        };
        EXPECT_EQ(count("index.previous.db"), s.previous);
        EXPECT_EQ(count("index.rejected.db"), s.rejected);
        QStringList expected = {"index.db", "index.lock"};
        if (s.previous >= 0) expected << "index.previous.db";
        if (s.rejected >= 0) expected << "index.rejected.db";
        EXPECT_EQ(Folder(), expected);
    }
}

// A build killed between its two renames leaves index.previous.db as a second name of
// index.db, and maybe the temporary name of the first rename; the next build keeps the
// live index as the previous one and leaves nothing else.
TEST_P(IndexGateFilesTest, AfterAKillBetweenTheRenames) {
    for (const bool temporaryLeft : {false, true}) {
        SCOPED_TRACE(temporaryLeft);
        QDir(indexPath).removeRecursively();
        source->SetRows(100);
        ASSERT_FALSE(Build(kDefaults).has_value());
        const QByteArray before = ReadAll(live);
        const QByteArray previousName = QFile::encodeName(indexPath + QStringLiteral("/index.previous.db"));
        ASSERT_EQ(::link(QFile::encodeName(live).constData(), previousName.constData()), 0);
        if (temporaryLeft) {
            ASSERT_EQ(::link(QFile::encodeName(live).constData(), (previousName + ".tmp").constData()), 0);
        }
        source->SetRows(110);
        ASSERT_FALSE(Build(kDefaults).has_value());
        EXPECT_EQ(Documents(live), 110);
        EXPECT_EQ(ReadAll(indexPath + QStringLiteral("/index.previous.db")), before);
        EXPECT_EQ(Folder(), (QStringList{"index.db", "index.lock", "index.previous.db"}));
    }
}

TEST_P(IndexGateFilesTest, StopDuringTheChecksKeepsNoFile) {
    source->SetRows(2000);
    ASSERT_FALSE(Build(kDefaults).has_value());
    const QByteArray before = ReadAll(live);
    source->SetRows(2100);
    struct Stopper : component::StatusHandler {
        zarvik::index::Fts5IndexBuilder* builder = nullptr;
        bool sawChecks = false;
        void UpdateStatus(const QString& text) override {
            if (text.startsWith(QStringLiteral("Indexing: checking the new index"))) {
                sawChecks = true;
                builder->SetAborted(true);
            }
        }
        void ProcessEvents() override {}
    } stopper;
    zarvik::index::Fts5IndexBuilder b;
    stopper.builder = &b;
    b.Configure(&stopper, nullptr, {.name = QStringLiteral("catalog"), .path = indexPath, .query = QStringLiteral("SELECT DOCID, TITLE, BODY FROM DOCUMENT")}, source->ConnectionText());
    EXPECT_FALSE(b.Build());
    EXPECT_TRUE(stopper.sawChecks);
    EXPECT_EQ(b.DocumentCount(), 2000);
    EXPECT_EQ(ReadAll(live), before);
    EXPECT_EQ(Folder(), (QStringList{"index.db", "index.lock"}));
}

INSTANTIATE_TEST_SUITE_P(Sources, IndexGateFilesTest, ::testing::Values(Kind::kSqlite),
                         [](const auto&) { return std::string("Sqlite"); });

}  // namespace
