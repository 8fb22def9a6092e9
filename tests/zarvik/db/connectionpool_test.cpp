// Reuse of physical connections and multi-row batches of the data layer, on an
// SQLite file and on the test PostgreSQL server.
#include <gtest/gtest.h>

#include <QFile>
#include <QSqlDatabase>

#include "support/errorof.h"
#include "support/sqlbackends.h"
#include "support/tablesfixture.h"
#include "zarvik/db/database.h"

namespace {

using testsupport::Backend;
namespace errnum = component::errnum;

using testsupport::ErrorOf;

class PoolTest : public testsupport::TablesTest {
protected:
    void SetUp() override {
        TablesTest::SetUp();
        m_before = QSqlDatabase::connectionNames().size();
    }
    qsizetype QtConnections() const { return QSqlDatabase::connectionNames().size() - m_before; }
    QList<QVariantList> Read(component::Connection& c, const QString& sql) {
        QList<QVariantList> rows;
        auto rs = zarvik::db::OpenRecordset(c, sql);
        while (!rs->IsEOF()) {
            rows.append({rs->Field(QStringLiteral("ID")), rs->Field(QStringLiteral("NAME"))});
            rs->MoveNext();
        }
        return rows;
    }

    qsizetype m_before = 0;
};

// While an earlier connection of the text is open, a closed later one is handed out
// again; once the earliest closes and no other is open, nothing stays open.
TEST_P(PoolTest, ReusesWhileAnEarlierConnectionIsOpenAndClosesAllAtTheEnd) {
    auto anchor = Open();
    QStringList firstUsers;
    for (int user = 0; user < 5; ++user) {
        auto read = Open();
        auto write = Open();
        // The two physical connections of the first user serve every later one.
        QStringList names = QSqlDatabase::connectionNames();
        names.sort();
        if (user == 0) firstUsers = names;
        EXPECT_EQ(names, firstUsers) << "user " << user;
        EXPECT_EQ(QtConnections(), 3) << "user " << user;
        write->BeginTrans();
        write->Execute(QStringLiteral("UPDATE T SET NAME = 'u%1' WHERE ID = 1").arg(user));
        write->CommitTrans();
        EXPECT_EQ(
            Read(*read, QStringLiteral("SELECT ID, NAME FROM T WHERE ID = 1")).value(0).value(1).toString(),
            QStringLiteral("u%1").arg(user));
        read->Close();
        write->Close();
    }
    EXPECT_EQ(QtConnections(), 3);
    anchor->Close();
    EXPECT_EQ(QtConnections(), 0);
}

// A transaction is never handed on with a connection: one opened through BeginTrans
// is rolled back, one opened by a statement makes the connection unfit for reuse.
TEST_P(PoolTest, AKeptConnectionCarriesNoTransaction) {
    auto anchor = Open();
    for (const bool raw : {false, true}) {
        auto user = Open();
        if (raw)
            user->Execute(QStringLiteral("BEGIN"));
        else
            user->BeginTrans();
        user->Execute(QStringLiteral("DELETE FROM T"));
        user->Close();
        auto next = Open();
        EXPECT_EQ(Read(*next, QStringLiteral("SELECT ID, NAME FROM T")).size(), 3) << raw;
        next->BeginTrans();  // raises when a transaction is still open
        next->Execute(QStringLiteral("DELETE FROM T WHERE ID = 3"));
        next->RollbackTrans();
        next->Close();
        EXPECT_EQ(Read(*anchor, QStringLiteral("SELECT ID, NAME FROM T")).size(), 3) << raw;
    }
}

// Rows that set the same columns go several at a time; the values must land in
// their own rows and columns across the chunk sizes, with other column sets between.
TEST_P(PoolTest, MultiRowBatchesKeepEveryValueInItsRow) {
    auto conn = Open();
    auto batch = zarvik::db::OpenUpdatableRecordset(*conn, QStringLiteral("SELECT * FROM B"));
    for (int id = 1; id <= 300; ++id) {
        batch->AddNew();
        batch->SetField(QStringLiteral("ID"), id);
        if (id % 97 != 0) batch->SetField(QStringLiteral("NAME"), QStringLiteral("n%1").arg(id));
    }
    batch->UpdateBatch();
    const auto rows = m_db->Rows(QStringLiteral("SELECT ID, NAME, TAG FROM B ORDER BY ID"));
    ASSERT_EQ(rows.size(), 300);
    for (int id = 1; id <= 300; ++id) {
        const QVariantList& row = rows[id - 1];
        EXPECT_EQ(row[0].toInt(), id);
        if (id % 97 == 0)
            EXPECT_TRUE(row[1].isNull()) << id;
        else
            EXPECT_EQ(row[1].toString(), QStringLiteral("n%1").arg(id));
        EXPECT_EQ(row[2].toString(), QStringLiteral("default"));
    }
}

TEST_P(PoolTest, AFailingRowInAMultiRowInsertKeepsNoneOfTheBatch) {
    auto anchor = Open();
    auto conn = Open();
    conn->BeginTrans();
    conn->Execute(QStringLiteral("DELETE FROM T"));
    auto batch = zarvik::db::OpenUpdatableRecordset(*conn, QStringLiteral("SELECT * FROM B"));
    for (int id = 1; id <= 40; ++id) {
        batch->AddNew();
        batch->SetField(QStringLiteral("ID"), id == 20 ? QVariant() : QVariant(id));  // NOT NULL
    }
    const component::Error e = ErrorOf([&] { batch->UpdateBatch(); });
    EXPECT_EQ(e.Number(), errnum::kDatabase);
    // The error names the statement's rows: the inserts carry powers of two of rows.
    EXPECT_TRUE(e.Description().contains(QStringLiteral("rows 1 to 32 of 40"))) << e.what();
    conn->RollbackTrans();
    conn->Close();
    EXPECT_EQ(m_db->Rows(QStringLiteral("SELECT ID FROM B")).size(), 0);
    EXPECT_EQ(m_db->Rows(QStringLiteral("SELECT ID FROM T")).size(), 3);
    // The kept connection works for the next user.
    auto next = Open();
    auto again = zarvik::db::OpenUpdatableRecordset(*next, QStringLiteral("SELECT * FROM B"));
    again->AddNew();
    again->SetField(QStringLiteral("ID"), 7);
    again->UpdateBatch();
    EXPECT_EQ(m_db->Rows(QStringLiteral("SELECT ID FROM B")), (QList<QVariantList>{{7}}));
}

INSTANTIATE_TEST_SUITE_P(Backends, PoolTest, ::testing::Values(Backend::SQLite, Backend::PostgreSQL),
                         [](const auto& info) { return testsupport::BackendName(info.param); });

// A kept SQLite connection must not outlive its file: a deleted database is named
// as missing, a replaced one is read afresh.
void WriteTable(const QString& file, const QString& name) {
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("writer"));
        db.setDatabaseName(file);
        ASSERT_TRUE(db.open());
        QSqlQuery(db).exec(QStringLiteral("CREATE TABLE T (ID INTEGER NOT NULL, NAME VARCHAR(50) NULL)"));
        QSqlQuery(db).exec(QStringLiteral("INSERT INTO T (ID, NAME) VALUES (1, '%1')").arg(name));
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("writer"));
}

