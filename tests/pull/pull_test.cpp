// The store and its readers end to end: versions published to a local store folder and
// to an S3 server, pulled by lumora-index-pull through rclone and over HTTP (nginx, or
// the S3 server's own HTTP), damaged stores, killed publishers and agents, and readers
// querying while pulls swap their index.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QThread>
#include <QUuid>
#include <atomic>
#include <functional>
#include <thread>

#include "support/eventlogfile.h"
#include "support/qt_printers.h"
#include "support/storebuild.h"
#include "support/storeservers.h"
#include "zarvik/store/manifest.h"
#include "zarvik/store/publisher.h"

namespace {

namespace store = zarvik::store;

using testsupport::BuildVersion;
using testsupport::ExecSql;

// Every connection of this process loads the extension lumora_snowball.so, as a reader's
// would; the agent, in a process of its own, registers the tokenizer itself.
void LoadTheExtensionEverywhere() {
    void* extension = ::dlopen(LUMORA_SNOWBALL_EXTENSION, RTLD_NOW);
    ASSERT_TRUE(extension) << ::dlerror();
    void* init = ::dlsym(extension, "sqlite3_lumorasnowball_init");
    ASSERT_TRUE(init) << ::dlerror();
    sqlite3_auto_extension(reinterpret_cast<void (*)()>(init));
}

QByteArray Bytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

struct Pulled {
    int status = -1;
    QString error;
};

Pulled RunPull(const QString& source, const QString& folder, const QStringList& extra = {}) {
    QDir().mkpath(folder);
    QProcess p;
    p.start(QStringLiteral(LUMORA_PULL_TOOL), QStringList{source, folder} + extra);
    p.waitForFinished(120000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromUtf8(p.readAllStandardError())};
}

store::PublishOutcome Publish(const QString& target, const QString& folder, const QString& scratch) {
    store::PublishRun run(scratch);
    return store::Publish(*store::OpenStore(target), folder + "/index.db", folder + "/index.previous.db",
                          component::PublishSettings{3, 2}, run);
}

// A store and the two ways of reading it: through rclone, and over HTTP.
struct TestStore {
    QString target;  // store:...
    QString http;    // empty when no web server serves it
};

enum class Kind { Local, S3 };

class StoreTest : public ::testing::TestWithParam<Kind> {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        const QString name = QStringLiteral("lumora-") + QUuid::createUuid().toString(QUuid::Id128).left(12);
        if (GetParam() == Kind::S3) {
            LUMORA_NEED_SERVER(testsupport::UseS3Remote(), "the S3 server (LUMORA_TEST_S3)");
            m_store = {"store:lumoras3:" + name + "/catalog",
                       qEnvironmentVariable("LUMORA_TEST_S3") + "/" + name + "/catalog"};
            return;
        }
        const QString root = qEnvironmentVariable("LUMORA_TEST_HTTP_ROOT");
        LUMORA_NEED_SERVER(!root.isEmpty(), "nginx (LUMORA_TEST_HTTP)");
        m_store = {"store:" + root + "/" + name, qEnvironmentVariable("LUMORA_TEST_HTTP") + "/" + name};
        m_localStore = root + "/" + name;
    }
    void TearDown() override {
        if (!m_localStore.isEmpty()) QDir(m_localStore).removeRecursively();
    }
    QString Path(const QString& name) const { return m_dir.path() + "/" + name; }
    // The one object of the local store folder whose name matches `pattern`.
    QString StoreObject(const QString& pattern) const {
        const QStringList names = QDir(m_localStore).entryList({pattern}, QDir::Files);
        return names.size() == 1 ? names[0]
                                 : QStringLiteral("<%1 objects match %2>").arg(names.size()).arg(pattern);
    }
    void ExpectSame(const QString& reader, const char* why) {
        EXPECT_EQ(Bytes(Path("build/index.db")), Bytes(reader + "/index.db"))
            << why << " " << reader.toStdString();
    }

    QTemporaryDir m_dir;
    TestStore m_store;
    QString m_localStore;
};

