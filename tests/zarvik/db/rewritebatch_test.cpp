// Rewrite batches and row streams on each database: a unit the database refuses
// leaves the units before it in effect and itself and the ones after it as they were.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <QThread>
#include <limits>

#include "support/errorof.h"
#include "support/qt_printers.h"
#include "support/sqlbackends.h"
#include "zarvik/db/database.h"

namespace {

using testsupport::Backend;
namespace errnum = component::errnum;

using testsupport::ErrorOf;

class RewriteBatchTest : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        db = std::make_unique<testsupport::TestDatabase>(GetParam());
        LUMORA_REQUIRE_DATABASE(*db);
        // The database refuses the value 13.
        db->Exec(
            QStringLiteral("CREATE TABLE T (K VARCHAR(20) NOT NULL, V INTEGER NOT NULL CHECK (V <> 13))"));
        for (int u = 1; u <= 5; ++u) db->Exec(QStringLiteral("INSERT INTO T VALUES ('u%1', 0)").arg(u));
        connection = zarvik::db::OpenConnection(db->ConnectionText());
    }
    void TearDown() override {
        if (connection) connection->Close();
    }
    // Each key's values, sorted: "u1:10,11".
    QStringList Contents() {
        QStringList out;
        for (int u = 1; u <= 5; ++u) {
            QStringList values;
            for (const QVariantList& row :
                 db->Rows(QStringLiteral("SELECT V FROM T WHERE K = 'u%1' ORDER BY V").arg(u)))
                values.append(row[0].toString());
            out.append(QStringLiteral("u%1:").arg(u) + values.join(u','));
        }
        return out;
    }
    // Units for u1..u5, each with the values u*10 and u*10+1; the unit `refused`
    // (1-based) gets the value the database refuses instead of its second one.
    static void AddFiveUnits(component::RewriteBatch& batch, int refused = 0) {
        for (int u = 1; u <= 5; ++u) {
            const QString key = QStringLiteral("u%1").arg(u);
            batch.BeginUnit(QStringLiteral("DELETE FROM T WHERE K = N'%1'").arg(key));
            batch.AddRow({key, u * 10});
            batch.AddRow({key, u == refused ? 13 : u * 10 + 1});
        }
    }
    std::unique_ptr<testsupport::TestDatabase> db;
    std::unique_ptr<component::Connection> connection;
};

