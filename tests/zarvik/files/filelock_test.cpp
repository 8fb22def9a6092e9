// The lock file: one holder at a time, released with its holder, its record kept.
#include "zarvik/files/filelock.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <memory>

#include "support/qt_printers.h"

namespace {

using zarvik::files::FileLock;

TEST(FileLockTest, OneHolderAtATimeAndItsRecordKept) {
    QTemporaryDir dir;
    const QString path = dir.filePath("index.lock");
    auto first = std::make_unique<FileLock>(path);
    ASSERT_TRUE(first->Held());
    EXPECT_EQ(first->Write("17 record\n"), QString());
    const FileLock second(path);  // another open file: refused as another process would be
    EXPECT_FALSE(second.Held());
    EXPECT_TRUE(second.Busy());
    EXPECT_EQ(second.Read(), QByteArray());
    EXPECT_FALSE(second.Write("overwritten").isEmpty());
    first.reset();
    const FileLock third(path);
    ASSERT_TRUE(third.Held());
    EXPECT_EQ(third.Read(), QByteArray("17 record\n"));
    const FileLock nowhere(dir.filePath("missing/index.lock"));
    EXPECT_FALSE(nowhere.Held());
    EXPECT_FALSE(nowhere.Busy());
    EXPECT_EQ(nowhere.Why(), "No such file or directory");
}

}  // namespace
