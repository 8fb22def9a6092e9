// Tests of the data-source lookups and the anchoring of SQLite files.
#include "zarvik/config/datasources.h"

#include <gtest/gtest.h>

namespace {

using component::DataSourceList;

const DataSourceList kSources = {
    {QStringLiteral("Primary"),
     QStringLiteral("Provider=PostgreSQL;Host=db;User=%DbSetting1%;Password=%DbSetting2%")},
    {QStringLiteral("RAdozudo"),
     QStringLiteral("Provider=ODBC;UID=%DbSetting1%;X=%DbSetting1%-%DbSetting1%")},
    {QStringLiteral("Plain"), QStringLiteral("Provider=SQLite;Database=demo/app.db")},
    {QStringLiteral("Dup"), QStringLiteral("first")},
    {QStringLiteral("Dup"), QStringLiteral("second")},
    {QString(), QStringLiteral("nameless")},
};

struct ConnectionCase {
    const char* label;
    const char* name;
    const char* setting1;
    const char* setting2;
    const char* expected;
};

class ConnectionStringTest : public testing::TestWithParam<ConnectionCase> {};

TEST_P(ConnectionStringTest, SubstitutesSettings) {
    const auto& c = GetParam();
    EXPECT_EQ(zarvik::config::ConnectionStringFor(QString::fromUtf8(c.setting1), QString::fromUtf8(c.setting2),
                                          QString::fromUtf8(c.name), kSources),
              QString::fromUtf8(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Table, ConnectionStringTest,
    testing::Values(
        ConnectionCase{"both", "Primary", "app", "secret",
                       "Provider=PostgreSQL;Host=db;User=app;Password=secret"},
        ConnectionCase{"every_occurrence", "RAdozudo", "u", "p", "Provider=ODBC;UID=u;X=u-u"},
        ConnectionCase{"no_placeholders", "Plain", "u", "p", "Provider=SQLite;Database=demo/app.db"},
        // A setting that holds a placeholder is taken literally, not substituted again.
        ConnectionCase{"placeholder_in_setting", "Primary", "%DbSetting2%", "pw",
                       "Provider=PostgreSQL;Host=db;User=%DbSetting2%;Password=pw"},
        // A password with ';' cannot add a key of its own.
        ConnectionCase{"semicolon_braced", "Primary", "app", "a;Database=evil",
                       "Provider=PostgreSQL;Host=db;User=app;Password={a;Database=evil}"},
        ConnectionCase{"brace_doubled", "Primary", "app", "{x};y",
                       "Provider=PostgreSQL;Host=db;User=app;Password={{x}};y}"},
        ConnectionCase{"blanks_braced", "Primary", " app", "p",
                       "Provider=PostgreSQL;Host=db;User={ app};Password=p"},
        // Inside a longer value nothing is braced.
        ConnectionCase{"part_of_value", "RAdozudo", "a;b", "p", "Provider=ODBC;UID={a;b};X=a;b-a;b"},
        ConnectionCase{"empty_settings", "Primary", "", "", "Provider=PostgreSQL;Host=db;User=;Password="},
        ConnectionCase{"duplicate_first_wins", "Dup", "u", "p", "first"},
        ConnectionCase{"unknown_name", "Secondary", "u", "p", ""},
        ConnectionCase{"name_case_sensitive", "primary", "u", "p", ""},
        ConnectionCase{"empty_name", "", "u", "p", ""}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(DataSourceTextTest, ReturnsTextUnchanged) {
    struct Case {
        const char* name;
        const char* expected;
    };
    const Case cases[] = {
        {"Primary", "Provider=PostgreSQL;Host=db;User=%DbSetting1%;Password=%DbSetting2%"},
        {"Dup", "first"},
        {"Missing", ""},
        {"PLAIN", ""},
        {"", ""},  // not the nameless source
    };
    for (const auto& c : cases) {
        EXPECT_EQ(zarvik::config::DataSourceText(QString::fromUtf8(c.name), kSources), QString::fromUtf8(c.expected))
            << c.name;
    }
    EXPECT_TRUE(zarvik::config::DataSourceText(QStringLiteral("Primary"), {}).isEmpty());
}

TEST(AnchorSqliteDatabaseTest, MakesRelativeSqliteFilesAbsolute) {
    struct Case {
        const char* text;
        const char* expected;
    };
    const Case cases[] = {
        {"Provider=SQLite;Database=demo/app.db", "Provider=SQLite;Database=/cfg/demo/app.db"},
        {"Database=app.db", "Database=/cfg/app.db"},
        {"provider=sqlite; database = ../data/app.db ;Mode=ro",
         "provider=sqlite; database = /data/app.db ;Mode=ro"},
        {"Provider=SQLite;Database={my;file.db}", "Provider=SQLite;Database={/cfg/my;file.db}"},
        {"Provider=SQLite;Database=/abs/app.db", "Provider=SQLite;Database=/abs/app.db"},
        {"Provider=SQLite;Database=:memory:", "Provider=SQLite;Database=:memory:"},
        {"Provider=SQLite;Database=file:app.db?mode=ro", "Provider=SQLite;Database=file:app.db?mode=ro"},
        {"Provider=SQLite;Database=", "Provider=SQLite;Database="},
        {"Provider=SQLite", "Provider=SQLite"},
        {"Provider=PostgreSQL;Host=h;Database=app", "Provider=PostgreSQL;Host=h;Database=app"},
        {"Provider=ODBC;Driver={SQLite3};Database=app.db", "Provider=ODBC;Driver={SQLite3};Database=app.db"},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(zarvik::config::AnchorSqliteDatabase(QString::fromUtf8(c.text), QStringLiteral("/cfg")),
                  QString::fromUtf8(c.expected))
            << c.text;
    }
    // A folder whose name holds ';' yields a braced value.
    EXPECT_EQ(zarvik::config::AnchorSqliteDatabase(QStringLiteral("Database=app.db"), QStringLiteral("/a;b")),
              QStringLiteral("Database={/a;b/app.db}"));
}

}  // namespace
