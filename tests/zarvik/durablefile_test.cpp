// DurableFile's check before the rename: what it sees, and that a refusal leaves
// the target as it was and no temporary file behind.
#include "zarvik/durablefile.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace {

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

TEST(DurableFileTest, CommitRenamesOnlyWhatItsCheckLetsThrough) {
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
        zarvik::DurableFile file(target, QStringLiteral(".propagating-"));
        ASSERT_EQ(file.Open(), QString());
        ASSERT_EQ(file.Write(QByteArray("new contents")), QString());
        QString seenPath;
        QByteArray seen;
        const QString result = file.Commit([&](const QString& temporary) {
            seenPath = temporary;
            seen = ReadAll(temporary);
            return QString::fromUtf8(c.refusal);
        });
        EXPECT_EQ(result, QString::fromUtf8(c.refusal));
        // The check read the whole new file, closed and synced, beside the target.
        EXPECT_EQ(seen, QByteArray("new contents"));
        EXPECT_TRUE(seenPath.startsWith(target + ".propagating-")) << seenPath.toStdString();
        EXPECT_EQ(ReadAll(target), QByteArray(c.expected));
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"index.db"});
        // A refused file cannot be committed a second time.
        if (*c.refusal) {
            EXPECT_FALSE(file.Commit().isEmpty());
        }
    }
}

}  // namespace
