// Tests of the FTS5 engine object.
#include "zarvik/index/engine.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <QStringList>

namespace {

TEST(EngineTest, VersionIsThatOfTheLinkedSqlite) {
    const auto engine =
        zarvik::index::NewEngine(QStringLiteral("/opt/lumora"), QStringLiteral("/opt/lumora"), false);
    ASSERT_NE(engine, nullptr);
    // The version text of the library is a second, independent source of the numbers.
    const QStringList parts = QString::fromUtf8(sqlite3_libversion()).split(u'.');
    ASSERT_GE(parts.size(), 3);
    EXPECT_EQ(engine->MajorVersion(), parts[0].toInt());
    EXPECT_EQ(engine->MinorVersion(), parts[1].toInt());
    EXPECT_EQ(engine->BuildNumber(), parts[2].toInt());
    const int number = sqlite3_libversion_number();
    EXPECT_EQ(engine->MajorVersion() * 1000000 + engine->MinorVersion() * 1000 + engine->BuildNumber(),
              number);
}

TEST(EngineTest, KeepsFoldersAndLogSwitch) {
    struct Case {
        const char* programDir;
        const char* dataDir;
        bool log;
        const char* logFile;
    };
    const Case cases[] = {
        {"/opt/lumora", "/var/lib/lumora", true, "/opt/lumora/indexlog.dat"},
        {"/opt/lumora/", "/opt/lumora/", false, "/opt/lumora/indexlog.dat"},
    };
    for (const auto& c : cases) {
        const auto engine =
            zarvik::index::NewEngine(QString::fromUtf8(c.programDir), QString::fromUtf8(c.dataDir), c.log);
        // The index builder takes the engine back as what it is.
        const auto* fts5 = dynamic_cast<const zarvik::index::Fts5Engine*>(engine.get());
        ASSERT_NE(fts5, nullptr);
        EXPECT_EQ(fts5->ProgramDir(), QString::fromUtf8(c.programDir));
        EXPECT_EQ(fts5->DataDir(), QString::fromUtf8(c.dataDir));
        EXPECT_EQ(fts5->LogEnabled(), c.log);
        EXPECT_EQ(fts5->LogFilePath(), QString::fromUtf8(c.logFile));
    }
}

}  // namespace
