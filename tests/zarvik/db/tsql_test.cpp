// The SQL Server dialect rewrite for SQLite and PostgreSQL.
#include "zarvik/db/tsql.h"

#include <gtest/gtest.h>

#include "zarvik/db/odbc/sqlserverdialect.h"
#include "zarvik/db/pg/pgdialect.h"
#include "zarvik/db/sqlite/sqlitedialect.h"

namespace {

using zarvik::db::kPgDialect;
using zarvik::db::kSqliteDialect;
using zarvik::db::kSqlServerDialect;
using zarvik::db::RewriteTSql;
using zarvik::db::RewriteTSqlWithParameters;

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
    EXPECT_EQ(RewriteTSql(QString::fromUtf8(c.input), kSqliteDialect).toStdString(), c.expected);
    EXPECT_EQ(RewriteTSql(QString::fromUtf8(c.input), kPgDialect).toStdString(), c.expected);
}

TEST_P(RewriteTest, SqlServerTextIsUnchanged) {
    const Case& c = GetParam();
    EXPECT_EQ(RewriteTSql(QString::fromUtf8(c.input), kSqlServerDialect).toStdString(), c.input);
}

INSTANTIATE_TEST_SUITE_P(Cases, RewriteTest, ::testing::ValuesIn(kCases), [](const auto& info) {
    std::string name;
    for (const char* p = info.param.name; *p; ++p)
        name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return name;
});

// The compared values of a WHERE clause taken out as parameters. `expected` is the
// SQLite text; PostgreSQL has $1, $2 ... where it has ?. An empty `values` means the
// statement keeps its literals and comes out as RewriteTSql gives it.
struct ParameterCase {
    const char* name;
    const char* input;
    const char* expected;
    QVariantList values;
};