// After each publish, readers that start empty, follow every version (through rclone and
// over HTTP) and look only every fourth time (several behind, across whole files) all
// hold the build's file byte for byte; a pull with nothing new fetches only `current`.
// The index is made with the tokenizer snowball, which the agent's checks must know, and
// a reader's copy answers a stemmed query through the extension.
TEST_P(StoreTest, ReadersHoldTheBuiltFileAfterEveryPublish) {
    LoadTheExtensionEverywhere();
    const bool fullBuilds[] = {true, false, false, false, true, false, false, false, false};
    QDir().mkpath(Path("build"));
    int packs = 0;
    for (int v = 1; v <= int(std::size(fullBuilds)); ++v) {
        BuildVersion(Path("build"), v, fullBuilds[v - 1], false, "snowball english");
        const store::PublishOutcome published = Publish(m_store.target, Path("build"), m_dir.path());
        ASSERT_EQ(published.current.version, v);
        packs += published.current.whole ? 0 : 1;
        if (!fullBuilds[v - 1] && !published.current.whole) {
            EXPECT_LT(published.sent, QFile(Path("build/index.db")).size() / 4) << "version " << v;
        }
        const std::pair<QString, QString> readers[] = {
            {m_store.target, Path(QStringLiteral("empty%1").arg(v))},
            {m_store.target, Path("follower-rclone")},
            {m_store.http, Path("follower-http")},
            {m_store.http, Path("laggard")}};
        for (const auto& [source, folder] : readers) {
            if (folder.endsWith("laggard") && v % 4 != 0) continue;
            const Pulled pulled = RunPull(source, folder);
            ASSERT_EQ(pulled.status, 0) << pulled.error.toStdString();
            ExpectSame(folder, "after a pull");
        }
    }
    EXPECT_GE(packs, 5) << "every changes build but those that close a chain of FullEvery 3 is a pack";
    // Nothing new: only `current` is fetched, the manifest's name and a line break.
    const Pulled again = RunPull(m_store.http, Path("follower-http"), {"--metrics", Path("pull.prom")});
    ASSERT_EQ(again.status, 0);
    EXPECT_TRUE(Bytes(Path("pull.prom"))
                    .contains("lumora_index_pull_bytes_fetched{folder=\"" + Path("follower-http").toUtf8() +
                              "\"} 83\n"))
        << Bytes(Path("pull.prom")).toStdString();
    // Stemmed, "words" is the prefix "word", which every document has; unicode61 finds none.
    sqlite3* db = nullptr;
    sqlite3_open_v2(Path("follower-http/index.db").toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* stmt = nullptr;
    ASSERT_EQ(
        sqlite3_prepare_v2(db, "SELECT count(*) FROM documents WHERE documents MATCH lumora_match('words')",
                           -1, &stmt, nullptr),
        SQLITE_OK)
        << sqlite3_errmsg(db);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(stmt, 0), 1500);
    sqlite3_finalize(stmt);
    sqlite3_close(db);
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreTest, ::testing::Values(Kind::Local, Kind::S3),
                         [](const auto& info) { return info.param == Kind::Local ? "Local" : "S3"; });

class BadStoreTest : public StoreTest {};

