// The index build's batch readers on each backend: every row once, in batches cut by
// rows and by bytes, each value with the type the builder binds.
#include "zarvik/db/batchreader.h"

#include <gtest/gtest.h>

#include "support/sqlbackends.h"

namespace {

using testsupport::Backend;
using zarvik::db::Batch;
using zarvik::db::Value;

constexpr int kRows = 1500;

// A value as "type:text", blobs in hex.
std::string Shown(const Batch& batch, const Value& v) {
    const std::string bytes(batch.Data(v), v.size);
    switch (v.type) {
        case Value::Type::kNull:
            return "null";
        case Value::Type::kInteger:
            return "integer:" + std::to_string(v.integer);
        case Value::Type::kFloat:
            return "float:" + QString::number(v.real).toStdString();
        case Value::Type::kText:
            return "text:" + bytes;
        case Value::Type::kBlob:
            return "blob:" + QByteArray::fromStdString(bytes).toHex().toStdString();
    }
    return "?";
}

struct ValuesCase {
    Backend backend;
    const char* query;
    const char* firstRow;  // the values of DOCID 1, as Shown gives them, '|' between
};

class BatchReaderTest : public ::testing::TestWithParam<ValuesCase> {};

TEST_P(BatchReaderTest, EveryRowOnceWithItsTypes) {
    const ValuesCase& c = GetParam();
    testsupport::TestDatabase db(c.backend);
    LUMORA_REQUIRE_DATABASE(db);
    db.Exec(QStringLiteral("CREATE TABLE DOCUMENT (DOCID INTEGER PRIMARY KEY, TITLE TEXT, URL TEXT)"));
    db.Exec(QStringLiteral("INSERT INTO DOCUMENT (DOCID, TITLE, URL) SELECT 1, 'first', NULL"));
    db.Exec(QStringLiteral("WITH RECURSIVE n(x) AS (SELECT 2 UNION ALL SELECT x + 1 FROM n WHERE x < %1) "
                           "INSERT INTO DOCUMENT (DOCID, TITLE, URL) SELECT x, 'Document ' || x, 'u' FROM n")
                .arg(kRows));
    auto reader = zarvik::db::OpenBatchReader(zarvik::db::ParseConnectionText(db.ConnectionText()),
                                              QString::fromUtf8(c.query), {});
    EXPECT_EQ(reader->Count(), kRows);
    reader->Start();
    EXPECT_EQ(reader->ColumnNames().join(u',').toUpper(), QStringLiteral("DOCID,TITLE,SCORE,RAW,FLAG,URL"));
    std::vector<std::string> firstRows;
    int next = 1, batches = 0;
    Batch batch;
    for (bool more = true; more;) {
        batch.Clear();
        // Cut by rows (100) or by bytes (1,000), whichever comes first.
        more = reader->Read(batch, 100, 1000);
        ASSERT_LE(batch.rows, 100);
        batches += batch.rows > 0 ? 1 : 0;
        for (int r = 0; r < batch.rows; ++r, ++next) {
            ASSERT_EQ(Shown(batch, batch.At(r, 0)), "integer:" + std::to_string(next));
            if (next > 1) {
                ASSERT_EQ(Shown(batch, batch.At(r, 1)), "text:Document " + std::to_string(next));
            }
        }
        if (firstRows.empty() && batch.rows > 0)
            for (int col = 0; col < batch.columns; ++col) firstRows.push_back(Shown(batch, batch.At(0, col)));
    }
    EXPECT_EQ(next - 1, kRows);
    EXPECT_FALSE(reader->Stopped());
    EXPECT_GT(batches, kRows / 100);  // some batches were cut by their bytes
    std::string first;
    for (const std::string& v : firstRows) first += (first.empty() ? "" : "|") + v;
    EXPECT_EQ(first, c.firstRow);
}

INSTANTIATE_TEST_SUITE_P(
    Backends, BatchReaderTest,
    ::testing::Values(
        ValuesCase{
            Backend::SQLite,
            "SELECT DOCID, TITLE, 1.5 AS SCORE, x'00ff' AS RAW, 1 AS FLAG, URL FROM DOCUMENT ORDER BY DOCID",
            "integer:1|text:first|float:1.5|blob:00ff|integer:1|null"},
        ValuesCase{Backend::PostgreSQL,
                   "SELECT DOCID, TITLE, 1.5::float8 AS SCORE, '\\x00ff'::bytea AS RAW, true AS FLAG, URL "
                   "FROM DOCUMENT ORDER BY DOCID",
                   "integer:1|text:first|float:1.5|blob:00ff|integer:1|null"},
        ValuesCase{
            Backend::ODBC,
            "SELECT DOCID, TITLE, 1.5 AS SCORE, x'00ff' AS RAW, 1 AS FLAG, URL FROM DOCUMENT ORDER BY DOCID",
            "integer:1|text:first|float:1.5|blob:00ff|integer:1|null"}),
    [](const auto& info) { return testsupport::BackendName(info.param.backend); });

}  // namespace