const ParameterCase kParameterCases[] = {
    {"user and profile",
     "SELECT DISTINCT CATALOGID FROM CATALOGNODEBYUSER WHERE USERID=N'u1' AND ISPROFILE=0",
     "SELECT DISTINCT CATALOGID FROM CATALOGNODEBYUSER WHERE USERID=? AND ISPROFILE=?",
     {QStringLiteral("u1"), 0}},
    {"delete keeps its trailing blank",
     "DELETE FROM USERNODE WHERE USERID=N'O''Brien' ",
     "DELETE FROM USERNODE WHERE USERID=? ",
     {QStringLiteral("O'Brien")}},
    {"greater than and spaces",
     "SELECT NODEID FROM C WHERE  CATALOGID =7 AND LEVEL > 2 ",
     "SELECT NODEID FROM C WHERE  CATALOGID =? AND LEVEL > ? ",
     {7, 2}},
    {"list, top and order by",
     "SELECT TOP 1 CNU.NODEID FROM CNU, CN WHERE CNU.CATALOGID =3 AND CNU.NODEID IN (5,4) "
     "AND CNU.USERID = N'a' ORDER BY CNU.LEVEL ",
     "SELECT CNU.NODEID FROM CNU, CN WHERE CNU.CATALOGID =? AND CNU.NODEID IN (?,?) AND CNU.USERID = ? ORDER "
     "BY "
     "CNU.LEVEL LIMIT 1 ",
     {3, 5, 4, QStringLiteral("a")}},
    {"list before order by",
     "SELECT NODEID FROM CN WHERE PARENTNODEID IN (10,11) ORDER BY NODEID",
     "SELECT NODEID FROM CN WHERE PARENTNODEID IN (?,?) ORDER BY NODEID",
     {10, 11}},
    {"like takes its pattern, not its escape",
     "SELECT A FROM T WHERE B LIKE 'x!%%' ESCAPE '!'",
     "SELECT A FROM T WHERE B LIKE ? ESCAPE '!'",
     {QStringLiteral("x!%%")}},
    {"select list and order by position stay",
     "SELECT 1 AS ONE, 'x' FROM T WHERE A <= 5 ORDER BY 1",
     "SELECT 1 AS ONE, 'x' FROM T WHERE A <= ? ORDER BY 1",
     {5}},
    {"group by and having stay",
     "SELECT A FROM T WHERE B <> 'q' GROUP BY 1 HAVING COUNT(*) > 2",
     "SELECT A FROM T WHERE B <> ? GROUP BY 1 HAVING COUNT(*) > 2",
     {QStringLiteral("q")}},
    {"join condition stays",
     "SELECT A FROM T JOIN U ON U.K = 1 WHERE T.K = 2",
     "SELECT A FROM T JOIN U ON U.K = 1 WHERE T.K = ?",
     {2}},
    {"function arguments stay",
     "SELECT A FROM T WHERE SUBSTR(B, 1, 2) = 'ab' AND CONCAT(C, '-') = 'x-'",
     "SELECT A FROM T WHERE SUBSTR(B, 1, 2) = ? AND CONCAT(C, '-') = ?",
     {QStringLiteral("ab"), QStringLiteral("x-")}},
    {"type lengths stay",
     "SELECT A FROM T WHERE CAST(B AS DECIMAL(10,2)) = 5 AND CAST(C AS VARCHAR(10)) = 'x'",
     "SELECT A FROM T WHERE CAST(B AS DECIMAL(10,2)) = ? AND CAST(C AS VARCHAR(10)) = ?",
     {5, QStringLiteral("x")}},
    {"groupings and lists",
     "SELECT A FROM T WHERE (B = 1 OR (C, D) IN ((2, 3))) AND NOT (E < 4)",
     "SELECT A FROM T WHERE (B = ? OR (C, D) IN ((?, ?))) AND NOT (E < ?)",
     {1, 2, 3, 4}},
    {"like right against its pattern",
     "SELECT A FROM T WHERE B LIKE'x%'",
     "SELECT A FROM T WHERE B LIKE'x%'",
     {}},
    {"the where clause of each select of a union",
     "SELECT A FROM T WHERE B = 1 UNION SELECT A FROM U WHERE C = 'z' ORDER BY 1",
     "SELECT A FROM T WHERE B = ? UNION SELECT A FROM U WHERE C = ? ORDER BY 1",
     {1, QStringLiteral("z")}},
    {"literals of other kinds stay",
     "SELECT A FROM T WHERE R = 1.5 AND E = 1e3 AND D = .5 AND N = -4 AND X = X'AB' AND H = 0x1F",
     "SELECT A FROM T WHERE R = 1.5 AND E = 1e3 AND D = .5 AND N = -4 AND X = X'AB' AND H = 0x1F",
     {}},
    {"a number past 64 bits stays",
     "SELECT A FROM T WHERE B = 12345678901234567890",
     "SELECT A FROM T WHERE B = 12345678901234567890",
     {}},
    {"a literal right before a number or a word stays",
     "SELECT A FROM T WHERE B IN ('1'2) OR C = 'x'y",
     "SELECT A FROM T WHERE B IN ('1'2) OR C = 'x'y",
     {}},
    {"a number with a leading zero stays",
     "SELECT A FROM T WHERE B = 007 AND C = 0",
     "SELECT A FROM T WHERE B = 007 AND C = ?",
     {0}},
    {"a number beside a qualified name",
     "SELECT A FROM T WHERE T.B = 3",
     "SELECT A FROM T WHERE T.B = ?",
     {3}},
    {"a cast keeps its literal",
     "SELECT A FROM T WHERE B = '5'::int",
     "SELECT A FROM T WHERE B = '5'::int",
     {}},
    {"a quoted name and a comment are no literals",
     "SELECT A FROM T WHERE \"=1\" = 2 /* = 3 */ AND [x] = 'y' -- = 4",
     "SELECT A FROM T WHERE \"=1\" = ? /* = 3 */ AND [x] = ? -- = 4",
     {2, QStringLiteral("y")}},
    {"own markers keep every literal",
     "SELECT A FROM T WHERE B = ? AND C = 1",
     "SELECT A FROM T WHERE B = ? AND C = 1",
     {}},
    {"a named marker keeps every literal",
     "SELECT A FROM T WHERE B = :b AND C = 1",
     "SELECT A FROM T WHERE B = :b AND C = 1",
     {}},
    {"a subquery keeps every literal",
     "SELECT A FROM T WHERE B IN (SELECT B FROM U WHERE C = 1 ORDER BY 1)",
     "SELECT A FROM T WHERE B IN (SELECT B FROM U WHERE C = 1 ORDER BY 1)",
     {}},
    {"a second statement keeps every literal",
     "DELETE FROM T WHERE A = 1; DELETE FROM U WHERE A = 2",
     "DELETE FROM T WHERE A = 1; DELETE FROM U WHERE A = 2",
     {}},
    {"an update keeps every literal", "UPDATE T SET A = 1 WHERE B = 2", "UPDATE T SET A = 1 WHERE B = 2", {}},
    {"no where clause", "SELECT A FROM T ORDER BY 1", "SELECT A FROM T ORDER BY 1", {}},
    {"an unterminated literal", "SELECT A FROM T WHERE B = N'open", "SELECT A FROM T WHERE B = N'open", {}},
};