void Rewrite(const QString& path, const std::function<void(QByteArray&)>& change) {
    QByteArray bytes = Bytes(path);
    change(bytes);
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

// Each damage is refused with exit status 2 and a sentence naming the object or the
// store, and the reader's folder stays as it was.
TEST_P(BadStoreTest, DamagedOrUnreachableStoresLeaveTheReaderAsItWas) {
    QDir().mkpath(Path("build"));
    BuildVersion(Path("build"), 1, true);
    Publish(m_store.target, Path("build"), m_dir.path());
    ASSERT_EQ(RunPull(m_store.target, Path("reader")).status, 0);
    BuildVersion(Path("build"), 2, false);
    Publish(m_store.target, Path("build"), m_dir.path());
    const QByteArray held = Bytes(Path("reader/index.db"));
    const QString packName = StoreObject("00000002-*.pack.zst"),
                  manifestName = StoreObject("00000002-*.manifest");
    const QString pack = m_localStore + "/" + packName, manifest = m_localStore + "/" + manifestName;
    ASSERT_TRUE(Bytes(manifest).contains("\nobject pack " + packName.toUtf8() + " "))
        << Bytes(manifest).toStdString();
    const auto replaceLine = [](const QByteArray& from, const QByteArray& to) {
        return [=](QByteArray& b) { b.replace(from, to); };
    };
    struct Case {
        const char* name;
        QString file;
        std::function<void(QByteArray&)> damage;
        QString source;
        QString named;
    };
    const QByteArray sha = Bytes(manifest).split('\n')[7];
    const QList<Case> cases = {
        {"altered pack",
         pack,
         [](QByteArray& b) { b[b.size() / 2] = char(b[b.size() / 2] ^ 1); },
         {},
         packName},
        {"truncated pack", pack, [](QByteArray& b) { b.truncate(b.size() / 2); }, {}, packName},
        {"wrong hash in manifest",
         manifest,
         replaceLine(sha, "sha256 " + QByteArray(64, 'a')),
         {},
         manifestName},
        {"unknown format version",
         manifest,
         replaceLine("lumora-index-store 2", "lumora-index-store 7"),
         {},
         manifestName},
        {"object outside the folder",
         manifest,
         replaceLine(" " + packName.toUtf8(), " ../" + packName.toUtf8()),
         {},
         "outside"},
        {"current no version",
         m_localStore + "/current",
         [](QByteArray& b) { b = "2; rm -rf /\n"; },
         {},
         "current"},
        {"unreachable store", {}, {}, "http://127.0.0.1:9/catalog", "127.0.0.1:9"},
        {"missing store folder", {}, {}, "/nonexistent/lumora-store", "/nonexistent/lumora-store"},
    };
    for (const Case& c : cases) {
        const QByteArray before = c.file.isEmpty() ? QByteArray() : Bytes(c.file);
        if (!c.file.isEmpty()) Rewrite(c.file, c.damage);
        const Pulled pulled = RunPull(c.source.isEmpty() ? m_store.target : c.source, Path("reader"));
        EXPECT_EQ(pulled.status, 2) << c.name;
        EXPECT_TRUE(pulled.error.contains(c.named)) << c.name << ": " << pulled.error.toStdString();
        EXPECT_EQ(Bytes(Path("reader/index.db")), held) << c.name;
        EXPECT_EQ(QDir(Path("reader")).entryList(QDir::Files), QStringList({"index.db", "index.pull.lock"}))
            << c.name;
        if (!c.file.isEmpty()) Rewrite(c.file, [&](QByteArray& b) { b = before; });
    }
    const QString whole = StoreObject("00000001-*.whole.zst");
    Rewrite(m_localStore + "/" + whole, [](QByteArray& b) { b[100] = char(b[100] ^ 1); });
    const Pulled fresh = RunPull(m_store.target, Path("fresh"));
    EXPECT_EQ(fresh.status, 2);
    EXPECT_TRUE(fresh.error.contains(whole)) << fresh.error.toStdString();
    EXPECT_FALSE(QFile::exists(Path("fresh/index.db")));
}

// A damaged store is repaired by the next publish, a whole file with a warning saying
// what was wrong: a reader that followed the store and a new one both end on the build.
TEST_P(BadStoreTest, TheNextPublishRepairsADamagedStore) {
    QDir().mkpath(Path("build"));
    BuildVersion(Path("build"), 1, true);
    Publish(m_store.target, Path("build"), m_dir.path());
    ASSERT_EQ(RunPull(m_store.target, Path("reader")).status, 0);
    const auto current = [&] {
        return m_localStore + "/" + QString::fromLatin1(Bytes(m_localStore + "/current")).trimmed();
    };
    const auto object = [&] {
        const QString manifest = current();
        return m_localStore + "/" +
               store::ParseManifest(Bytes(manifest), QFileInfo(manifest).fileName()).object.name;
    };
    const std::pair<const char*, std::function<void()>> damages[] = {
        {"current", [&] { Rewrite(m_localStore + "/current", [](QByteArray& b) { b = "garbage\n"; }); }},
        {"is missing", [&] { QFile::remove(current()); }},
        {"is missing", [&] { QFile::remove(object()); }},
    };
    int version = 1;
    for (const auto& [said, damage] : damages) {
        BuildVersion(Path("build"), ++version, false);
        const store::PublishOutcome outcome = Publish(m_store.target, Path("build"), m_dir.path());
        damage();
        const store::PublishOutcome repaired = Publish(m_store.target, Path("build"), m_dir.path());
        EXPECT_TRUE(repaired.current.whole && repaired.current.version > outcome.current.version) << said;
        EXPECT_TRUE(repaired.warnings.join(' ').contains(said)) << repaired.warnings.join(' ').toStdString();
        for (const QString& reader : {Path("reader"), Path(QStringLiteral("new%1").arg(version))}) {
            const Pulled pulled = RunPull(m_store.http, reader);
            ASSERT_EQ(pulled.status, 0) << said << ": " << pulled.error.toStdString();
            ExpectSame(reader, said);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Stores, BadStoreTest, ::testing::Values(Kind::Local));

// The store and rclone's own reason, without the request ids that tell a reader nothing.
TEST(S3StoreTest, RefusedCredentialsAndMissingBucketsSayWhy) {
    LUMORA_NEED_SERVER(testsupport::UseS3Remote(), "the S3 server (LUMORA_TEST_S3)");
    qputenv("RCLONE_CONFIG_WRONGKEY_TYPE", "s3");
    qputenv("RCLONE_CONFIG_WRONGKEY_PROVIDER", "Ceph");
    qputenv("RCLONE_CONFIG_WRONGKEY_ENDPOINT", qgetenv("LUMORA_TEST_S3"));
    qputenv("RCLONE_CONFIG_WRONGKEY_ACCESS_KEY_ID", qgetenv("LUMORA_TEST_S3_KEY"));
    qputenv("RCLONE_CONFIG_WRONGKEY_SECRET_ACCESS_KEY", "not-the-secret");
    const std::pair<QString, QString> cases[] = {
        {"wrongkey:lumora-refused/catalog", "SignatureDoesNotMatch; status code: 403"},
        {"lumoras3:lumora-no-such-bucket/catalog", "NoSuchBucket; status code: 404"}};
    for (const auto& [source, reason] : cases) {
        QTemporaryDir dir;
        const Pulled pulled = RunPull("store:" + source, dir.path());
        EXPECT_EQ(pulled.status, 2);
        EXPECT_TRUE(pulled.error.contains("current: in the store " + source + ": ") &&
                    pulled.error.contains(reason) && !pulled.error.contains("request id"))
            << pulled.error.toStdString();
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"index.pull.lock"});
    }
}

class ReaderFolderTest : public StoreTest {
protected:
    // Sets the file's time back to `st`'s, as a damage that no time stamp shows.
    static void KeepTime(const QString& path, const struct stat& st) {
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.toUtf8().constData(), times, 0), 0);
    }
};

