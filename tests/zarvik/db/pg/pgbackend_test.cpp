// The PostgreSQL backend on the test server: the types values come back with, and
// statements Qt's driver would run.
#include <gtest/gtest.h>

#include <QDate>

#include "support/sqlbackends.h"
#include "zarvik/db/database.h"

namespace {

using testsupport::Backend;

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

}  // namespace