void RemoveDatabase(const QString& file) {
    for (const char* suffix : {"", "-wal", "-shm"}) QFile::remove(file + QLatin1String(suffix));
}

TEST(PoolSqlite, ADeletedOrReplacedFileIsNotServedFromAKeptConnection) {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("app.db"));
    const QString text = QStringLiteral("Provider=SQLite;Database=") + file;
    WriteTable(file, QStringLiteral("old"));
    auto anchor = zarvik::db::OpenConnection(text);

    zarvik::db::OpenConnection(text)->Close();  // kept
    RemoveDatabase(file);
    WriteTable(file, QStringLiteral("new"));
    auto reader = zarvik::db::OpenConnection(text);
    auto rs = zarvik::db::OpenRecordset(*reader, QStringLiteral("SELECT ID, NAME FROM T"));
    EXPECT_EQ(rs->GetRows(), (QList<QVariantList>{{1}, {QStringLiteral("new")}}));
    reader->Close();  // kept

    RemoveDatabase(file);
    const component::Error e = ErrorOf([&] { zarvik::db::OpenConnection(text); });
    EXPECT_EQ(e.Number(), errnum::kDatabase);
    EXPECT_TRUE(e.Description().contains(QStringLiteral("does not exist"))) << e.what();
}

}  // namespace