TEST_P(RewriteBatchTest, ARefusedUnitKeepsTheUnitsBeforeAndLeavesItselfAndTheRest) {
    struct Case {
        int refused;  // 1-based unit the database refuses, 0 for none
        QStringList expected;
    };
    const QStringList fresh = {"u1:10,11", "u2:20,21", "u3:30,31", "u4:40,41", "u5:50,51"};
    const QStringList old = {"u1:0", "u2:0", "u3:0", "u4:0", "u5:0"};
    const Case cases[] = {
        {0, fresh},
        {1, old},
        {3, {fresh[0], fresh[1], old[2], old[3], old[4]}},
        {5, {fresh[0], fresh[1], fresh[2], fresh[3], old[4]}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("refused unit " + std::to_string(c.refused));
        db->Exec(QStringLiteral("DELETE FROM T"));
        for (int u = 1; u <= 5; ++u) db->Exec(QStringLiteral("INSERT INTO T VALUES ('u%1', 0)").arg(u));
        auto batch = zarvik::db::OpenRewriteBatch(*connection, QStringLiteral("T"),
                                                  {QStringLiteral("K"), QStringLiteral("V")});
        AddFiveUnits(*batch, c.refused);
        EXPECT_EQ(batch->PendingUnits(), 5);
        EXPECT_EQ(batch->PendingRows(), 10);
        if (c.refused) {
            const component::Error error = ErrorOf([&] { batch->Send(); });
            EXPECT_EQ(error.Number(), errnum::kDatabase);
            EXPECT_TRUE(error.Description().contains(QStringLiteral("u%1").arg(c.refused)))
                << error.Description().toStdString();
        } else {
            batch->Send();
        }
        EXPECT_EQ(batch->UnitsCommitted(), c.refused ? c.refused - 1 : 5);
        EXPECT_EQ(batch->PendingUnits(), 0);
        EXPECT_EQ(Contents(), c.expected);
        // The connection stays usable: nothing of the failed transaction is left open.
        batch->BeginUnit(QStringLiteral("DELETE FROM T WHERE K = N'u5'"));
        batch->AddRow({QStringLiteral("u5"), 99});
        batch->Send();
        EXPECT_EQ(Contents().last(), QStringLiteral("u5:99"));
    }
}

// The rows reach the table as they were given, whatever bulk path carries them
// (PostgreSQL's COPY text format escapes some of these and reads "\N" as NULL).
TEST_P(RewriteBatchTest, EveryValueArrivesUnchanged) {
    const QStringList keys = {"tab\there", "back\\slash", "new\nline", "cr\rlf\n", "\\N",
                              "",          "é–€😀",        "'; --"};
    auto batch = zarvik::db::OpenRewriteBatch(*connection, QStringLiteral("T"),
                                              {QStringLiteral("K"), QStringLiteral("V")});
    for (qsizetype i = 0; i < keys.size(); ++i) {
        batch->BeginUnit(QStringLiteral("DELETE FROM T WHERE K = N'u%1'").arg(i + 1));
        batch->AddRow({keys[i], int(i) - 3});
        batch->AddRow({keys[i], qint64(std::numeric_limits<int>::min()) + i});
    }
    batch->Send();
    EXPECT_EQ(batch->UnitsCommitted(), keys.size());
    QStringList rows;
    for (const QVariantList& row : db->Rows(QStringLiteral("SELECT K, V FROM T ORDER BY V")))
        rows.append(row[0].toString() + u'|' + row[1].toString());
    QStringList expected;
    for (qsizetype i = 0; i < keys.size(); ++i)
        expected.append(keys[i] + u'|' + QString::number(qint64(std::numeric_limits<int>::min()) + i));
    for (qsizetype i = 0; i < keys.size(); ++i) expected.append(keys[i] + u'|' + QString::number(i - 3));
    EXPECT_EQ(rows, expected);
}

TEST_P(RewriteBatchTest, MisuseIsRefusedAndCancelSendsNothing) {
    auto batch = zarvik::db::OpenRewriteBatch(*connection, QStringLiteral("T"),
                                              {QStringLiteral("K"), QStringLiteral("V")});
    EXPECT_EQ(ErrorOf([&] { batch->AddRow({QStringLiteral("u1"), 1}); }).Number(), errnum::kDatabase);
    EXPECT_EQ(ErrorOf([&] { batch->BeginUnit(QStringLiteral("UPDATE T SET V = 1")); }).Number(),
              errnum::kInvalidArgument);
    batch->BeginUnit(QStringLiteral("DELETE FROM T WHERE K = N'u1'"));
    EXPECT_EQ(ErrorOf([&] { batch->AddRow({QStringLiteral("u1")}); }).Number(), errnum::kDatabase);
    batch->AddRow({QStringLiteral("u1"), 7});
    batch->Cancel();
    batch->Send();  // nothing pending: nothing happens
    EXPECT_EQ(Contents().first(), QStringLiteral("u1:0"));

    for (const auto& misuse : std::vector<std::pair<QString, QStringList>>{
             {QStringLiteral("T; DROP TABLE T"), {QStringLiteral("K")}},
             {QStringLiteral("T"), {QStringLiteral("K, V")}},
             {QStringLiteral("T"), {}},
             {QStringLiteral("\"T\""), {QStringLiteral("K")}}}) {
        EXPECT_EQ(
            ErrorOf([&] { zarvik::db::OpenRewriteBatch(*connection, misuse.first, misuse.second); }).Number(),
            errnum::kInvalidArgument)
            << misuse.first.toStdString();
    }
    // A batch needs a connection of its own transaction.
    connection->BeginTrans();
    batch->BeginUnit(QStringLiteral("DELETE FROM T WHERE K = N'u1'"));
    EXPECT_EQ(ErrorOf([&] { batch->Send(); }).Number(), errnum::kInvalidArgument);
    connection->RollbackTrans();
}

TEST_P(RewriteBatchTest, AStreamGivesEveryRowInOrderThenTheEnd) {
    db->Exec(QStringLiteral("CREATE TABLE N (I INTEGER NOT NULL, S VARCHAR(20) NULL)"));
    for (int i = 0; i < 50; ++i)
        db->Exec(QStringLiteral("INSERT INTO N VALUES (%1, %2)")
                     .arg(i)
                     .arg(i % 7 == 0 ? QStringLiteral("NULL") : QStringLiteral("'s%1'").arg(i)));
    auto stream =
        zarvik::db::OpenRowStream(*connection, QStringLiteral("SELECT I, S FROM N ORDER BY I DESC"));
    QVariantList row;
    int expected = 49;
    while (stream->Next(row)) {
        ASSERT_EQ(row.size(), 2);
        EXPECT_EQ(row[0].toInt(), expected);
        EXPECT_EQ(row[1].isNull(), expected % 7 == 0);
        if (expected % 7 != 0) {
            EXPECT_EQ(row[1].toString(), QStringLiteral("s%1").arg(expected));
        }
        --expected;
    }
    EXPECT_EQ(expected, -1);
    EXPECT_FALSE(stream->Next(row));
    stream.reset();
    EXPECT_EQ(ErrorOf([&] {
                  zarvik::db::OpenRowStream(*connection, QStringLiteral("SELECT NOPE FROM N"));
              }).Number(),
              errnum::kDatabase);
}

// While the catalog is streamed, the rewrites commit through another connection; the
// stream must not hold the database: a rollback journal would lock the writer out, and
// in WAL mode an open read keeps the log from being checkpointed, so that every commit
// appends the same pages again.
TEST_P(RewriteBatchTest, AnOpenStreamHoldsNoReadOfTheDatabase) {
    if (GetParam() != Backend::SQLite) GTEST_SKIP() << "PostgreSQL reads never block its writers";
    for (const QString& mode : {QStringLiteral("delete"), QStringLiteral("wal")}) {
        SCOPED_TRACE(mode.toStdString());
        connection->Close();
        db->Exec(QStringLiteral("DELETE FROM T"));
        for (int u = 1; u <= 5; ++u) db->Exec(QStringLiteral("INSERT INTO T VALUES ('u%1', 0)").arg(u));
        ASSERT_EQ(db->Rows(QStringLiteral("PRAGMA journal_mode=%1").arg(mode)).value(0).value(0).toString(),
                  mode);
        // The program leaves the journal mode to the application; the switch above is
        // this connection's, whose first checkpoint after it is made here, before the
        // run, so that the one below shows only what the run's connections hold.
        if (mode == QStringLiteral("wal")) db->Rows(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
        connection = zarvik::db::OpenConnection(db->ConnectionText());
        auto stream = zarvik::db::OpenRowStream(*connection, QStringLiteral("SELECT K, V FROM T ORDER BY K"));
        QVariantList row;
        ASSERT_TRUE(stream->Next(row));
        EXPECT_EQ(row[0].toString(), QStringLiteral("u1"));
        auto writer = zarvik::db::OpenConnection(db->ConnectionText());
        auto batch = zarvik::db::OpenRewriteBatch(*writer, QStringLiteral("T"),
                                                  {QStringLiteral("K"), QStringLiteral("V")});
        batch->BeginUnit(QStringLiteral("DELETE FROM T WHERE K = N'u2'"));
        batch->AddRow({QStringLiteral("u2"), 22});
        batch->Send();
        writer->Close();
        if (mode == QStringLiteral("wal")) {
            // busy, log frames, frames checkpointed: nothing may stop a full checkpoint.
            const QVariantList checkpoint =
                db->Rows(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)")).value(0);
            ASSERT_EQ(checkpoint.size(), 3);
            EXPECT_EQ(checkpoint[0].toInt(), 0) << "an open read held the log";
        }
        // The stream goes on with the rows as they were when it was opened.
        QStringList rest;
        while (stream->Next(row)) rest.append(row[0].toString() + u':' + row[1].toString());
        EXPECT_EQ(rest, (QStringList{"u2:0", "u3:0", "u4:0", "u5:0"}));
        EXPECT_EQ(Contents()[1], QStringLiteral("u2:22"));
    }
}

// A table the server has no statistics of yet (grown in the last minute, or just
// restored): a group's delete of a few hundred keys must still go through the key's
// index. Guessing that the keys match most rows, the server scanned the whole table
// once per group, and a run of thousands of users took time in their square.
TEST_P(RewriteBatchTest, AGroupDeleteUsesTheKeyIndexOfATableWithoutStatistics) {
    if (GetParam() != Backend::PostgreSQL) GTEST_SKIP() << "the plan of the server's own statistics";
    db->Exec(QStringLiteral("CREATE TABLE UN (K VARCHAR(20) NOT NULL, V INTEGER NOT NULL)"));
    db->Exec(QStringLiteral("CREATE INDEX IX_UN_K ON UN (K)"));
    db->Exec(QStringLiteral("INSERT INTO UN SELECT 'k' || (I % 2000), I FROM generate_series(1, 20000) I"));
    auto batch = zarvik::db::OpenRewriteBatch(*connection, QStringLiteral("UN"),
                                              {QStringLiteral("K"), QStringLiteral("V")});
    for (int u = 0; u < 256; ++u) {
        batch->BeginUnit(QStringLiteral("DELETE FROM UN WHERE K = N'k%1'").arg(u));
        batch->AddRow({QStringLiteral("k%1").arg(u), u});
    }
    batch->Send();
    batch.reset();
    // The server process of the connection hands its counts on when it ends.
    connection->Close();
    connection.reset();
    const QString scans = QStringLiteral(
        "SELECT seq_scan, COALESCE(idx_scan, 0) FROM pg_stat_user_tables "
        "WHERE relname = 'un' AND schemaname = current_schema()");
    QVariantList counts;
    for (int wait = 0; wait < 100; ++wait, QThread::msleep(50)) {
        counts = db->Rows(scans).value(0);
        if (counts.value(1).toLongLong() > 0) break;
    }
    EXPECT_GT(counts.value(1).toLongLong(), 0) << "the server reported no index scan";
    EXPECT_EQ(counts.value(0).toLongLong(), 0) << "the group's delete scanned the whole table";
    EXPECT_EQ(db->Rows(QStringLiteral("SELECT COUNT(*) FROM UN")).value(0).value(0).toInt(), 20000 - 256 * 9);
}

// The copy a stream reads from is a temporary file: a result of any size costs the
// program the page cache of one connection, not the whole result in memory.
TEST_P(RewriteBatchTest, AStreamOfALargeResultIsNotHeldInMemory) {
    if (GetParam() != Backend::SQLite) GTEST_SKIP() << "only SQLite's stream reads from a copy";
    db->Exec(QStringLiteral("CREATE TABLE BIG (I INTEGER NOT NULL, S VARCHAR(300) NOT NULL)"));
    db->Exec(
        QStringLiteral("WITH RECURSIVE N(I) AS (SELECT 1 UNION ALL SELECT I + 1 FROM N WHERE I < 200000) "
                       "INSERT INTO BIG SELECT I, printf('%0200d', I) FROM N"));
    const sqlite3_int64 before = sqlite3_memory_used();
    auto stream = zarvik::db::OpenRowStream(*connection, QStringLiteral("SELECT I, S FROM BIG ORDER BY I"));
    QVariantList row;
    ASSERT_TRUE(stream->Next(row));
    EXPECT_EQ(row[0].toInt(), 1);
    // 200,000 rows of over 200 bytes: over 40 MB if the copy were in memory; the page
    // caches of the database (8 MiB) and of the copy (2 MiB) are what may grow.
    EXPECT_LT(sqlite3_memory_used() - before, 20 << 20);
    int rows = 1;
    while (stream->Next(row)) ++rows;
    EXPECT_EQ(rows, 200000);
    stream.reset();
    // The connection's own setting is back, also after a query that failed: its
    // statement journals stay in memory.
    EXPECT_EQ(ErrorOf([&] {
                  zarvik::db::OpenRowStream(*connection, QStringLiteral("SELECT NOPE FROM BIG"));
              }).Number(),
              errnum::kDatabase);
    auto check = zarvik::db::OpenRecordset(*connection, QStringLiteral("PRAGMA temp_store"));
    EXPECT_EQ(check->Field(QStringLiteral("temp_store")).toInt(), 2);
}

INSTANTIATE_TEST_SUITE_P(Backends, RewriteBatchTest,
                         ::testing::Values(Backend::SQLite, Backend::PostgreSQL, Backend::ODBC),
                         [](const auto& info) { return testsupport::BackendName(info.param); });

}  // namespace
