// The SQL Server dialect rewrite for SQLite and PostgreSQL.
#include "zarvik/tsql.h"

#include <gtest/gtest.h>

namespace {

using zarvik::db::Dialect;
using zarvik::db::RewriteTSql;

struct Case {
    const char* name;
    const char* input;
    const char* expected;  // for both SQLite and PostgreSQL
};

const Case kCases[] = {
    {"top at the end", "SELECT TOP 1 A FROM T", "SELECT A FROM T LIMIT 1"},
    {"top with order by and trailing blank",
     "SELECT TOP 1 CNU.NODEID AS NODEID, CN.NODENAME AS NODENAME  FROM CATALOGNODEBYUSER CNU, CATALOGNODE CN "
     "WHERE  "
     "CNU.CATALOGID =7 AND CNU.NODEID IN (5,4) ",
     "SELECT CNU.NODEID AS NODEID, CN.NODENAME AS NODENAME  FROM CATALOGNODEBYUSER CNU, CATALOGNODE CN WHERE "
     " "
     "CNU.CATALOGID =7 AND CNU.NODEID IN (5,4) LIMIT 1 "},
    {"order by last", "SELECT TOP 10 A FROM T ORDER BY A DESC", "SELECT A FROM T ORDER BY A DESC LIMIT 10"},
    {"lower case and parenthesised count", "select top (3) a from t", "select a from t LIMIT 3"},
    {"distinct", "SELECT DISTINCT TOP 2 A FROM T ORDER BY A", "SELECT DISTINCT A FROM T ORDER BY A LIMIT 2"},
    {"subquery gets its own limit",
     "SELECT A FROM T WHERE B IN (SELECT TOP 1 B FROM U ORDER BY C) ORDER BY A",
     "SELECT A FROM T WHERE B IN (SELECT B FROM U ORDER BY C LIMIT 1) ORDER BY A"},
    {"outer and inner", "SELECT TOP 5 A FROM (SELECT TOP 1 A FROM T) X",
     "SELECT A FROM (SELECT A FROM T LIMIT 1) X LIMIT 5"},
    {"semicolon ends the statement", "SELECT TOP 1 A FROM T; SELECT 2", "SELECT A FROM T LIMIT 1; SELECT 2"},
    {"limit before a trailing comment", "SELECT TOP 1 A FROM T -- first", "SELECT A FROM T LIMIT 1 -- first"},
    {"top inside a literal stays", "SELECT A FROM T WHERE B = 'SELECT TOP 1 x'",
     "SELECT A FROM T WHERE B = 'SELECT TOP 1 x'"},
    {"top inside a quoted name stays", "SELECT \"TOP 1\" FROM [SELECT TOP 2]",
     "SELECT \"TOP 1\" FROM [SELECT TOP 2]"},
    {"top inside a comment stays", "SELECT A /* SELECT TOP 1 */ FROM T",
     "SELECT A /* SELECT TOP 1 */ FROM T"},
    {"a column named TOP is not a count", "SELECT TOP FROM T", "SELECT TOP FROM T"},
    {"words that contain TOP", "SELECT STOP, TOPS FROM T", "SELECT STOP, TOPS FROM T"},
    {"percent has no limit form", "SELECT TOP 10 PERCENT A FROM T", "SELECT TOP 10 PERCENT A FROM T"},
    {"national literal", "SELECT A FROM T WHERE U=N'abc' AND V = n'x'",
     "SELECT A FROM T WHERE U='abc' AND V = 'x'"},
    {"national literal with doubled apostrophes", "DELETE FROM USERNODE WHERE USERID=N'O''Brien N''x' ",
     "DELETE FROM USERNODE WHERE USERID='O''Brien N''x' "},
    {"N' inside a literal stays", "SELECT 'it''s N''a'' and N''b''' FROM T",
     "SELECT 'it''s N''a'' and N''b''' FROM T"},
    {"a literal that holds TOP 1 and N'", "SELECT TOP 1 A FROM T WHERE U = N'x'' TOP 1 N''y' ORDER BY A",
     "SELECT A FROM T WHERE U = 'x'' TOP 1 N''y' ORDER BY A LIMIT 1"},
    {"backslash is an ordinary character", "SELECT A FROM T WHERE U=N'a\\' AND V=N'b'",
     "SELECT A FROM T WHERE U='a\\' AND V='b'"},
    {"identifier ending in N is not a prefix", "SELECT COLUMN'x' FROM T", "SELECT COLUMN'x' FROM T"},
    {"N right behind a literal keeps the two apart", "SELECT 'a'N'b', N'c'", "SELECT 'a' 'b', 'c'"},
    {"unterminated literal is left alone", "SELECT TOP 1 A FROM T WHERE U = N'open",
     "SELECT TOP 1 A FROM T WHERE U = N'open"},
};

class RewriteTest : public ::testing::TestWithParam<Case> {};

TEST_P(RewriteTest, SqliteAndPostgres) {
    const Case& c = GetParam();
    EXPECT_EQ(RewriteTSql(QString::fromUtf8(c.input), Dialect::SQLite).toStdString(), c.expected);
    EXPECT_EQ(RewriteTSql(QString::fromUtf8(c.input), Dialect::PostgreSQL).toStdString(), c.expected);
}

TEST_P(RewriteTest, SqlServerTextIsUnchanged) {
    const Case& c = GetParam();
    EXPECT_EQ(RewriteTSql(QString::fromUtf8(c.input), Dialect::SqlServer).toStdString(), c.input);
}

INSTANTIATE_TEST_SUITE_P(Cases, RewriteTest, ::testing::ValuesIn(kCases), [](const auto& info) {
    std::string name;
    for (const char* p = info.param.name; *p; ++p)
        name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return name;
});

}  // namespace
