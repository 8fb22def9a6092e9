// A build that runs out of disk: under a file-size limit (RLIMIT_FSIZE, which holds
// for root too) and, where the test may mount one, on a small tmpfs of its own. The
// build must raise a clear error, leave the live index byte for byte as it was and
// remove its staging file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/resource.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <random>

#include "zarvik/index/indexbuilder.h"

namespace {

class Quiet final : public component::StatusHandler {
public:
    void UpdateStatus(const QString&) override {}
    void ProcessEvents() override {}
};

void MakeDocuments(const QString& file, int count) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(file).constData(), &db), SQLITE_OK);
    ASSERT_EQ(
        sqlite3_exec(db, "CREATE TABLE DOCUMENT (DOCID INTEGER PRIMARY KEY, TITLE TEXT, BODY TEXT); BEGIN",
                     nullptr, nullptr, nullptr),
        SQLITE_OK);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO DOCUMENT VALUES (?, ?, ?)", -1, &insert, nullptr);
    std::mt19937 random(7);
    for (int id = 1; id <= count; ++id) {
        QByteArray body;
        // Words that rarely repeat, so the index grows with every document.
        for (int w = 0; w < 60; ++w) body += "w" + QByteArray::number(quint32(random()) % 1000000) + ' ';
        sqlite3_bind_int(insert, 1, id);
        sqlite3_bind_text(insert, 2, "title", -1, SQLITE_STATIC);
        sqlite3_bind_text(insert, 3, body.constData(), int(body.size()), SQLITE_TRANSIENT);
        ASSERT_EQ(sqlite3_step(insert), SQLITE_DONE);
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    ASSERT_EQ(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
}

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Holds RLIMIT_FSIZE at a limit, with SIGXFSZ ignored so that a write past it fails
// with EFBIG instead of ending the process.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &m_old);
        m_handler = signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_old;
        limit.rlim_cur = bytes;
        m_ok = setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &m_old);
        signal(SIGXFSZ, m_handler);
    }
    bool ok() const { return m_ok; }

private:
    rlimit m_old{};
    sighandler_t m_handler;
    bool m_ok = false;
};

// A tmpfs of a given size mounted on a folder for the life of the object.
class SmallFilesystem {
public:
    SmallFilesystem(const QString& folder, const char* size) : m_folder(QFile::encodeName(folder)) {
        const QByteArray options = QByteArray("size=") + size;
        m_mounted = ::mount("lumora-test", m_folder.constData(), "tmpfs", 0, options.constData()) == 0;
    }
    ~SmallFilesystem() {
        if (m_mounted) ::umount2(m_folder.constData(), MNT_DETACH);
    }
    bool mounted() const { return m_mounted; }

private:
    QByteArray m_folder;
    bool m_mounted = false;
};

enum class Limit { FileSize, SmallFilesystem };

class DiskFullTest : public ::testing::TestWithParam<Limit> {};

TEST_P(DiskFullTest, ClearErrorLiveIndexUnchangedNoStagingLeft) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString small = dir.filePath(QStringLiteral("small.db"));
    const QString big = dir.filePath(QStringLiteral("big.db"));
    MakeDocuments(small, 20);
    MakeDocuments(big, 20000);
    const QString disk = dir.filePath(QStringLiteral("disk"));
    ASSERT_TRUE(QDir().mkpath(disk));

    std::unique_ptr<SmallFilesystem> filesystem;
    if (GetParam() == Limit::SmallFilesystem) {
        filesystem = std::make_unique<SmallFilesystem>(disk, "3M");
        if (!filesystem->mounted()) GTEST_SKIP() << "this test may not mount a filesystem (needs root)";
    }
    const QString indexPath = disk + QStringLiteral("/indexes/catalog");
    const QString live = indexPath + QStringLiteral("/index.db");
    Quiet quiet;
    const QString query = QStringLiteral("SELECT DOCID, TITLE, BODY FROM DOCUMENT");
    {
        zarvik::index::Fts5IndexBuilder builder;
        builder.Configure(&quiet, nullptr, {.name = QStringLiteral("catalog"), .path = indexPath, .query = query}, QStringLiteral("Provider=SQLite;Database=") + small);
        ASSERT_TRUE(builder.Build());
    }
    const QByteArray before = ReadAll(live);
    ASSERT_FALSE(before.isEmpty());

    QString message;
    {
        std::unique_ptr<FileSizeLimit> limit;
        if (GetParam() == Limit::FileSize) {
            limit = std::make_unique<FileSizeLimit>(2 * 1024 * 1024);
            ASSERT_TRUE(limit->ok());
        }
        zarvik::index::Fts5IndexBuilder builder;
        builder.Configure(&quiet, nullptr, {.name = QStringLiteral("catalog"), .path = indexPath, .query = query}, QStringLiteral("Provider=SQLite;Database=") + big);
        try {
            builder.Build();
            ADD_FAILURE() << "the build succeeded on a full disk";
        } catch (const component::Error& e) {
            EXPECT_EQ(e.Number(), component::errnum::kIndexBuild);
            message = e.Description();
        }
    }
    // SQLite says "database or disk is full" for ENOSPC and "disk I/O error" for EFBIG;
    // the description names the file it could not write.
    EXPECT_TRUE(message.contains(QStringLiteral("full")) || message.contains(QStringLiteral("I/O error")))
        << message.toStdString();
    EXPECT_TRUE(message.contains(indexPath)) << message.toStdString();
    EXPECT_EQ(ReadAll(live), before) << "the live index changed";
    QStringList entries = QDir(indexPath).entryList(QDir::Files | QDir::Hidden);
    entries.removeAll(QStringLiteral("index.lock"));
    EXPECT_EQ(entries, QStringList{QStringLiteral("index.db")}) << entries.join(u' ').toStdString();

    // With room again, the same build goes through.
    filesystem.reset();
    if (GetParam() == Limit::SmallFilesystem) {
        // The index lived on the filesystem just removed: start again on the disk below.
        zarvik::index::Fts5IndexBuilder builder;
        builder.Configure(&quiet, nullptr, {.name = QStringLiteral("catalog"), .path = indexPath, .query = query}, QStringLiteral("Provider=SQLite;Database=") + small);
        ASSERT_TRUE(builder.Build());
    }
    zarvik::index::Fts5IndexBuilder builder;
    builder.Configure(&quiet, nullptr, {.name = QStringLiteral("catalog"), .path = indexPath, .query = query}, QStringLiteral("Provider=SQLite;Database=") + big);
    EXPECT_TRUE(builder.Build());
    EXPECT_EQ(builder.DocumentCount(), 20000);
}

INSTANTIATE_TEST_SUITE_P(Limits, DiskFullTest, ::testing::Values(Limit::FileSize, Limit::SmallFilesystem),
                         [](const auto& info) {
                             return std::string(info.param == Limit::FileSize ? "FileSizeLimit"
                                                                              : "SmallTmpfs");
                         });

}  // namespace