// A reader's file with one byte flipped and its time kept: --verify says so; the next
// version's pack is not applied onto it, the newest whole file is taken instead. A
// rollback to the version kept as index.previous.db fetches `current` and its manifest.
TEST_P(ReaderFolderTest, ADamagedReaderRecoversAndARollbackUsesThePreviousFile) {
    QDir().mkpath(Path("build"));
    const QString reader = Path("reader"), index = Path("reader/index.db");
    BuildVersion(Path("build"), 1, true);
    Publish(m_store.target, Path("build"), m_dir.path());
    ASSERT_EQ(RunPull(m_store.target, reader).status, 0);
    EXPECT_EQ(RunPull(m_store.target, reader, {"--verify"}).status, 0);
    struct stat st = {};
    ASSERT_EQ(::stat(index.toUtf8().constData(), &st), 0);
    Rewrite(index, [](QByteArray& b) { b[b.size() / 2] = char(b[b.size() / 2] ^ 1); });
    KeepTime(index, st);
    const Pulled verified = RunPull(m_store.target, reader, {"--verify"});
    EXPECT_EQ(verified.status, 2);
    EXPECT_TRUE(verified.error.contains("is not version 1")) << verified.error.toStdString();
    for (int v = 2; v <= 3; ++v) {
        BuildVersion(Path("build"), v, false);
        ASSERT_FALSE(Publish(m_store.target, Path("build"), m_dir.path()).current.whole);
        const Pulled pulled = RunPull(m_store.target, reader);
        ASSERT_EQ(pulled.status, 0) << pulled.error.toStdString();
        ExpectSame(reader, "after a damaged file");
    }
    EXPECT_EQ(RunPull(m_store.target, reader, {"--verify"}).status, 0);
    const QString manifest = StoreObject("00000002-*.manifest");
    Rewrite(m_localStore + "/current", [&](QByteArray& b) { b = store::FormatCurrent(manifest); });
    ASSERT_EQ(RunPull(m_store.target, reader, {"--metrics", Path("pull.prom")}).status, 0);
    EXPECT_EQ(Bytes(index), Bytes(Path("build/index.previous.db")));
    EXPECT_TRUE(Bytes(Path("pull.prom"))
                    .contains("_bytes_fetched{folder=\"" + reader.toUtf8() + "\"} " +
                              QByteArray::number(Bytes(m_localStore + "/current").size() +
                                                 Bytes(m_localStore + "/" + manifest).size()) +
                              "\n"))
        << Bytes(Path("pull.prom")).toStdString();
}

