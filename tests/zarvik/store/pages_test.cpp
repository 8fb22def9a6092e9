// SHA-256 of files and of compressed objects against Qt's own implementation, at sizes
// around the read buffer's, and a whole file compressed and read back.
#include "zarvik/store/pages.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QTemporaryDir>

#include "support/qt_printers.h"

namespace {

using namespace zarvik::store;

QByteArray Pattern(qint64 size) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i) bytes[i] = char((i * 7919) >> 3);
    return bytes;
}

TEST(Pages, HashesAndWholeFilesMatchAnIndependentSha256) {
    QTemporaryDir dir;
    for (const qint64 size : {0LL, 1LL, 4096LL, (1LL << 20) - 1, 1LL << 20, (3LL << 20) + 7}) {
        SCOPED_TRACE(size);
        const QByteArray bytes = Pattern(size);
        QFile source(dir.filePath("source")), object(dir.filePath("object")), back(dir.filePath("back"));
        ASSERT_TRUE(source.open(QIODevice::ReadWrite | QIODevice::Truncate));
        ASSERT_EQ(source.write(bytes), size);
        ASSERT_TRUE(source.flush());
        EXPECT_EQ(Sha256Of(source, "source"), QCryptographicHash::hash(bytes, QCryptographicHash::Sha256));

        ASSERT_TRUE(object.open(QIODevice::ReadWrite | QIODevice::Truncate));
        const Written written = WriteWhole(source, object);
        object.seek(0);
        const QByteArray compressed = object.readAll();
        EXPECT_EQ(written.size, compressed.size());
        EXPECT_EQ(written.sha256, QCryptographicHash::hash(compressed, QCryptographicHash::Sha256));

        ASSERT_TRUE(back.open(QIODevice::ReadWrite | QIODevice::Truncate));
        ApplyWhole(object, "object", size, back);
        back.seek(0);
        EXPECT_EQ(back.readAll(), bytes);
    }
}

}  // namespace