class ParameterTest : public ::testing::TestWithParam<ParameterCase> {};

TEST_P(ParameterTest, SqliteMarkers) {
    const ParameterCase& c = GetParam();
    const auto result = RewriteTSqlWithParameters(QString::fromUtf8(c.input), kSqliteDialect);
    EXPECT_EQ(result.text.toStdString(), c.expected);
    EXPECT_EQ(result.values, c.values);
    if (c.values.isEmpty()) {
        EXPECT_EQ(result.text, RewriteTSql(QString::fromUtf8(c.input), kSqliteDialect));
    }
    for (const QVariant& value : result.values)  // the types the binders know
        EXPECT_TRUE(value.typeId() == QMetaType::LongLong || value.typeId() == QMetaType::QString);
}

TEST_P(ParameterTest, PostgresNumbersItsMarkers) {
    const ParameterCase& c = GetParam();
    QString expected = QString::fromUtf8(c.expected);
    if (!c.values.isEmpty()) {
        // Each ? of the SQLite text, from the left, is $1, $2 ...
        QString numbered;
        int n = 0;
        for (QChar ch : expected)
            numbered += ch == QLatin1Char('?') ? QStringLiteral("$%1").arg(++n) : QString(ch);
        ASSERT_EQ(n, c.values.size());
        expected = numbered;
    } else {
        expected = RewriteTSql(QString::fromUtf8(c.input), kPgDialect);
    }
    const auto result = RewriteTSqlWithParameters(QString::fromUtf8(c.input), kPgDialect);
    EXPECT_EQ(result.text, expected);
    EXPECT_EQ(result.values, c.values);
}

TEST(ParameterTest, SqlServerTextIsUnchanged) {
    const QString sql = QStringLiteral("SELECT TOP 1 A FROM T WHERE B = N'x' AND C = 1");
    const auto result = RewriteTSqlWithParameters(sql, kSqlServerDialect);
    EXPECT_EQ(result.text, sql);
    EXPECT_TRUE(result.values.isEmpty());
}

TEST(ParameterTest, AVeryLongListKeepsItsLiterals) {
    QString list;
    for (int i = 0; i < 2001; ++i) list += (i ? QStringLiteral(",") : QString()) + QString::number(i);
    const QString sql = QStringLiteral("SELECT A FROM T WHERE B IN (") + list + QStringLiteral(")");
    const auto result = RewriteTSqlWithParameters(sql, kSqliteDialect);
    EXPECT_EQ(result.text, sql);
    EXPECT_TRUE(result.values.isEmpty());
    const QString shorter = QStringLiteral("SELECT A FROM T WHERE B IN (") +
                            list.section(QLatin1Char(','), 0, 1999) + QStringLiteral(")");
    EXPECT_EQ(RewriteTSqlWithParameters(shorter, kSqliteDialect).values.size(), 2000);
}

INSTANTIATE_TEST_SUITE_P(Cases, ParameterTest, ::testing::ValuesIn(kParameterCases), [](const auto& info) {
    std::string name;
    for (const char* p = info.param.name; *p; ++p)
        name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return name;
});

}  // namespace