// A reader's folder on a file system with room for one version and its object but not
// for a second file: the pull fails with the system's reason and the folder, and the
// folder stays as it was; the metrics keep the version it holds.
TEST_P(ReaderFolderTest, AFullDiskLeavesTheFolderAsItWas) {
    QDir().mkpath(Path("build"));
    const QString reader = Path("small");
    QDir().mkpath(reader);
    BuildVersion(Path("build"), 1, true);
    Publish(m_store.target, Path("build"), m_dir.path());
    const qint64 size = QFile(Path("build/index.db")).size();
    const qint64 room =
        size + QFile(m_localStore + "/" + StoreObject("00000001-*.whole.zst")).size() + size / 2;
    if (QProcess::execute("mount",
                          {"-t", "tmpfs", "-o", QStringLiteral("size=%1").arg(room), "tmpfs", reader}) != 0)
        GTEST_SKIP() << "mounting a tmpfs needs root";
    const auto unmount = qScopeGuard([&] { QProcess::execute("umount", {reader}); });
    ASSERT_EQ(RunPull(m_store.target, reader).status, 0);
    BuildVersion(Path("build"), 2, true);
    Publish(m_store.target, Path("build"), m_dir.path());
    const QByteArray held = Bytes(reader + "/index.db");
    const Pulled pulled = RunPull(m_store.target, reader, {"--metrics", Path("pull.prom")});
    EXPECT_EQ(pulled.status, 2);
    EXPECT_TRUE(pulled.error.contains(reader) && pulled.error.contains("No space left on device"))
        << pulled.error.toStdString();
    EXPECT_EQ(Bytes(reader + "/index.db"), held);
    EXPECT_EQ(QDir(reader).entryList(QDir::Files | QDir::Hidden),
              QStringList({"index.db", "index.pull.lock"}));
    EXPECT_TRUE(Bytes(Path("pull.prom")).contains("_version{folder=\"" + reader.toUtf8() + "\"} 1\n"))
        << Bytes(Path("pull.prom")).toStdString();
}

INSTANTIATE_TEST_SUITE_P(Stores, ReaderFolderTest, ::testing::Values(Kind::Local));

class KillTest : public StoreTest {};

