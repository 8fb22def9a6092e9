// Reading connection texts.
#include "zarvik/db/connectiontext.h"

#include <gtest/gtest.h>

namespace {

using zarvik::db::ParseConnectionText;
using zarvik::db::Provider;

struct Case {
    const char* text;
    Provider provider;
    std::vector<std::pair<const char*, const char*>> values;  // for SQLite and PostgreSQL
    const char* odbcText;                                     // for ODBC
};

const Case kCases[] = {
    {"Database=demo/app.db", Provider::SQLite, {{"database", "demo/app.db"}}, ""},
    {"Provider=SQLite;Database=demo/app.db", Provider::SQLite, {{"database", "demo/app.db"}}, ""},
    {"provider=sqlite; DATABASE = /tmp/a b.db ;", Provider::SQLite, {{"database", "/tmp/a b.db"}}, ""},
    {"Provider=PostgreSQL;Host=127.0.0.1;Port=5432;Database=app;User=u;Password={p;w}}d}",
     Provider::PostgreSQL,
     {{"host", "127.0.0.1"}, {"port", "5432"}, {"database", "app"}, {"user", "u"}, {"password", "p;w}d"}},
     ""},
    {"Provider=PostgreSQL;;Password=;User=x", Provider::PostgreSQL, {{"password", ""}, {"user", "x"}}, ""},
    {"Provider=ODBC;Driver={ODBC Driver 18 for SQL Server};Server=db;UID=a;PWD={x;y}",
     Provider::ODBC,
     {},
     "Driver={ODBC Driver 18 for SQL Server};Server=db;UID=a;PWD={x;y}"},
    {"PROVIDER=odbc;DRIVER={SQLite3};Database=/tmp/x.db",
     Provider::ODBC,
     {},
     "DRIVER={SQLite3};Database=/tmp/x.db"},
    // The ODBC part is passed on as it is, even where our own rules would reject it.
    {"Provider=ODBC;DSN=weird;junk without equals", Provider::ODBC, {}, "DSN=weird;junk without equals"},
    // A Provider pair that is not first is taken out, the rest kept in order.
    {"Driver={SQLite3};Provider=ODBC;Database=/tmp/x.db",
     Provider::ODBC,
     {},
     "Driver={SQLite3};Database=/tmp/x.db"},
};

class ConnectionTextTest : public ::testing::TestWithParam<Case> {};

TEST_P(ConnectionTextTest, Parses) {
    const Case& c = GetParam();
    const auto parsed = ParseConnectionText(QString::fromUtf8(c.text));
    EXPECT_EQ(parsed.provider, c.provider);
    if (c.provider == Provider::ODBC) {
        EXPECT_EQ(parsed.odbcText.toStdString(), c.odbcText);
        return;
    }
    EXPECT_EQ(parsed.values.size(), static_cast<qsizetype>(c.values.size()));
    for (const auto& [key, value] : c.values) {
        EXPECT_TRUE(parsed.values.contains(QString::fromUtf8(key))) << key;
        EXPECT_EQ(parsed.Value(QString::fromUtf8(key).toUpper()).toStdString(), value) << key;
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, ConnectionTextTest, ::testing::ValuesIn(kCases));

TEST(ConnectionTextErrors, MalformedTextsRaiseWithoutShowingTheText) {
    const char* const bad[] = {
        "Provider=Oracle;Database=x",
        "Provider=SQLite;Database",
        "Provider=SQLite;=x",
        "Provider=PostgreSQL;Password={secret;Host=h",
        "Provider=PostgreSQL;Password={secret}x;Host=h",
        "Password={secret;Provider=ODBC",
    };
    for (const char* text : bad) {
        try {
            ParseConnectionText(QString::fromUtf8(text));
            ADD_FAILURE() << "no error for " << text;
        } catch (const component::Error& e) {
            EXPECT_EQ(e.Number(), component::errnum::kDatabase) << text;
            EXPECT_FALSE(e.Description().contains(QStringLiteral("secret"))) << e.what();
        }
    }
}

}  // namespace
