// The SQLite backend on real files: its connection settings, its kept statements,
// what a closed connection leaves in the file, the types values come back with.
#include <gtest/gtest.h>

#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <utility>

#include "support/sqlbackends.h"
#include "zarvik/db/database.h"

namespace {

using testsupport::Backend;

// The journal mode is the application's: a rollback journal stays, and every commit
// is then synced (synchronous FULL, 2); a write-ahead log stays too, its commits synced
// by the checkpoint at close (NORMAL, 1), also after a batch raised the level.
TEST(SqliteConnection, KeepsTheJournalModeSyncsCommitsAndWaitsForLocks) {
    for (const auto& [journal, synchronous] : {std::pair{"delete", 2}, {"wal", 1}}) {
        SCOPED_TRACE(journal);
        testsupport::TestDatabase db(Backend::SQLite);
        db.Exec(QStringLiteral("CREATE TABLE T (K TEXT)"));
        db.Rows(QStringLiteral("PRAGMA journal_mode=%1").arg(QLatin1String(journal)));
        auto conn = zarvik::db::OpenConnection(db.ConnectionText());
        // A batch raises the level for its own commit and gives the connection its own back.
        auto batch = zarvik::db::OpenRewriteBatch(*conn, QStringLiteral("T"), {QStringLiteral("K")});
        batch->BeginUnit(QStringLiteral("DELETE FROM T"));
        batch->AddRow({QStringLiteral("a")});
        batch->Send();
        auto value = [&](const char* pragma) {
            return zarvik::db::OpenRecordset(*conn, QLatin1String(pragma))->GetRows().value(0).value(0);
        };
        EXPECT_EQ(value("PRAGMA journal_mode").toString(), QLatin1String(journal));
        EXPECT_EQ(value("PRAGMA synchronous").toInt(), synchronous);
        EXPECT_EQ(value("PRAGMA busy_timeout").toInt(), 5000);
    }
}

// More shapes of statement than a connection keeps: the kept ones are dropped and
// prepared again, and every result stays right.
TEST(SqliteConnection, ManyShapesOfStatementStayCorrect) {
    testsupport::TestDatabase db(Backend::SQLite);
    db.Exec(QStringLiteral("CREATE TABLE K (ID INTEGER)"));
    db.Exec(QStringLiteral("INSERT INTO K (ID) VALUES (1), (2), (3)"));
    auto conn = zarvik::db::OpenConnection(db.ConnectionText());
    QString nines;  // values that match no row, one more for each statement
    for (int length = 1; length <= 700; ++length) {
        const int wanted = length % 2 ? 2 : 3;
        auto rs = zarvik::db::OpenRecordset(
            *conn, QStringLiteral("SELECT ID FROM K WHERE ID IN (%1%2) ORDER BY ID").arg(wanted).arg(nines));
        ASSERT_EQ(rs->GetRows().value(0), (QVariantList{qlonglong(wanted)})) << length;
        nines += QStringLiteral(",9");
    }
}

TEST(SqliteConnection, WhatAClosedConnectionCommittedIsInTheDatabaseFileItself) {
    // The test database's own connection stays open, as a web application's would.
    testsupport::TestDatabase db(Backend::SQLite);
    db.Exec(QStringLiteral("CREATE TABLE K (ID INTEGER)"));
    auto conn = zarvik::db::OpenConnection(db.ConnectionText());
    ASSERT_EQ(db.Rows(QStringLiteral("SELECT COUNT(*) FROM K")).value(0).value(0).toInt(),
              0);  // joins the log
    conn->BeginTrans();
    conn->Execute(QStringLiteral("INSERT INTO K (ID) VALUES (1), (2), (3)"));
    conn->CommitTrans();
    conn->Close();

    // The database file alone, without its log, already holds the committed rows.
    const QString file = db.ConnectionText().section(QStringLiteral("Database="), 1);
    const QString copy = file + QStringLiteral(".copy");
    ASSERT_TRUE(QFile::copy(file, copy));
    {
        QSqlDatabase alone = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("alone"));
        alone.setDatabaseName(copy);
        ASSERT_TRUE(alone.open());
        QSqlQuery count(alone);
        ASSERT_TRUE(count.exec(QStringLiteral("SELECT COUNT(*) FROM K")) && count.next());
        EXPECT_EQ(count.value(0).toInt(), 3);
    }
    QSqlDatabase::removeDatabase(QStringLiteral("alone"));
}

TEST(SqliteConnection, ValuesComeBackWithTheirTypes) {
    testsupport::TestDatabase db(Backend::SQLite);
    auto conn = zarvik::db::OpenConnection(db.ConnectionText());
    auto rs = zarvik::db::OpenRecordset(
        *conn,
        QStringLiteral("SELECT 9000000000 AS \"I\", 2.5 AS R, N'caf\u00e9' AS T, X'00FF' AS B, NULL AS N"));
    EXPECT_EQ(rs->Field(QStringLiteral("I")), QVariant(qlonglong(9000000000LL)));
    EXPECT_EQ(rs->Field(QStringLiteral("R")), QVariant(2.5));
    EXPECT_EQ(rs->Field(QStringLiteral("T")), QVariant(QStringLiteral("caf\u00e9")));
    EXPECT_EQ(rs->Field(QStringLiteral("B")), QVariant(QByteArray("\x00\xff", 2)));
    EXPECT_TRUE(rs->Field(QStringLiteral("N")).isNull());
}

}  // namespace
