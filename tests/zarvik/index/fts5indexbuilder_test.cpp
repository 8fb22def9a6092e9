// Fts5IndexBuilder on real databases: SQLite files and the test PostgreSQL server.
#include "zarvik/index/fts5indexbuilder.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QUuid>
#include <chrono>
#include <csignal>
#include <functional>
#include <set>
#include <thread>

#include "snowball/snowball.h"
#include "support/filemodes.h"
#include "support/testdb.h"

namespace {

using component::Error;
namespace errnum = component::errnum;
using Clock = std::chrono::steady_clock;

struct Doc {
    int id;
    const char* title;
    const char* body;
    const char* url;
};
const Doc kDocs[] = {
    {1, "Running shoes", "She was running in the park every morning", "https://example.org/1"},
    {2, "Run", "A quick run before breakfast", "https://example.org/2"},
    {3, "Dessert", "Crème brûlée at the café", "https://example.org/3"},
    {4, "Furniture", "Wooden tables and chairs", "https://example.org/4"},
};
const QString kQuery = QStringLiteral("SELECT DOCID, TITLE, BODY, URL FROM DOCUMENT");

void Exec(sqlite3* db, const char* sql) {
    ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
}

// A SQLite document database: the four documents above, or `generated` made-up ones.
QString MakeSqliteSource(const QString& path, int generated = 0) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
    Exec(db, "CREATE TABLE DOCUMENT(DOCID INTEGER PRIMARY KEY, TITLE TEXT, BODY TEXT, URL TEXT)");
    Exec(db, "BEGIN");
    sqlite3_stmt* ins = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO DOCUMENT VALUES(?,?,?,?)", -1, &ins, nullptr);
    const auto add = [&](int id, const QByteArray& t, const QByteArray& b, const QByteArray& u) {
        sqlite3_bind_int(ins, 1, id);
        sqlite3_bind_text(ins, 2, t.constData(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(ins, 3, b.constData(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(ins, 4, u.constData(), -1, SQLITE_TRANSIENT);
        EXPECT_EQ(sqlite3_step(ins), SQLITE_DONE);
        sqlite3_reset(ins);
    };
    if (generated == 0) {
        for (const Doc& d : kDocs) add(d.id, d.title, d.body, d.url);
    } else {
        static const char* words[] = {"river",   "stone",   "garden", "window", "letter", "silver", "morning",
                                      "harbour", "lantern", "meadow", "engine", "valley", "candle", "forest"};
        for (int i = 1; i <= generated; ++i) {
            QByteArray body;
            for (int w = 0; w < 30; ++w) body += QByteArray(words[(i * 7 + w * 3) % 14]) + ' ';
            add(i, QByteArray("Document ") + QByteArray::number(i), body,
                "https://example.org/" + QByteArray::number(i));
        }
    }
    sqlite3_finalize(ins);
    Exec(db, "COMMIT");
    sqlite3_close(db);
    return QStringLiteral("Provider=SQLite;Database=") + path;
}

// Records every callback; `onStatus` may act on the n-th (1-based) UpdateStatus.
class Recorder : public component::StatusHandler {
public:
    void UpdateStatus(const QString& msg) override {
        statuses << msg;
        if (onStatus) onStatus(int(statuses.size()));
    }
    // Where each event pump came: after how many status texts.
    void ProcessEvents() override { events.push_back(int(statuses.size())); }
    QStringList statuses;
    std::vector<int> events;
    std::function<void(int)> onStatus;
};

// Rows of a query on an index, first column as text.
QStringList Query(const QString& indexDb, const QString& sql) {
    sqlite3* db = nullptr;
    QStringList out;
    EXPECT_EQ(sqlite3_open_v2(QFile::encodeName(indexDb).constData(), &db, SQLITE_OPEN_READONLY, nullptr),
              SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql.toUtf8().constData(), -1, &stmt, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    while (stmt && sqlite3_step(stmt) == SQLITE_ROW)
        out << QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return out;
}

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

class IndexBuilderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        indexPath = tmp.filePath(QStringLiteral("indexes/catalog"));
        liveDb = indexPath + QStringLiteral("/index.db");
        small = MakeSqliteSource(tmp.filePath(QStringLiteral("small.db")));
        lumora_snowball_register_everywhere();  // as the program does at start-up
    }
    // Builds with the given settings; the connection goes in as the resolved source.
    bool Build(zarvik::index::Fts5IndexBuilder& b, const QString& source, const QString& tokenizer = {},
               const QString& stored = QStringLiteral("URL"), const QString& prefix = {},
               const QString& query = kQuery) {
        b.Configure(&recorder, nullptr,
                    {.name = QStringLiteral("catalog"), .path = indexPath, .query = query, .storedColumns = stored,
                     .tokenizer = tokenizer, .prefix = prefix, .buildMode = buildMode},
                    source);
        return b.Build();
    }
    QStringList FolderEntries() const {
        return QDir(indexPath).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    }

    component::BuildModeSettings buildMode;  // what Build gives the builder
    QTemporaryDir tmp;
    QString indexPath;
    QString liveDb;
    QString small;
    Recorder recorder;
};

// --- building from each kind of source ------------------------------------------

enum class Kind { kSqlite, kPostgres, kOdbc };
struct SourceCase {
    const char* name;
    Kind kind;
};

class IndexBuilderSourceTest : public IndexBuilderTest, public ::testing::WithParamInterface<SourceCase> {};

QString MakePostgresSource() {
    // One database per test process: ctest runs the cases side by side, and making
    // the database afresh drops whatever another case of the same name still reads.
    const QString database = QStringLiteral("lumora_indexbuilder_%1").arg(QCoreApplication::applicationPid());
    const QString text = testsupport::PostgresConnectionText(database);
    if (text.isEmpty()) return text;
    const QString name = QStringLiteral("indexbuilder-fill");
    {
        QSqlDatabase db = testsupport::AddPostgresDatabase(name, database);
        EXPECT_TRUE(db.open()) << db.lastError().text().toStdString();
        QSqlQuery q(db);
        EXPECT_TRUE(q.exec(QStringLiteral(
            "CREATE TABLE DOCUMENT(DOCID INTEGER PRIMARY KEY, TITLE TEXT, BODY TEXT, URL TEXT)")));
        for (const Doc& d : kDocs) {
            q.prepare(QStringLiteral("INSERT INTO DOCUMENT VALUES(?,?,?,?)"));
            q.addBindValue(d.id);
            q.addBindValue(QString::fromUtf8(d.title));
            q.addBindValue(QString::fromUtf8(d.body));
            q.addBindValue(QString::fromUtf8(d.url));
            EXPECT_TRUE(q.exec()) << q.lastError().text().toStdString();
        }
        // More rows than one slice of the server-side cursor.
        EXPECT_TRUE(
            q.exec(QStringLiteral("INSERT INTO DOCUMENT SELECT g, 'Filler ' || g, 'lorem ipsum', NULL "
                                  "FROM generate_series(100, 2599) g")));
        q = QSqlQuery();
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return text;
}

TEST_P(IndexBuilderSourceTest, BuildsASearchableIndex) {
    const SourceCase& c = GetParam();
    QString source = small;
    int expected = 4;
    if (c.kind == Kind::kOdbc) {
        // The SQLite ODBC driver of unixODBC, as a SQL Server would be reached.
        source = QStringLiteral("Provider=ODBC;Driver={SQLite3};Database=") +
                 tmp.filePath(QStringLiteral("small.db"));
    }
    if (c.kind == Kind::kPostgres) {
        source = MakePostgresSource();
        if (source.isEmpty()) {
            if (testsupport::PostgresRequired()) FAIL() << "LUMORA_TEST_PG is not set";
            GTEST_SKIP() << "no PostgreSQL test server";
        }
        expected = 4 + 2500;
    }
    zarvik::index::Fts5IndexBuilder b;
    b.Configure(&recorder, nullptr,
                {.name = QStringLiteral("catalog"), .path = indexPath, .query = kQuery,
                 .storedColumns = QStringLiteral("url")},
                source);
    ASSERT_TRUE(b.Build());
    EXPECT_EQ(b.DocumentCount(), expected);
    EXPECT_EQ(recorder.statuses.last(), QStringLiteral("Indexing finished: %1 documents").arg(expected));

    // Stemming and diacritics: "running" finds "run", "cafe" finds "café".
    EXPECT_EQ(Query(liveDb,
                    QStringLiteral("SELECT key FROM documents WHERE documents MATCH 'running' ORDER BY key")),
              (QStringList{"1", "2"}));
    EXPECT_EQ(Query(liveDb, QStringLiteral("SELECT key FROM documents WHERE documents MATCH 'cafe'")),
              QStringList{"3"});
    // The stored column is kept but not searched; the key stays an integer.
    EXPECT_TRUE(
        Query(liveDb, QStringLiteral("SELECT key FROM documents WHERE documents MATCH 'example'")).isEmpty());
    EXPECT_EQ(Query(liveDb, QStringLiteral("SELECT url FROM documents WHERE key = 2")),
              QStringList{"https://example.org/2"});
    EXPECT_EQ(Query(liveDb, QStringLiteral("SELECT typeof(key) FROM documents WHERE key = 2")),
              QStringList{"integer"});
    EXPECT_EQ(Query(liveDb, QStringLiteral("SELECT count(*) FROM documents")),
              QStringList{QString::number(expected)});

    EXPECT_EQ(Query(liveDb, QStringLiteral("SELECT value FROM index_info WHERE name = 'documents'")),
              QStringList{QString::number(expected)});
    EXPECT_EQ(Query(liveDb, QStringLiteral("SELECT value FROM index_info WHERE name = 'query'")),
              QStringList{kQuery});
    EXPECT_EQ(Query(liveDb, QStringLiteral("SELECT value FROM index_info WHERE name = 'tokenizer'")),
              QStringList{"porter unicode61 remove_diacritics 2"});
    const QStringList version =
        Query(liveDb, QStringLiteral("SELECT value FROM index_info WHERE name = 'version'"));
    ASSERT_EQ(version.size(), 1);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d+\\.\\d+\\.\\d+$")).match(version[0]).hasMatch())
        << version[0].toStdString();
    const QStringList built =
        Query(liveDb, QStringLiteral("SELECT value FROM index_info WHERE name = 'built'"));
    ASSERT_EQ(built.size(), 1);
    EXPECT_TRUE(QDateTime::fromString(built[0], Qt::ISODate).isValid()) << built[0].toStdString();

    // Readers open it read-only: rollback journal, no WAL, nothing but the lock beside it.
    EXPECT_EQ(Query(liveDb, QStringLiteral("PRAGMA journal_mode")), QStringList{"delete"});
    EXPECT_EQ(FolderEntries(), (QStringList{"index.db", "index.lock"}));
}

INSTANTIATE_TEST_SUITE_P(Sources, IndexBuilderSourceTest,
                         ::testing::Values(SourceCase{"SqliteConnection", Kind::kSqlite},
                                           SourceCase{"PostgresConnection", Kind::kPostgres},
                                           SourceCase{"OdbcConnection", Kind::kOdbc}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- settings ---------------------------------------------------------------------

struct SettingsCase {
    const char* name;
    const char* tokenizer;
    const char* prefix;
    const char* match;
    QStringList keys;
};

class IndexBuilderSettingsTest : public IndexBuilderTest,
                                 public ::testing::WithParamInterface<SettingsCase> {};

TEST_P(IndexBuilderSettingsTest, TokenizerAndPrefixReachTheIndex) {
    const SettingsCase& c = GetParam();
    zarvik::index::Fts5IndexBuilder b;
    ASSERT_TRUE(
        Build(b, small, QString::fromUtf8(c.tokenizer), QStringLiteral("URL"), QString::fromUtf8(c.prefix)));
    EXPECT_EQ(
        Query(liveDb, QStringLiteral("SELECT key FROM documents WHERE documents MATCH '%1' ORDER BY key")
                          .arg(QString::fromUtf8(c.match))),
        c.keys);
    if (*c.prefix) {
        // A prefix index is a real FTS5 option: the config table records it.
        EXPECT_EQ(Query(liveDb, QStringLiteral("SELECT value FROM index_info WHERE name = 'prefix'")),
                  QStringList{QString::fromUtf8(c.prefix)});
    }
}

INSTANTIATE_TEST_SUITE_P(
    Settings, IndexBuilderSettingsTest,
    ::testing::Values(SettingsCase{"NoStemmingWithPlainUnicode", "unicode61", "", "running", {"1"}},
                      SettingsCase{
                          "DiacriticsKeptWhenAsked", "unicode61 remove_diacritics 0", "", "cafe", {}},
                      SettingsCase{"PrefixQuery", "", "2 3", "ru*", {"1", "2"}},
                      SettingsCase{"ColumnFilter", "", "", "title:run", {"1", "2"}}),
    [](const auto& info) { return std::string(info.param.name); });

// --- failures keep the live index --------------------------------------------------

struct FailureCase {
    const char* name;
    const char* tokenizer;
    const char* stored;
    const char* prefix;
    const char* query;
    bool missingDatabase;
    std::int32_t number;
    const char* message;  // part of the description
};

class IndexBuilderFailureTest : public IndexBuilderTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(IndexBuilderFailureTest, RaisesAndLeavesTheLiveIndexAsItWas) {
    const FailureCase& c = GetParam();
    {
        zarvik::index::Fts5IndexBuilder first;
        ASSERT_TRUE(Build(first, small));
    }
    const QByteArray before = ReadAll(liveDb);
    ASSERT_FALSE(before.isEmpty());

    zarvik::index::Fts5IndexBuilder b;
    const QString source =
        c.missingDatabase ? QStringLiteral("Provider=SQLite;Database=") + tmp.filePath("none.db") : small;
    try {
        Build(b, source, QString::fromUtf8(c.tokenizer), QString::fromUtf8(c.stored),
              QString::fromUtf8(c.prefix), *c.query ? QString::fromUtf8(c.query) : kQuery);
        FAIL() << "Build did not raise";
    } catch (const Error& e) {
        EXPECT_EQ(e.Number(), c.number) << e.Description().toStdString();
        EXPECT_TRUE(e.Description().contains(QString::fromUtf8(c.message))) << e.Description().toStdString();
    }
    EXPECT_EQ(ReadAll(liveDb), before);
    EXPECT_EQ(FolderEntries(), (QStringList{"index.db", "index.lock"}));
    EXPECT_EQ(b.DocumentCount(), 4);  // the index that stayed in place
    EXPECT_FALSE(QFile::exists(tmp.filePath("none.db")));
}

INSTANTIATE_TEST_SUITE_P(
    Failures, IndexBuilderFailureTest,
    ::testing::Values(
        FailureCase{"UnknownTokenizer", "nosuch", "URL", "", "", false, errnum::kIndexBuild,
                    "no such tokenizer: nosuch"},
        // FTS5 itself would say only "error in tokenizer constructor".
        FailureCase{"UnknownLanguage", "snowball german klingon", "URL", "", "", false, errnum::kIndexBuild,
                    "knows no language \"klingon\"; the languages it knows are arabic, "},
        FailureCase{"NoLanguage", "snowball unicode61", "URL", "", "", false, errnum::kIndexBuild,
                    "needs at least one language"},
        FailureCase{"BadUnicodeOption", "snowball french unicode61 remove_diacritics 3", "URL", "", "", false,
                    errnum::kIndexBuild, "\"3\" does not fit there"},
        FailureCase{"MalformedPrefix", "", "URL", "abc", "", false, errnum::kIndexBuild, "malformed prefix"},
        FailureCase{"UnknownStoredColumn", "", "URL, PRICE", "", "", false, errnum::kIndexBuild, "PRICE"},
        FailureCase{"SecondKeyColumn", "", "", "", "SELECT DOCID, TITLE AS key FROM DOCUMENT", false,
                    errnum::kIndexBuild, "\"key\""},
        // SQLite's own reason, not a blame on the tokenizer.
        FailureCase{"ReservedColumnName", "", "", "", "SELECT DOCID, TITLE AS rank FROM DOCUMENT", false,
                    errnum::kIndexBuild, "reserved fts5 column name: rank"},
        FailureCase{"DuplicateColumn", "", "", "", "SELECT DOCID, TITLE, TITLE FROM DOCUMENT", false,
                    errnum::kIndexBuild, "duplicate column name: TITLE"},
        FailureCase{"BadQuery", "", "", "", "SELECT NOPE FROM DOCUMENT", false, errnum::kDatabase,
                    "no such column: NOPE"},
        FailureCase{"MissingDatabase", "", "URL", "", "", true, errnum::kDatabase, "none.db"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(IndexBuilderTest, FailedFirstBuildCountsNothingAndLeavesNoIndex) {
    zarvik::index::Fts5IndexBuilder b;
    EXPECT_THROW(Build(b, small, QStringLiteral("nosuch")), Error);
    EXPECT_EQ(b.DocumentCount(), 0);
    EXPECT_EQ(FolderEntries(), QStringList{"index.lock"});
}

// A successful build never leaves the readers of an index unable to read it: whatever
// the umask, the new index gets the owner, group and mode of the one it replaces, or
// the folder's owner and group and 0644 for a first one; the kept previous index (put
// back by hand in a rollback) keeps them as well.
TEST_F(IndexBuilderTest, TheNewIndexKeepsTheOwnerGroupAndModeOfTheOneItReplaces) {
    using testsupport::Ownership;
    const struct {
        const char* name;
        bool previous;
        component::BuildMode mode;
        bool folderExists = true;
    } cases[] = {{"FirstBuild", false, component::BuildMode::Full},
                 {"FullBuild", true, component::BuildMode::Full},
                 {"ChangesBuild", true, component::BuildMode::Changes},
                 {"FolderTheBuildMakes", false, component::BuildMode::Full, false}};
    const testsupport::ScopedUmask umask(077);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(QDir(indexPath).removeRecursively());
        const Ownership wanted = c.folderExists ? testsupport::ReaderOwnership(c.previous ? 0640 : 0644)
                                                : Ownership{.mode = 0644};
        if (c.folderExists) {
            ASSERT_TRUE(QDir().mkpath(indexPath) && testsupport::Give(indexPath, {wanted.uid, wanted.gid, 0755}));
        }
        buildMode = {c.mode, 100};  // a changes build needs the digests of the one before
        if (c.previous) {
            zarvik::index::Fts5IndexBuilder first;
            ASSERT_TRUE(Build(first, small));
            ASSERT_TRUE(testsupport::Give(liveDb, wanted));
        }
        zarvik::index::Fts5IndexBuilder b;
        ASSERT_TRUE(Build(b, small));
        EXPECT_EQ(b.LastBuild().mode, c.mode) << b.LastBuild().fullBuildReason.toStdString();
        EXPECT_EQ(testsupport::OwnershipOf(liveDb), wanted);
        // A folder the build made lets readers in whatever the umask.
        if (!c.folderExists) {
            EXPECT_EQ(testsupport::OwnershipOf(indexPath).mode, mode_t(0755));
        }
        if (c.previous) {
            EXPECT_EQ(testsupport::OwnershipOf(indexPath + "/index.previous.db"), wanted);
        }
    }
}

// --- stopping, killing, locking ------------------------------------------------------

TEST_F(IndexBuilderTest, StopMidBuildKeepsThePreviousIndex) {
    {
        zarvik::index::Fts5IndexBuilder first;
        ASSERT_TRUE(Build(first, small));
    }
    const QByteArray before = ReadAll(liveDb);
    const QString big = MakeSqliteSource(tmp.filePath("big.db"), 20000);

    zarvik::index::Fts5IndexBuilder b;
    QString atStop;
    recorder = Recorder();
    recorder.onStatus = [&](int n) {
        if (n == 3) {
            atStop = recorder.statuses.last();
            b.SetAborted(true);
        }
    };
    EXPECT_FALSE(Build(b, big));
    EXPECT_TRUE(b.Aborted());
    EXPECT_EQ(ReadAll(liveDb), before);
    EXPECT_EQ(FolderEntries(), (QStringList{"index.db", "index.lock"}));
    EXPECT_EQ(b.DocumentCount(), 4);
    EXPECT_EQ(
        Query(liveDb, QStringLiteral("SELECT key FROM documents WHERE documents MATCH 'run' ORDER BY key")),
        (QStringList{"1", "2"}));
    // The stop is honoured at the callback that saw it: no document is added after it.
    const auto m = QRegularExpression(QStringLiteral("^Indexing: (\\d+) of 20000")).match(atStop);
    ASSERT_TRUE(m.hasMatch()) << atStop.toStdString();
    EXPECT_EQ(recorder.statuses.last(),
              QStringLiteral("Indexing aborted after %1 documents").arg(m.captured(1)));
}

TEST_F(IndexBuilderTest, KilledBuildLeavesTheLiveIndexAndReleasesTheLock) {
    {
        zarvik::index::Fts5IndexBuilder first;
        ASSERT_TRUE(Build(first, small));
    }
    const QByteArray before = ReadAll(liveDb);
    const QString big = MakeSqliteSource(tmp.filePath("big.db"), 60000);

    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(pipeFds[0]);
        struct PipeHandler : component::StatusHandler {
            int fd;
            void UpdateStatus(const QString&) override { (void)!::write(fd, "s", 1); }
            void ProcessEvents() override {}
        } handler;
        handler.fd = pipeFds[1];
        zarvik::index::Fts5IndexBuilder b;
        b.Configure(&handler, nullptr, {.name = QStringLiteral("catalog"), .path = indexPath, .query = kQuery, .storedColumns = QStringLiteral("URL")}, big);
        try {
            b.Build();
        } catch (...) {
        }
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    // Counting, the start, then a few thousand documents into the build.
    char c;
    for (int i = 0; i < 6; ++i) ASSERT_EQ(::read(pipeFds[0], &c, 1), 1);
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::close(pipeFds[0]);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the build ended before it was killed";
    EXPECT_EQ(ReadAll(liveDb), before);

    zarvik::index::Fts5IndexBuilder next;
    ASSERT_TRUE(Build(next, big));
    EXPECT_EQ(next.DocumentCount(), 60000);
    // The killed build left nothing behind; the first index is kept as the previous one.
    EXPECT_EQ(FolderEntries(), (QStringList{"index.db", "index.lock", "index.previous.db"}));
    EXPECT_EQ(ReadAll(indexPath + QStringLiteral("/index.previous.db")), before);
}

TEST_F(IndexBuilderTest, SecondBuildOfTheSameIndexIsRefused) {
    const QString other = tmp.filePath(QStringLiteral("indexes/other"));
    bool refused = false;
    bool otherBuilt = false;
    recorder.onStatus = [&](int n) {
        if (n != 2) return;
        Recorder quiet;
        zarvik::index::Fts5IndexBuilder second;
        second.Configure(&quiet, nullptr, {.name = QStringLiteral("catalog"), .path = indexPath, .query = kQuery}, small);
        try {
            second.Build();
        } catch (const Error& e) {
            refused =
                e.Number() == errnum::kIndexLocked && e.Description().contains(QStringLiteral("\"catalog\""));
        }
        // Another index is not held up by this build.
        zarvik::index::Fts5IndexBuilder third;
        third.Configure(&quiet, nullptr, {.name = QStringLiteral("other"), .path = other, .query = kQuery}, small);
        otherBuilt = third.Build();
    };
    zarvik::index::Fts5IndexBuilder first;
    EXPECT_TRUE(Build(first, small));
    EXPECT_TRUE(refused);
    EXPECT_TRUE(otherBuilt);
    EXPECT_EQ(first.DocumentCount(), 4);
}

// --- status rates ----------------------------------------------------------------------

TEST_F(IndexBuilderTest, StatusAndEventsComeThroughoutTheBuild) {
    const int total = 50000;
    const QString big = MakeSqliteSource(tmp.filePath("big.db"), total);
    zarvik::index::Fts5IndexBuilder b;
    const auto start = Clock::now();
    ASSERT_TRUE(Build(b, big));
    const auto elapsed = Clock::now() - start;
    EXPECT_EQ(b.DocumentCount(), total);
    EXPECT_EQ(recorder.statuses.last(), QStringLiteral("Indexing finished: 50000 documents"));

    const QRegularExpression progress(
        QStringLiteral("^Indexing: (\\d+) of 50000 documents \\((\\d+)%\\), \\d+ documents/s$"));
    std::int64_t last = -1;
    int progressCount = 0;
    for (const QString& s : recorder.statuses) {
        const auto m = progress.match(s);
        if (!m.hasMatch()) continue;
        const std::int64_t n = m.captured(1).toLongLong();
        EXPECT_EQ(m.captured(2).toLongLong(), n * 100 / total) << s.toStdString();
        if (last >= 0) {
            EXPECT_GE(n, last);
            EXPECT_LE(n - last, 1000) << "more than 1,000 documents between two status texts";
        }
        last = n;
        ++progressCount;
    }
    EXPECT_EQ(last, total);
    // Not much more often than the rule needs.
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
    EXPECT_LE(progressCount, total / 1000 + ms / 250 + 5);

    // The events are pumped while the documents are read and while the new index is
    // checked, not only between status texts; their rate is measured in bench/.
    const auto firstProgress = recorder.statuses.indexOf(progress);
    const auto lastProgress = recorder.statuses.lastIndexOf(progress);
    const auto pumpedBetween = [&](qsizetype from, qsizetype to) {
        return std::any_of(recorder.events.begin(), recorder.events.end(),
                           [&](int e) { return e > from && e <= to; });
    };
    const auto checking =
        recorder.statuses.indexOf(QRegularExpression(QStringLiteral("Indexing: checking .*")));
    ASSERT_EQ(checking, lastProgress + 2) << recorder.statuses.join(u'\n').toStdString();
    EXPECT_TRUE(pumpedBetween(firstProgress, lastProgress)) << "while reading";
    EXPECT_TRUE(pumpedBetween(checking, recorder.statuses.size() - 1)) << "while checking";
}

// --- the reader thread --------------------------------------------------------------

// Fails without a test server where one is required, else skips.
#define LUMORA_NEED_PG(text)                                                        \
    if (text.isEmpty()) {                                                           \
        if (testsupport::PostgresRequired()) FAIL() << "LUMORA_TEST_PG is not set"; \
        GTEST_SKIP() << "no PostgreSQL test server";                                \
    }

// Every row of the source reaches the index once, its values bound with their types
// (each backend's reading of them is tested with the backend, batchreader_test).
TEST_F(IndexBuilderTest, IndexHoldsExactlyTheSourceRows) {
    const int rows = 20000;
    const QString source = MakeSqliteSource(tmp.filePath("big.db"), rows);
    QStringList expected;  // key|title of every row, in key order
    for (int i = 1; i <= rows; ++i) expected << QStringLiteral("%1|Document %1").arg(i);
    zarvik::index::Fts5IndexBuilder b;
    ASSERT_TRUE(
        Build(b, source, QString(), QStringLiteral("SCORE, RAW, FLAG, URL"), QString(),
              QStringLiteral("SELECT DOCID, TITLE, BODY, 1.5 AS SCORE, x'00ff' AS RAW, 1 AS FLAG, URL "
                             "FROM DOCUMENT")));
    EXPECT_EQ(b.DocumentCount(), rows);
    EXPECT_EQ(Query(liveDb, QStringLiteral("SELECT key || '|' || title FROM documents ORDER BY key")),
              expected);
    EXPECT_EQ(Query(liveDb, QStringLiteral("SELECT DISTINCT typeof(key) || typeof(score) || typeof(raw) || "
                                           "typeof(flag) || hex(raw) || score || flag FROM documents")),
              QStringList{"integerrealblobinteger00FF1.51"});
    // The last row of the last batch has all its text.
    const QString last = QString::number(rows);
    EXPECT_EQ(Query(liveDb, QStringLiteral("SELECT body FROM documents WHERE key = %1").arg(last)),
              Query(tmp.filePath("big.db"),
                    QStringLiteral("SELECT BODY FROM DOCUMENT WHERE DOCID = %1").arg(last)));
}

// The start of the tests of failing and stopped builds: a live index built from the
// small source, and a large source, on SQLite (20,000 documents) or the PostgreSQL one,
// which is empty when there is no PostgreSQL server.
class IndexBuilderBigSourceTest : public IndexBuilderTest {
protected:
    QString BigSourceOverALiveIndex(Kind kind) {
        const QString source =
            kind == Kind::kSqlite ? MakeSqliteSource(tmp.filePath("big.db"), 20000) : MakePostgresSource();
        if (source.isEmpty()) return source;
        zarvik::index::Fts5IndexBuilder first;
        EXPECT_TRUE(Build(first, small));
        return source;
    }
};

struct ReaderFailureCase {
    const char* name;
    Kind kind;
    const char* query;
    const char* message;
};

class IndexBuilderReaderFailureTest : public IndexBuilderBigSourceTest,
                                      public ::testing::WithParamInterface<ReaderFailureCase> {};

// A row that fails to read in the middle of the rows: the reader thread's error is the
// build's error, and nothing of the half-built index is left.
TEST_P(IndexBuilderReaderFailureTest, ReaderErrorFailsTheBuildAndKeepsTheLiveIndex) {
    const ReaderFailureCase& c = GetParam();
    const QString source = BigSourceOverALiveIndex(c.kind);
    LUMORA_NEED_PG(source);
    const QByteArray before = ReadAll(liveDb);
    zarvik::index::Fts5IndexBuilder b;
    try {
        Build(b, source, QString(), QString(), QString(), QString::fromUtf8(c.query));
        FAIL() << "Build did not raise";
    } catch (const Error& e) {
        EXPECT_EQ(e.Number(), errnum::kDatabase) << e.Description().toStdString();
        EXPECT_TRUE(e.Description().contains(QString::fromUtf8(c.message))) << e.Description().toStdString();
    }
    // The count and the start of the query went well: the failure came from the reading.
    EXPECT_FALSE(
        recorder.statuses.filter(QRegularExpression(QStringLiteral("^Indexing: 0 of \\d+ documents")))
            .isEmpty())
        << recorder.statuses.join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(recorder.statuses.last().startsWith(QStringLiteral("Indexing failed after ")))
        << recorder.statuses.last().toStdString();
    EXPECT_EQ(ReadAll(liveDb), before);
    EXPECT_EQ(FolderEntries(), (QStringList{"index.db", "index.lock"}));
    EXPECT_EQ(b.DocumentCount(), 4);
}

INSTANTIATE_TEST_SUITE_P(
    ReaderFailures, IndexBuilderReaderFailureTest,
    ::testing::Values(
        ReaderFailureCase{
            "Sqlite", Kind::kSqlite,
            "SELECT DOCID, CASE WHEN DOCID > 15000 THEN abs(-9223372036854775807 - 1) ELSE TITLE "
            "END AS TITLE FROM DOCUMENT",
            "integer overflow"},
        ReaderFailureCase{"Postgres", Kind::kPostgres,
                          "SELECT DOCID, CASE WHEN DOCID > 2000 THEN (1 / (DOCID - DOCID))::text ELSE TITLE "
                          "END AS TITLE FROM DOCUMENT ORDER BY DOCID",
                          "division by zero"}),
    [](const auto& info) { return std::string(info.param.name); });

struct StopCase {
    const char* name;
    Kind kind;
    const char* query;    // empty: the documents as they are
    bool duringTheCount;  // stop while the reader waits for its database, else while the queue is full
};

class IndexBuilderStopTest : public IndexBuilderBigSourceTest, public ::testing::WithParamInterface<StopCase> {};

// The stop is honoured wherever the reader thread is: inside a long statement of its
// database, or waiting for room in a full queue. The bound only tells a stop that
// interrupts the reader from one that waits for it (a minute of pg_sleep); how fast
// the stop is, is measured by the benchmark, not here, where a loaded machine would
// make any tight bound fail at random.
TEST_P(IndexBuilderStopTest, StopReturnsPromptlyAndKeepsTheLiveIndex) {
    const StopCase& c = GetParam();
    const QString source = BigSourceOverALiveIndex(c.kind);
    LUMORA_NEED_PG(source);
    const QByteArray before = ReadAll(liveDb);
    recorder = Recorder();
    zarvik::index::Fts5IndexBuilder b;
    Clock::time_point stoppedAt{};
    const auto stop = [&] {
        stoppedAt = Clock::now();
        b.SetAborted(true);
    };
    const auto started = Clock::now();
    if (c.duringTheCount) {
        struct Stopper : Recorder {
            std::function<void()> atEvents;
            void ProcessEvents() override {
                Recorder::ProcessEvents();
                if (atEvents) atEvents();
            }
        } stopper;
        stopper.atEvents = [&] {
            if (stoppedAt == Clock::time_point{} && Clock::now() - started > std::chrono::milliseconds(300))
                stop();
        };
        b.Configure(&stopper, nullptr, {.name = QStringLiteral("catalog"), .path = indexPath, .query = QString::fromUtf8(c.query)}, source);
        EXPECT_FALSE(b.Build());
        EXPECT_EQ(stopper.statuses.last(), QStringLiteral("Indexing aborted after 0 documents"));
    } else {
        recorder.onStatus = [&](int n) {
            if (n != 2) return;
            // The writer stands still here, so the reader fills the queue and waits.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            stop();
        };
        EXPECT_FALSE(Build(b, source, QString(), QString(), QString(), QString::fromUtf8(c.query)));
        EXPECT_EQ(recorder.statuses.last(), QStringLiteral("Indexing aborted after 0 documents"));
    }
    const auto returned = Clock::now();
    ASSERT_NE(stoppedAt, Clock::time_point{}) << "the build ended before the stop";
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(returned - stoppedAt).count(), 10000);
    EXPECT_EQ(ReadAll(liveDb), before);
    EXPECT_EQ(FolderEntries(), (QStringList{"index.db", "index.lock"}));
    EXPECT_EQ(b.DocumentCount(), 4);
}

INSTANTIATE_TEST_SUITE_P(
    Stops, IndexBuilderStopTest,
    ::testing::Values(
        StopCase{"SqliteFullQueue", Kind::kSqlite, "SELECT DOCID, TITLE, BODY FROM DOCUMENT", false},
        StopCase{"PostgresFullQueue", Kind::kPostgres, "SELECT DOCID, TITLE, BODY FROM DOCUMENT", false},
        StopCase{"SqliteLongCount", Kind::kSqlite,
                 "WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < 1000000000) "
                 "SELECT x, 'text' AS TITLE FROM n",
                 true},
        StopCase{"PostgresLongCount", Kind::kPostgres,
                 "SELECT DOCID, TITLE FROM DOCUMENT CROSS JOIN pg_sleep(60)", true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
