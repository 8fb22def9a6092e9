// The database access of the component library on real databases: an SQLite file,
// the test PostgreSQL server, and the SQLite file through ODBC.
#include "zarvik/db/database.h"

#include <gtest/gtest.h>

#include <QDate>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>

#include "support/errorof.h"
#include "support/sqlbackends.h"
#include "support/tablesfixture.h"

namespace {

using testsupport::Backend;
namespace errnum = component::errnum;

using testsupport::ErrorOf;

class DatabaseTest : public testsupport::TablesTest {
protected:
    qsizetype Count(const QString& sql) { return m_db->Rows(sql).size(); }
};

TEST_P(DatabaseTest, ReadResultMovesAndGivesColumnsFromTheCurrentRow) {
    auto conn = Open();
    auto rs = zarvik::db::OpenRecordset(*conn, QStringLiteral("SELECT ID, NAME FROM T ORDER BY ID"));
    ASSERT_TRUE(rs);
    EXPECT_FALSE(rs->IsBOF());
    EXPECT_FALSE(rs->IsEOF());
    EXPECT_EQ(rs->Field(QStringLiteral("id")).toInt(), 1);  // any case
    EXPECT_EQ(rs->Field(QStringLiteral("Name")).toString(), QStringLiteral("a"));
    EXPECT_EQ(ErrorOf([&] { rs->Field(QStringLiteral("NOPE")); }).Number(), errnum::kDatabase);
    rs->MoveNext();
    const QList<QVariantList> rows = rs->GetRows();  // [column][row] from row 2 on
    ASSERT_EQ(rows.size(), 2);
    ASSERT_EQ(rows[0].size(), 2);
    EXPECT_EQ(rows[0][0].toInt(), 2);
    EXPECT_EQ(rows[0][1].toInt(), 3);
    EXPECT_EQ(rows[1][0].toString(), QStringLiteral("b"));
    EXPECT_TRUE(rows[1][1].isNull());
    EXPECT_TRUE(rs->IsEOF());
    EXPECT_EQ(ErrorOf([&] { rs->Field(QStringLiteral("ID")); }).Number(), errnum::kDatabase);
    EXPECT_EQ(ErrorOf([&] { rs->MoveNext(); }).Number(), errnum::kDatabase);
    rs->MoveFirst();
    EXPECT_EQ(rs->Field(QStringLiteral("ID")).toInt(), 1);

    auto empty = zarvik::db::OpenRecordset(*conn, QStringLiteral("SELECT ID FROM T WHERE ID > 10"));
    EXPECT_TRUE(empty->IsBOF());
    EXPECT_TRUE(empty->IsEOF());
}

TEST_P(DatabaseTest, SqlServerDialectReachesTheDatabase) {
    m_db->Exec(QStringLiteral("INSERT INTO T (ID, NAME) VALUES (4, 'it''s TOP 1'), (5, 'abc '), (6, 'abc')"));
    auto conn = Open();
    auto top = zarvik::db::OpenRecordset(
        *conn, QStringLiteral("SELECT TOP 2 ID FROM T WHERE NAME <> N'x' ORDER BY ID DESC"));
    ASSERT_EQ(top->GetRows().value(0), (QVariantList{6, 5}));
    auto literal =
        zarvik::db::OpenRecordset(*conn, QStringLiteral("SELECT ID FROM T WHERE NAME = N'it''s TOP 1'"));
    ASSERT_FALSE(literal->IsEOF());
    EXPECT_EQ(literal->Field(QStringLiteral("ID")).toInt(), 4);
    // A trailing blank is part of the value: 'abc ' and 'abc' are two users.
    auto blank = zarvik::db::OpenRecordset(*conn, QStringLiteral("SELECT ID FROM T WHERE NAME = N'abc '"));
    EXPECT_EQ(blank->GetRows().value(0), (QVariantList{5}));
}

TEST_P(DatabaseTest, FailuresCarryTheDriverMessageAndTheStatement) {
    auto conn = Open();
    const component::Error exec = ErrorOf([&] { conn->Execute(QStringLiteral("DELETE FROM NOSUCHTABLE")); });
    EXPECT_EQ(exec.Number(), errnum::kDatabase);
    EXPECT_EQ(exec.Source(), QStringLiteral("ZarvikIndexing.Database"));
    EXPECT_TRUE(exec.Description().contains(QStringLiteral("DELETE FROM NOSUCHTABLE"))) << exec.what();
    EXPECT_TRUE(exec.Description().contains(QStringLiteral("nosuchtable"), Qt::CaseInsensitive))
        << exec.what();
    const component::Error read =
        ErrorOf([&] { zarvik::db::OpenRecordset(*conn, QStringLiteral("SELECT NOPE FROM T")); });
    EXPECT_EQ(read.Number(), errnum::kDatabase);
    EXPECT_TRUE(read.Description().contains(QStringLiteral("SELECT NOPE FROM T"))) << read.what();
    // The statement is shown with its values, as it was sent.
    const component::Error withValues = ErrorOf([&] {
        zarvik::db::OpenRecordset(*conn, QStringLiteral("SELECT NOPE FROM T WHERE NAME = N'q' AND ID = 5"));
    });
    EXPECT_TRUE(
        withValues.Description().contains(QStringLiteral("SELECT NOPE FROM T WHERE NAME = 'q' AND ID = 5")))
        << withValues.what();
    // Also for a delete that opens a transaction's work.
    conn->BeginTrans();
    const component::Error inTransaction =
        ErrorOf([&] { conn->Execute(QStringLiteral("DELETE FROM NOSUCHTABLE WHERE ID = 5")); });
    EXPECT_TRUE(inTransaction.Description().contains(QStringLiteral("DELETE FROM NOSUCHTABLE WHERE ID = 5")))
        << inTransaction.what();
    conn->RollbackTrans();
    // The connection stays usable after a failed statement.
    EXPECT_FALSE(zarvik::db::OpenRecordset(*conn, QStringLiteral("SELECT ID FROM T"))->IsEOF());
}

TEST_P(DatabaseTest, AnOpenReadHoldsNoStatement) {
    auto conn = Open();
    auto rs = zarvik::db::OpenRecordset(*conn, QStringLiteral("SELECT ID FROM T ORDER BY ID"));
    // SQLite and PostgreSQL both refuse to drop a table that a pending statement of
    // the same connection still reads.
    conn->Execute(QStringLiteral("DROP TABLE T"));
    EXPECT_EQ(rs->GetRows().value(0), (QVariantList{1, 2, 3}));
}

TEST_P(DatabaseTest, BatchSendsBoundRowsAndLeavesOtherColumnsToTheirDefaults) {
    auto conn = Open();
    auto batch =
        zarvik::db::OpenUpdatableRecordset(*conn, QStringLiteral("SELECT * FROM B WHERE NAME=N'x' "));
    const QString awkward = QStringLiteral("O'Brien N'x\\ ; DROP TABLE B; --");
    batch->AddNew();
    batch->SetField(QStringLiteral("id"), 1);
    batch->SetField(QStringLiteral("NAME"), awkward);
    batch->AddNew();
    batch->SetField(QStringLiteral("ID"), 2);
    EXPECT_EQ(Count(QStringLiteral("SELECT ID FROM B")), 0);  // nothing before UpdateBatch
    batch->UpdateBatch();
    batch->UpdateBatch();  // sent rows are not sent twice
    const auto rows = m_db->Rows(QStringLiteral("SELECT ID, NAME, TAG FROM B ORDER BY ID"));
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(rows[0], (QVariantList{1, awkward, QStringLiteral("default")}));
    EXPECT_EQ(rows[1][0].toInt(), 2);
    EXPECT_TRUE(rows[1][1].isNull());
    EXPECT_EQ(rows[1][2].toString(), QStringLiteral("default"));
}

TEST_P(DatabaseTest, AFailingBatchKeepsNoneOfItsRows) {
    auto conn = Open();
    auto batch = zarvik::db::OpenUpdatableRecordset(*conn, QStringLiteral("SELECT * FROM B"));
    batch->AddNew();
    batch->SetField(QStringLiteral("ID"), 1);
    batch->AddNew();
    batch->SetField(QStringLiteral("ID"), QVariant());  // NOT NULL
    batch->AddNew();
    batch->SetField(QStringLiteral("ID"), 3);
    const component::Error e = ErrorOf([&] { batch->UpdateBatch(); });
    EXPECT_EQ(e.Number(), errnum::kDatabase);
    EXPECT_TRUE(e.Description().contains(QStringLiteral("INSERT INTO B"))) << e.what();
    EXPECT_EQ(Count(QStringLiteral("SELECT ID FROM B")), 0);
    batch->CancelBatch();
    batch->UpdateBatch();
    EXPECT_EQ(Count(QStringLiteral("SELECT ID FROM B")), 0);
}

TEST_P(DatabaseTest, ALargeBatchArrivesWholeOrNotAtAll) {
    // More rows than one insert statement carries, with texts that would break a
    // statement if they were pasted into it.
    const QStringList awkward = {QStringLiteral("it's"), QStringLiteral("back\\slash"), QStringLiteral("$1"),
                                 QStringLiteral("caf\u00e9 \u20ac"), QStringLiteral("'); DROP TABLE B; --")};
    auto conn = Open();
    auto batch = zarvik::db::OpenUpdatableRecordset(*conn, QStringLiteral("SELECT * FROM B"));
    const int rows = 2500;
    for (int i = 0; i < rows; ++i) {
        batch->AddNew();
        batch->SetField(QStringLiteral("ID"), i);
        batch->SetField(QStringLiteral("NAME"),
                        i % 7 == 0 ? QVariant() : QVariant(awkward.at(i % awkward.size())));
    }
    batch->UpdateBatch();
    const QList<QVariantList> got = m_db->Rows(QStringLiteral("SELECT ID, NAME, TAG FROM B ORDER BY ID"));
    ASSERT_EQ(got.size(), rows);
    for (int i = 0; i < rows; i += 1) {
        ASSERT_EQ(got[i][0].toInt(), i);
        if (i % 7 == 0)
            EXPECT_TRUE(got[i][1].isNull()) << i;
        else
            EXPECT_EQ(got[i][1].toString(), awkward.at(i % awkward.size())) << i;
        EXPECT_EQ(got[i][2].toString(), QStringLiteral("default")) << i;
    }

    // A bad row in the last of several statements takes back the rows of all of them.
    m_db->Exec(QStringLiteral("DELETE FROM B"));
    conn->BeginTrans();
    for (int i = 0; i < rows; ++i) {
        batch->AddNew();
        batch->SetField(QStringLiteral("ID"), i == rows - 1 ? QVariant() : QVariant(i));
    }
    EXPECT_EQ(ErrorOf([&] { batch->UpdateBatch(); }).Number(), errnum::kDatabase);
    EXPECT_TRUE(zarvik::db::OpenRecordset(*conn, QStringLiteral("SELECT ID FROM B"))->IsEOF());
    conn->CommitTrans();
    EXPECT_EQ(Count(QStringLiteral("SELECT ID FROM B")), 0);
}

TEST_P(DatabaseTest, CancelBatchDiscardsUnsentRows) {
    auto conn = Open();
    auto batch = zarvik::db::OpenUpdatableRecordset(*conn, QStringLiteral("SELECT * FROM B"));
    batch->AddNew();
    batch->SetField(QStringLiteral("ID"), 1);
    batch->UpdateBatch();
    batch->AddNew();
    batch->SetField(QStringLiteral("ID"), 2);
    batch->CancelBatch();
    batch->UpdateBatch();
    EXPECT_EQ(m_db->Rows(QStringLiteral("SELECT ID FROM B")), (QList<QVariantList>{{1}}));
    EXPECT_EQ(ErrorOf([&] { batch->SetField(QStringLiteral("ID"), 3); }).Number(), errnum::kDatabase);
}

TEST_P(DatabaseTest, BatchFieldAndTableErrors) {
    auto conn = Open();
    auto batch = zarvik::db::OpenUpdatableRecordset(*conn, QStringLiteral("select * from B"));
    EXPECT_EQ(ErrorOf([&] { batch->SetField(QStringLiteral("ID"), 1); }).Number(),
              errnum::kDatabase);  // no AddNew
    batch->AddNew();
    EXPECT_EQ(ErrorOf([&] { batch->SetField(QStringLiteral("NOPE"), 1); }).Number(), errnum::kDatabase);
    for (const char* sql : {"SELECT ID FROM B", "DELETE FROM B", "SELECT * FROM (SELECT ID FROM B) X", ""})
        EXPECT_EQ(
            ErrorOf([&] { zarvik::db::OpenUpdatableRecordset(*conn, QString::fromUtf8(sql)); }).Number(),
            errnum::kInvalidArgument)
            << sql;
}

TEST_P(DatabaseTest, TransactionHidesTheDeleteAndTheBatchUntilCommit) {
    auto conn = Open();
    auto other = Open();
    conn->BeginTrans();
    conn->Execute(QStringLiteral("DELETE FROM T WHERE ID = 1"));
    auto batch = zarvik::db::OpenUpdatableRecordset(*conn, QStringLiteral("SELECT * FROM T"));
    batch->AddNew();
    batch->SetField(QStringLiteral("ID"), 10);
    batch->UpdateBatch();  // joins the open transaction
    auto seen = zarvik::db::OpenRecordset(*other, QStringLiteral("SELECT ID FROM T ORDER BY ID"));
    EXPECT_EQ(seen->GetRows().value(0), (QVariantList{1, 2, 3}));
    conn->CommitTrans();
    seen = zarvik::db::OpenRecordset(*other, QStringLiteral("SELECT ID FROM T ORDER BY ID"));
    EXPECT_EQ(seen->GetRows().value(0), (QVariantList{2, 3, 10}));
}

TEST_P(DatabaseTest, RollbackUndoesTheDeleteAfterAFailedBatch) {
    auto conn = Open();
    conn->BeginTrans();
    conn->Execute(QStringLiteral("DELETE FROM T"));
    auto batch = zarvik::db::OpenUpdatableRecordset(*conn, QStringLiteral("SELECT * FROM T"));
    batch->AddNew();
    batch->SetField(QStringLiteral("ID"), 20);
    batch->AddNew();
    batch->SetField(QStringLiteral("ID"), QVariant());
    EXPECT_EQ(ErrorOf([&] { batch->UpdateBatch(); }).Number(), errnum::kDatabase);
    // The transaction is still usable: the failed batch took back only its own rows.
    EXPECT_TRUE(zarvik::db::OpenRecordset(*conn, QStringLiteral("SELECT ID FROM T"))->IsEOF());
    conn->RollbackTrans();
    EXPECT_EQ(Count(QStringLiteral("SELECT ID FROM T")), 3);
    EXPECT_EQ(ErrorOf([&] { conn->CommitTrans(); }).Number(), errnum::kDatabase);  // none open
}

TEST_P(DatabaseTest, EachConnectionHasItsOwnQtConnectionUntilClosed) {
    const qsizetype before = QSqlDatabase::connectionNames().size();
    auto first = Open();
    auto second = Open();
    EXPECT_EQ(QSqlDatabase::connectionNames().size(), before + 2);
    first->BeginTrans();
    first->Execute(QStringLiteral("DELETE FROM T"));
    first->Close();  // an open transaction is discarded
    EXPECT_EQ(QSqlDatabase::connectionNames().size(), before + 1);
    EXPECT_EQ(ErrorOf([&] { first->Execute(QStringLiteral("DELETE FROM T")); }).Number(), errnum::kDatabase);
    EXPECT_EQ(
        ErrorOf([&] { zarvik::db::OpenRecordset(*first, QStringLiteral("SELECT ID FROM T")); }).Number(),
        errnum::kInvalidArgument);
    first->Close();  // twice is harmless
    second.reset();  // destruction closes as well
    EXPECT_EQ(QSqlDatabase::connectionNames().size(), before);
    EXPECT_EQ(Count(QStringLiteral("SELECT ID FROM T")), 3);
}

// Each sequence of transaction calls leaves the table as its calls ask, and the
// connection fit for the next user; a transaction need not send anything before its
// first statement.
TEST_P(DatabaseTest, TransactionsEndAsTheyAreAsked) {
    struct Case {
        const char* steps;  // b begin, c commit, r rollback, d delete a row, q query, x close
        int rows;           // of T afterwards
    };
    const Case cases[] = {
        {"bc", 3},   {"br", 3},    {"bdr", 3}, {"bdc", 2}, {"bqdc", 2},
        {"bqrd", 2}, {"bcbdr", 3}, {"bdx", 3}, {"bx", 3},
    };
    for (const Case& c : cases) {
        m_db->Exec(QStringLiteral("DELETE FROM T"));
        m_db->Exec(QStringLiteral("INSERT INTO T (ID, NAME) VALUES (1, 'a'), (2, 'b'), (3, NULL)"));
        auto anchor = Open();  // keeps the family open, so the next Open reuses the connection
        auto conn = Open();
        for (const char* step = c.steps; *step; ++step) {
            switch (*step) {
                case 'b':
                    conn->BeginTrans();
                    break;
                case 'c':
                    conn->CommitTrans();
                    break;
                case 'r':
                    conn->RollbackTrans();
                    break;
                case 'd':
                    conn->Execute(QStringLiteral("DELETE FROM T WHERE ID = 1"));
                    break;
                case 'q':
                    EXPECT_FALSE(
                        zarvik::db::OpenRecordset(*conn, QStringLiteral("SELECT ID FROM T WHERE ID = 2"))
                            ->IsEOF());
                    break;
                case 'x':
                    conn->Close();
                    break;
            }
        }
        conn->Close();
        EXPECT_EQ(Count(QStringLiteral("SELECT ID FROM T")), c.rows) << c.steps;
        // The next connection is in no transaction: its delete is there at once.
        auto next = Open();
        next->Execute(QStringLiteral("DELETE FROM T WHERE ID = 3"));
        EXPECT_EQ(Count(QStringLiteral("SELECT ID FROM T WHERE ID = 3")), 0) << c.steps;
    }
}

// Statements that differ only in their compared values share one prepared statement
// on the connection; each must still get its own values, in their places.
TEST_P(DatabaseTest, StatementsThatDifferOnlyInTheirValuesEachGetTheirOwnRows) {
    m_db->Exec(QStringLiteral("INSERT INTO T (ID, NAME) VALUES (4, 'it''s')"));
    struct Query {
        const char* sql;
        QVariantList ids;
    };
    const Query queries[] = {
        {"SELECT ID FROM T WHERE ID = 1", {1}},
        {"SELECT ID FROM T WHERE ID = 2", {2}},
        {"SELECT ID FROM T WHERE NAME = N'b'", {2}},
        {"SELECT ID FROM T WHERE NAME = N'it''s'", {4}},
        {"SELECT ID FROM T WHERE NAME = N'a' AND ID = 1", {1}},
        {"SELECT ID FROM T WHERE NAME = N'a' AND ID = 2", {}},
        {"SELECT ID FROM T WHERE ID IN (1,3) ORDER BY ID", {1, 3}},
        {"SELECT ID FROM T WHERE ID IN (4) ORDER BY ID", {4}},
        {"SELECT ID FROM T WHERE ID > 1 ORDER BY 1 DESC", {4, 3, 2}},
        {"SELECT TOP 1 ID FROM T WHERE ID > 2 ORDER BY ID", {3}},
        {"SELECT TOP 1 ID FROM T WHERE ID > 1 ORDER BY ID", {2}},
        {"SELECT 7 AS ID FROM T WHERE ID = 1", {7}},
        // Past 32 bits a number is a 64-bit value, as its literal would be.
        {"SELECT ID FROM T WHERE ID = 3000000000", {}},
        {"SELECT ID FROM T WHERE ID = 3", {3}},
    };
    auto conn = Open();
    for (int round = 0; round < 2; ++round)
        for (const Query& q : queries) {
            auto rs = zarvik::db::OpenRecordset(*conn, QString::fromUtf8(q.sql));
            QVariantList ids;
            while (!rs->IsEOF()) {
                ids.append(rs->Field(QStringLiteral("ID")).toInt());
                rs->MoveNext();
            }
            EXPECT_EQ(ids, q.ids) << q.sql << " (round " << round << ")";
        }
    // The deletes of one shape remove each their own rows.
    conn->Execute(QStringLiteral("DELETE FROM T WHERE NAME = N'it''s'"));
    conn->Execute(QStringLiteral("DELETE FROM T WHERE ID = 1"));
    EXPECT_EQ(m_db->Rows(QStringLiteral("SELECT ID FROM T ORDER BY ID")), (QList<QVariantList>{{2}, {3}}));
}

// A null of a type (as Qt's drivers read NULL columns) is stored as NULL; an empty
// text stays an empty text.
TEST_P(DatabaseTest, TypedNullsArriveAsNull) {
    m_db->Exec(QStringLiteral("CREATE TABLE N (K INTEGER NOT NULL, A INTEGER NULL, S VARCHAR(10) NULL)"));
    auto conn = Open();
    auto batch = zarvik::db::OpenUpdatableRecordset(*conn, QStringLiteral("SELECT * FROM N WHERE K = 0"));
    const QVariant values[][2] = {
        {QVariant(QMetaType::fromType<int>()), QVariant(QMetaType::fromType<QString>())},
        {QVariant(QMetaType::fromType<qlonglong>()), QVariant(QString(QLatin1String("")))},
        {QVariant(5), QVariant(QStringLiteral("x"))},
    };
    for (int k = 0; k < 3; ++k) {
        batch->AddNew();
        batch->SetField(QStringLiteral("K"), k);
        batch->SetField(QStringLiteral("A"), values[k][0]);
        batch->SetField(QStringLiteral("S"), values[k][1]);
    }
    batch->UpdateBatch();
    const QList<QVariantList> rows = m_db->Rows(QStringLiteral("SELECT A, S FROM N ORDER BY K"));
    ASSERT_EQ(rows.size(), 3);
    EXPECT_TRUE(rows[0][0].isNull());
    EXPECT_TRUE(rows[0][1].isNull());
    EXPECT_TRUE(rows[1][0].isNull());
    EXPECT_FALSE(rows[1][1].isNull());
    EXPECT_EQ(rows[1][1].toString(), QString());
    EXPECT_EQ(rows[2][0].toInt(), 5);
    EXPECT_EQ(rows[2][1].toString(), QStringLiteral("x"));
}

// A table that changes after a statement of its shape was kept: the next read and the
// next batch see the table as it is now.
TEST_P(DatabaseTest, KeptStatementsFollowASchemaChange) {
    // The SQLite ODBC driver keeps its own view of a table's columns; nothing of this
    // layer is kept on an ODBC connection.
    if (GetParam() == Backend::ODBC) GTEST_SKIP() << "the driver's own column cache";
    auto conn = Open();
    auto read = [&](int id) {
        return zarvik::db::OpenRecordset(*conn, QStringLiteral("SELECT * FROM B WHERE ID = %1").arg(id));
    };
    m_db->Exec(QStringLiteral("INSERT INTO B (ID, NAME) VALUES (1, 'one'), (2, 'two')"));
    EXPECT_EQ(read(1)->Field(QStringLiteral("NAME")).toString(), QStringLiteral("one"));
    auto batch = zarvik::db::OpenUpdatableRecordset(*conn, QStringLiteral("SELECT * FROM B WHERE ID = 0"));
    batch->AddNew();
    batch->SetField(QStringLiteral("ID"), 3);
    batch->SetField(QStringLiteral("NAME"), QStringLiteral("three"));
    batch->UpdateBatch();
    // Made anew by another connection, with its columns in another order and one more.
    m_db->Exec(QStringLiteral("DROP TABLE B"));
    m_db->Exec(QStringLiteral(
        "CREATE TABLE B (NAME VARCHAR(50) NULL, EXTRA INTEGER DEFAULT 7, ID INTEGER NOT NULL)"));
    m_db->Exec(QStringLiteral("INSERT INTO B (ID, NAME) VALUES (2, 'two')"));
    auto again = read(2);
    EXPECT_EQ(again->Field(QStringLiteral("NAME")).toString(), QStringLiteral("two"));
    EXPECT_EQ(again->Field(QStringLiteral("EXTRA")).toInt(), 7);
    auto next = zarvik::db::OpenUpdatableRecordset(*conn, QStringLiteral("SELECT * FROM B WHERE ID = 0"));
    next->AddNew();
    next->SetField(QStringLiteral("ID"), 4);
    next->SetField(QStringLiteral("NAME"), QStringLiteral("four"));
    next->UpdateBatch();
    EXPECT_EQ(m_db->Rows(QStringLiteral("SELECT NAME, EXTRA FROM B WHERE ID = 4")),
              (QList<QVariantList>{{QStringLiteral("four"), 7}}));
}

// A statement kept for the next query of its shape must not keep the database as it
// was: the next read sees what another connection committed meanwhile.
TEST_P(DatabaseTest, AKeptStatementSeesLaterCommits) {
    auto conn = Open();
    auto name = [&] {
        return zarvik::db::OpenRecordset(*conn, QStringLiteral("SELECT NAME FROM T WHERE ID = 1"))
            ->Field(QStringLiteral("NAME"))
            .toString();
    };
    EXPECT_EQ(name(), QStringLiteral("a"));
    m_db->Exec(QStringLiteral("UPDATE T SET NAME = 'z' WHERE ID = 1"));
    EXPECT_EQ(name(), QStringLiteral("z"));
    // Nor does it lock the table against its change.
    conn->Execute(QStringLiteral("DROP TABLE T"));
}

INSTANTIATE_TEST_SUITE_P(Backends, DatabaseTest,
                         ::testing::Values(Backend::SQLite, Backend::PostgreSQL, Backend::ODBC),
                         [](const auto& info) { return testsupport::BackendName(info.param); });

// The journal mode is the database owner's: a connection keeps it, and syncs every
// commit unless the write-ahead log makes that unnecessary (its commits are synced by
// the checkpoint at close), also after a batch raised the level for its own commit.
TEST(SqliteConnection, KeepsTheJournalModeAndABusyTimeout) {
    for (const auto& [journal, synchronous] : {std::pair{"delete", 2}, {"wal", 1}}) {
        SCOPED_TRACE(journal);
        testsupport::TestDatabase db(Backend::SQLite);
        db.Exec(QStringLiteral("CREATE TABLE T (K TEXT)"));
        db.Rows(QStringLiteral("PRAGMA journal_mode=%1").arg(QLatin1String(journal)));
        auto conn = zarvik::db::OpenConnection(db.ConnectionText());
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

class OneStatementTest : public ::testing::TestWithParam<Backend> {};

TEST_P(OneStatementTest, ASecondStatementInOneQueryIsRefused) {
    testsupport::TestDatabase db(GetParam());
    LUMORA_REQUIRE_DATABASE(db);
    db.Exec(QStringLiteral("CREATE TABLE K (ID INTEGER)"));
    auto conn = zarvik::db::OpenConnection(db.ConnectionText());
    const component::Error error =
        ErrorOf([&] { zarvik::db::OpenRecordset(*conn, QStringLiteral("SELECT ID FROM K; DROP TABLE K")); });
    EXPECT_EQ(error.Number(), errnum::kDatabase);
    EXPECT_EQ(db.Rows(QStringLiteral("SELECT COUNT(*) FROM K")).size(), 1);  // the table is still there
    // A closing semicolon alone is one statement.
    EXPECT_TRUE(zarvik::db::OpenRecordset(*conn, QStringLiteral("SELECT ID FROM K;"))->IsEOF());
}

INSTANTIATE_TEST_SUITE_P(Backends, OneStatementTest, ::testing::Values(Backend::SQLite, Backend::PostgreSQL),
                         [](const auto& info) { return testsupport::BackendName(info.param); });

TEST(PostgresConnection, ValuesComeBackWithTheirTypes) {
    testsupport::TestDatabase db(Backend::PostgreSQL);
    LUMORA_REQUIRE_DATABASE(db);
    auto conn = zarvik::db::OpenConnection(db.ConnectionText());
    auto rs = zarvik::db::OpenRecordset(
        *conn, QStringLiteral(
                   "SELECT CAST(7 AS SMALLINT) AS S, 9000000000 AS I, 2.5 AS R, TRUE AS F, "
                   "N'caf\u00e9 ' AS T, CAST('\\x00ff' AS BYTEA) AS B, DATE '2026-12-08' AS D, NULL AS N"));
    EXPECT_EQ(rs->Field(QStringLiteral("S")), QVariant(7));
    EXPECT_EQ(rs->Field(QStringLiteral("I")), QVariant(qlonglong(9000000000LL)));
    EXPECT_EQ(rs->Field(QStringLiteral("R")), QVariant(2.5));
    EXPECT_EQ(rs->Field(QStringLiteral("F")), QVariant(true));
    EXPECT_EQ(rs->Field(QStringLiteral("T")), QVariant(QStringLiteral("caf\u00e9 ")));
    EXPECT_EQ(rs->Field(QStringLiteral("B")), QVariant(QByteArray("\x00\xff", 2)));
    EXPECT_EQ(rs->Field(QStringLiteral("D")), QVariant(QDate(2026, 12, 8)));
    EXPECT_TRUE(rs->Field(QStringLiteral("N")).isNull());
}

// Several row changes in one Execute run as Qt's driver runs them on PostgreSQL.
TEST(PostgresConnection, OneExecuteMayHoldSeveralDeletes) {
    testsupport::TestDatabase db(Backend::PostgreSQL);
    LUMORA_REQUIRE_DATABASE(db);
    db.Exec(QStringLiteral("CREATE TABLE K (ID INTEGER)"));
    db.Exec(QStringLiteral("INSERT INTO K (ID) VALUES (1), (2), (3)"));
    auto conn = zarvik::db::OpenConnection(db.ConnectionText());
    conn->BeginTrans();
    conn->Execute(QStringLiteral("DELETE FROM K WHERE ID = 1; DELETE FROM K WHERE ID = 2"));
    conn->CommitTrans();
    EXPECT_EQ(db.Rows(QStringLiteral("SELECT ID FROM K")), (QList<QVariantList>{{3}}));
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

TEST(OpenConnection, RefusesWhatItCannotOpen) {
    const char* const texts[] = {
        "Provider=SQLite;Database=/nonexistent/folder/app.db",
        "Provider=SQLite",
        "Provider=Oracle;Database=x",
        "Provider=PostgreSQL;Host=127.0.0.1;Port=1;Database=x;User=x",
        "Provider=PostgreSQL;Host=127.0.0.1;Port=notanumber",
        "Provider=ODBC;DRIVER={No Such Driver};Database=x",
    };
    const qsizetype before = QSqlDatabase::connectionNames().size();
    for (const char* text : texts)
        EXPECT_EQ(ErrorOf([&] { zarvik::db::OpenConnection(QString::fromUtf8(text)); }).Number(),
                  errnum::kDatabase)
            << text;
    EXPECT_EQ(QSqlDatabase::connectionNames().size(), before);  // nothing left behind
}

}  // namespace
