// The one durable replacement of a file: a reader sees the old or the new file, a
// link stays a link, a failed or abandoned write leaves the target and the folder as
// they were, a check before the rename can refuse the new file, and temporary files
// of ended processes are cleaned up.
#include "zarvik/files/durablefile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

namespace {

QByteArray Read(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void Write(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

class DurableFileTest : public ::testing::Test {
protected:
    QString Path(const QString& name) const { return m_dir.filePath(name); }
    QStringList Entries() const {
        return QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                            QDir::Name);
    }
    QTemporaryDir m_dir;
};

TEST_F(DurableFileTest, ReplacesKeepingModeAndLeavesNoTemporary) {
    const QString target = Path(QStringLiteral("config.xml"));
    Write(target, "old");
    ASSERT_EQ(::chmod(QFile::encodeName(target).constData(), 0640), 0);
    EXPECT_EQ(zarvik::files::ReplaceFileDurably(target, "new"), QString());
    EXPECT_EQ(Read(target), QByteArray("new"));
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(target).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(Entries(), QStringList{QStringLiteral("config.xml")});
}

TEST_F(DurableFileTest, ANewFileGetsTheUsualModeNotTheTemporaryOne) {
    const QString target = Path(QStringLiteral("metrics.prom"));
    const mode_t mask = ::umask(022);
    EXPECT_EQ(zarvik::files::ReplaceFileDurably(target, "x 1\n"), QString());
    ::umask(mask);
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(target).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);  // readable by the collector, not 0600
}

TEST_F(DurableFileTest, ALinkStaysALinkAndItsEndIsReplaced) {
    QTemporaryDir elsewhere;
    const QString real = elsewhere.filePath(QStringLiteral("real.xml"));
    Write(real, "old");
    const QString link = Path(QStringLiteral("config.xml"));
    ASSERT_TRUE(QFile::link(real, link));
    EXPECT_EQ(zarvik::files::ReplaceFileDurably(link, "new"), QString());
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    EXPECT_EQ(Read(real), QByteArray("new"));
    // The temporary file was made beside the end of the link, and is gone.
    EXPECT_EQ(QDir(elsewhere.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("real.xml")});
}

TEST_F(DurableFileTest, UncommittedOrFailedWritesLeaveTheTargetAsItWas) {
    const QString target = Path(QStringLiteral("index.db"));
    Write(target, "old");
    {
        zarvik::files::DurableFile file(target, QStringLiteral(".propagating-"));
        ASSERT_EQ(file.Open(), QString());
        EXPECT_EQ(file.Write("half"), QString());
        EXPECT_TRUE(QFileInfo::exists(file.TemporaryPath()));
        // Destroyed without Commit: a stopped copy.
    }
    EXPECT_EQ(Read(target), QByteArray("old"));
    EXPECT_EQ(Entries(), QStringList{QStringLiteral("index.db")});

    // The rename fails when the target has become a folder: the reason names it, the
    // temporary file is gone.
    const QString folder = Path(QStringLiteral("sub"));
    ASSERT_TRUE(QDir().mkpath(folder + QStringLiteral("/inner")));
    zarvik::files::DurableFile file(folder, QStringLiteral(".tmp-"));
    ASSERT_EQ(file.Open(), QString());
    EXPECT_EQ(file.Write("x"), QString());
    const QString why = file.Commit();
    EXPECT_TRUE(why.startsWith(QStringLiteral("cannot replace ") + folder)) << why.toStdString();
    EXPECT_TRUE(QFileInfo(folder).isDir());
    EXPECT_EQ(Entries(), QStringList{QStringLiteral("index.db")});
    // A writer that failed refuses further writes with its reason.
    EXPECT_EQ(file.Write("more"), why);
}

TEST_F(DurableFileTest, AFolderThatIsNotThereIsAReasonNotACrash) {
    const QString target = Path(QStringLiteral("gone/file"));
    const QString why = zarvik::files::ReplaceFileDurably(target, "x");
    EXPECT_EQ(why, QStringLiteral("cannot create a file in %1: No such file or directory").arg(Path(QStringLiteral("gone"))));
    EXPECT_EQ(Entries(), QStringList());
}

struct LeftBehindCase {
    const char* name;
    bool removed;
};

TEST_F(DurableFileTest, RemovesOnlyTemporariesOfEndedProcessesOfTheSameFile) {
    const QString self = QString::number(::getpid());
    const QList<LeftBehindCase> cases = {
        {"config.xml.tmp-2147483646-AbC123", true},   // no such process
        {"config.xml.tmp-1-QqQ111", false},           // init is running
        {"other.xml.tmp-2147483646-AbC123", false},   // another file's
        {"config.xml.tmp-notanumber-x", false},       // not ours
        {"config.xml.propagating-2147483646-x", false},  // another marker
    };
    for (const LeftBehindCase& c : cases) Write(Path(QString::fromLatin1(c.name)), "left");
    Write(Path(QStringLiteral("config.xml.tmp-%1-Zz").arg(self)), "mine, over");
    zarvik::files::RemoveLeftBehind(m_dir.path(), QStringLiteral(".tmp-"), QStringLiteral("config.xml"));
    for (const LeftBehindCase& c : cases)
        EXPECT_EQ(QFileInfo::exists(Path(QString::fromLatin1(c.name))), !c.removed) << c.name;
    EXPECT_FALSE(QFileInfo::exists(Path(QStringLiteral("config.xml.tmp-%1-Zz").arg(self))));

    // Without a file name, every file's temporary of that marker counts.
    zarvik::files::RemoveLeftBehind(m_dir.path(), QStringLiteral(".propagating-"));
    EXPECT_FALSE(QFileInfo::exists(Path(QStringLiteral("config.xml.propagating-2147483646-x"))));
    EXPECT_TRUE(QFileInfo::exists(Path(QStringLiteral("other.xml.tmp-2147483646-AbC123"))));
}

TEST(DurableFileCheckTest, CommitRenamesOnlyWhatItsCheckLetsThrough) {
    const struct {
        const char* name;
        const char* refusal;   // what the check answers; empty lets the file through
        const char* expected;  // the target's contents afterwards
    } cases[] = {
        {"accepted", "", "new contents"},
        {"refused", "the copy differs", "old contents"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        const QString target = dir.filePath("index.db");
        {
            QFile old(target);
            ASSERT_TRUE(old.open(QIODevice::WriteOnly));
            old.write("old contents");
        }
        zarvik::files::DurableFile file(target, QStringLiteral(".propagating-"));
        ASSERT_EQ(file.Open(), QString());
        ASSERT_EQ(file.Write(QByteArray("new contents")), QString());
        QString seenPath;
        QByteArray seen;
        const QString result = file.Commit([&](const QString& temporary) {
            seenPath = temporary;
            seen = Read(temporary);
            return QString::fromUtf8(c.refusal);
        });
        EXPECT_EQ(result, QString::fromUtf8(c.refusal));
        // The check read the whole new file, closed and synced, beside the target.
        EXPECT_EQ(seen, QByteArray("new contents"));
        EXPECT_TRUE(seenPath.startsWith(target + ".propagating-")) << seenPath.toStdString();
        EXPECT_EQ(Read(target), QByteArray(c.expected));
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"index.db"});
        // A refused file cannot be committed a second time.
        if (*c.refusal) {
            EXPECT_FALSE(file.Commit().isEmpty());
        }
    }
}

}  // namespace
