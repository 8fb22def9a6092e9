// Tests of the monitoring file over real folders.
#include "zarvik/files/durablemetricsfile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace {

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

TEST(MetricsFile, ReplacesTheWholeFileAndReadsItBack) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("lumora_index_catalog.prom"));
    zarvik::files::DurableMetricsFile file;
    EXPECT_EQ(file.Read(path), QByteArray());  // none yet
    file.Write(path, "first 1\n");
    EXPECT_EQ(file.Read(path), QByteArray("first 1\n"));
    file.Write(path, "second 2\n");
    EXPECT_EQ(ReadAll(path), QByteArray("second 2\n"));
    // Only the file itself is left: a collector reading "*.prom" finds nothing else.
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
              QStringList{QStringLiteral("lumora_index_catalog.prom")});
    // A collector running as another user reads it.
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0);
    EXPECT_NE(info.st_mode & S_IROTH, 0u);
}

TEST(MetricsFile, AFileThatCannotBeWrittenRaisesNamingItAndKeepsTheOldOne) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString aFile = dir.filePath(QStringLiteral("plain"));
    QFile plain(aFile);
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.write("x");
    plain.close();
    struct Case {
        const char* label;
        QString path;
        QString reason;
    };
    // Each of these fails whoever runs the test, root included.
    const Case cases[] = {
        {"missing_folder", dir.filePath(QStringLiteral("gone/lumora_index_a.prom")),
         QStringLiteral("does not exist")},
        {"folder_is_a_file", aFile + QStringLiteral("/lumora_index_a.prom"),
         QStringLiteral("is not a folder")},
        {"system_folder", QStringLiteral("/proc/lumora_index_a.prom"),
         QStringLiteral("cannot create a file")},
        {"name_too_long", dir.filePath(QString(250, u'n') + QStringLiteral(".prom")),
         QStringLiteral("cannot create a file")},
    };
    zarvik::files::DurableMetricsFile file;
    for (const Case& c : cases) {
        try {
            file.Write(c.path, "v 1\n");
            ADD_FAILURE() << c.label << ": no error";
        } catch (const component::Error& e) {
            EXPECT_EQ(e.Number(), component::errnum::kMetricsWrite) << c.label;
            EXPECT_TRUE(
                e.Description().startsWith(QStringLiteral("Unable to write the metrics file ") + c.path))
                << c.label << ": " << e.Description().toStdString();
            EXPECT_TRUE(e.Description().contains(c.reason))
                << c.label << ": " << e.Description().toStdString();
        }
    }
    EXPECT_EQ(ReadAll(aFile), QByteArray("x"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("plain")});
}

}  // namespace