// A process killed after a random delay, for several seeds.
int RunKilled(const QString& program, const QStringList& arguments, QRandomGenerator& random, int maxMs) {
    QProcess p;
    p.start(program, arguments);
    p.waitForStarted();
    QThread::msleep(random.bounded(maxMs));
    p.kill();
    p.waitForFinished();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

// A publisher killed at any moment leaves `current` naming a complete version that a
// reader pulls; the next publish succeeds. An agent killed at any moment leaves the old
// or the new complete index and nothing but the lock; the next pull succeeds. Nothing
// is left in TMPDIR once the next publish and pull have run.
// The sanitizer build runs every program several times slower and is short of CPU: it
// kills and pulls fewer times (seed 3 still publishes a full build); the normal build
// runs every round.
#ifdef LUMORA_FEWER_ROUNDS
constexpr quint32 kKillSeeds = 3;
constexpr int kReaderPulls = 4;
#else
constexpr quint32 kKillSeeds = 5;
constexpr int kReaderPulls = 10;
#endif

TEST_P(KillTest, KilledPublishersAndAgentsLeaveCompleteVersions) {
    QDir().mkpath(Path("build"));
    // Temporary files: a killed run's are gone after the next run.
    QDir().mkpath(Path("tmp"));
    const QByteArray tmpdir = qgetenv("TMPDIR");
    qputenv("TMPDIR", Path("tmp").toUtf8());
    const auto restore =
        qScopeGuard([&] { tmpdir.isNull() ? qunsetenv("TMPDIR") : qputenv("TMPDIR", tmpdir); });
    BuildVersion(Path("build"), 1, true);
    Publish(m_store.target, Path("build"), m_dir.path());
    ASSERT_EQ(RunPull(m_store.target, Path("reader")).status, 0);
    for (quint32 seed = 1; seed <= kKillSeeds; ++seed) {
        QRandomGenerator random(seed);
        const QByteArray old = Bytes(Path("build/index.db"));
        BuildVersion(Path("build"), int(seed) + 1, seed == 3);
        RunKilled(LUMORA_PROPAGATE_TOOL, {Path("build"), m_store.target}, random, 400);
        const QString fresh = Path(QStringLiteral("fresh%1").arg(seed));
        ASSERT_EQ(RunPull(m_store.http, fresh).status, 0) << "seed " << seed;
        const QByteArray got = Bytes(fresh + "/index.db");
        EXPECT_TRUE(got == old || got == Bytes(Path("build/index.db"))) << "seed " << seed;

        ASSERT_EQ(QProcess::execute(LUMORA_PROPAGATE_TOOL, {Path("build"), m_store.target}), 0)
            << "seed " << seed;
        EXPECT_EQ(QDir(Path(QStringLiteral("tmp/lumora-publish-%1").arg(::geteuid())))
                      .entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                  QStringList())
            << "seed " << seed;
        const QByteArray held = Bytes(Path("reader/index.db"));
        RunKilled(LUMORA_PULL_TOOL, {m_store.target, Path("reader")}, random, 300);
        const QByteArray after = Bytes(Path("reader/index.db"));
        EXPECT_TRUE(after == held || after == Bytes(Path("build/index.db"))) << "seed " << seed;
        for (const QString& name : QDir(Path("reader")).entryList(QDir::Files | QDir::Hidden))
            EXPECT_TRUE(name == "index.db" || name == "index.previous.db" || name == "index.pull.lock")
                << name.toStdString();
        ASSERT_EQ(RunPull(m_store.target, Path("reader")).status, 0) << "seed " << seed;
        ExpectSame(Path("reader"), "after the next pull");
    }
}

INSTANTIATE_TEST_SUITE_P(Stores, KillTest, ::testing::Values(Kind::Local));

class ReadersTest : public StoreTest {};

// Readers open the index read-only and ask, in one statement, for the version the
// file records and the lowest and highest version its rows carry: a torn or mixed
// file would answer with three different figures or an error.
TEST_P(ReadersTest, ReadersQueryingDuringPullsSeeOneVersionAndNoError) {
    QDir().mkpath(Path("build"));
    BuildVersion(Path("build"), 1, true, true);
    Publish(m_store.target, Path("build"), m_dir.path());
    ASSERT_EQ(RunPull(m_store.target, Path("reader")).status, 0);
    std::atomic<bool> stop{false};
    std::atomic<int> queries{0}, wrong{0};
    QString firstWrong;
    const QByteArray path = Path("reader/index.db").toUtf8();
    const auto query = [&] {
        while (!stop) {
            sqlite3* db = nullptr;
            sqlite3_stmt* stmt = nullptr;
            const bool ok =
                sqlite3_open_v2(path.constData(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
                sqlite3_prepare_v2(
                    db,
                    "SELECT (SELECT value FROM index_info WHERE name = 'built'), "
                    "min(tag), max(tag), count(*) FROM documents WHERE documents MATCH 'word1*'",
                    -1, &stmt, nullptr) == SQLITE_OK &&
                sqlite3_step(stmt) == SQLITE_ROW &&
                sqlite3_column_int(stmt, 0) == sqlite3_column_int(stmt, 1) &&
                sqlite3_column_int(stmt, 1) == sqlite3_column_int(stmt, 2) && sqlite3_column_int(stmt, 3) > 0;
            if (!ok && wrong++ == 0) firstWrong = QString::fromUtf8(sqlite3_errmsg(db));
            sqlite3_finalize(stmt);
            sqlite3_close(db);
            ++queries;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    std::thread a(query), b(query);
    for (int v = 2; v <= 1 + kReaderPulls; ++v) {
        BuildVersion(Path("build"), v, false, true);
        Publish(m_store.target, Path("build"), m_dir.path());
        const Pulled pulled = RunPull(m_store.target, Path("reader"));
        EXPECT_EQ(pulled.status, 0) << pulled.error.toStdString();
    }
    stop = true;
    a.join();
    b.join();
    EXPECT_EQ(wrong.load(), 0) << firstWrong.toStdString();
    EXPECT_GT(queries.load(), 10);
    ExpectSame(Path("reader"), "after the last pull");
}

INSTANTIATE_TEST_SUITE_P(Stores, ReadersTest, ::testing::Values(Kind::Local));

class TwoPublishersTest : public StoreTest {
protected:
    // Every object's content by name (its SHA-256 in a folder, its MD5 in S3), as the
    // store lists it now.
    QMap<QString, QString> Contents() {
        QProcess p;
        p.start("rclone", {"lsjson", "--files-only", "--hash", m_store.target.mid(6)});
        p.waitForFinished(60000);
        QMap<QString, QString> contents;
        for (const QJsonValue& o : QJsonDocument::fromJson(p.readAllStandardOutput()).array()) {
            const QJsonObject hashes = o.toObject().value("Hashes").toObject();
            contents.insert(o.toObject().value("Name").toString(),
                            hashes.value(hashes.contains("sha256") ? "sha256" : "md5").toString());
        }
        return contents;
    }
};

// Two build machines publish to one store at once, round after round: no object name
// ever holds two contents, a reader always converges on what `current` names, and a
// publish that lost the race says so. On a folder the test holds the folder's lock
// until both have uploaded their objects, so that both race for `current` every round.
TEST_P(TwoPublishersTest, ASecondPublisherIsNoticedAndNothingIsOverwritten) {
    const bool folder = GetParam() == Kind::Local;
    QMap<QString, QString> seen;
    int conflicts = 0;
    for (int round = 1; round <= 4; ++round) {
        int lock = -1;
        const auto manifests = [&] { return QDir(m_localStore).entryList({"*.manifest"}).size(); };
        const qsizetype before = folder ? manifests() : 0;
        if (folder && round > 1) {
            lock = ::open(QFile::encodeName(m_localStore).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            ASSERT_EQ(::flock(lock, LOCK_EX), 0);
        }
        QList<std::shared_ptr<QProcess>> runs;
        for (const QString side : {"a", "b"}) {
            QDir().mkpath(Path(side));
            BuildVersion(Path(side), round, round == 1 || side == "b");
            auto p = std::make_shared<QProcess>();
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("ZARVIK_EVENT_LOG", Path(side + ".events"));
            p->setProcessEnvironment(env);
            p->start(LUMORA_PROPAGATE_TOOL, {Path(side), m_store.target});
            runs << p;
        }
        if (lock >= 0) {
            QDeadlineTimer uploaded(60000);
            while (manifests() < before + 2 && !uploaded.hasExpired()) QThread::msleep(20);
            ::close(lock);
        }
        int succeeded = 0;
        for (const QString side : {"a", "b"}) {
            QProcess& p = *runs[side == "a" ? 0 : 1];
            p.waitForFinished(120000);
            if (p.exitCode() == 0) {
                ++succeeded;
                continue;
            }
            ++conflicts;
            const QList<QJsonObject> events = testsupport::EventLog(Path(side + ".events"));
            ASSERT_FALSE(events.isEmpty()) << side.toStdString();
            EXPECT_TRUE(
                events.last().value("message").toString().contains("another publisher changed the store"))
                << events.last().value("message").toString().toStdString();
        }
        EXPECT_GE(succeeded, 1) << "round " << round;
        ASSERT_TRUE(Contents().contains("current")) << "round " << round;
        for (const auto& [name, content] : Contents().asKeyValueRange()) {
            if (name == "current") continue;
            EXPECT_EQ(seen.value(name, content), content) << name.toStdString() << " was written twice";
            seen.insert(name, content);
        }
        const Pulled pulled = RunPull(m_store.http, Path("reader"));
        ASSERT_EQ(pulled.status, 0) << pulled.error.toStdString();
        const QByteArray got = Bytes(Path("reader/index.db"));
        EXPECT_TRUE(got == Bytes(Path("a/index.db")) || got == Bytes(Path("b/index.db")))
            << "round " << round;
    }
    if (folder) {
        EXPECT_GE(conflicts, 3) << "every round after the first races for `current`";
    }
}

INSTANTIATE_TEST_SUITE_P(Stores, TwoPublishersTest, ::testing::Values(Kind::Local, Kind::S3),
                         [](const auto& info) { return info.param == Kind::Local ? "Local" : "S3"; });

}  // namespace
