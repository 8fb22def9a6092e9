// Tests of the data-source lookups and the anchoring of SQLite files.
#include "zarvik/config/datasources.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "zarvik/config/indexconfiguration.h"
#include "zarvik/db/batchreader.h"
#include "zarvik/db/database.h"

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
        const char* expected;  // null: the text is refused, as the data layer refuses it
    };
    const Case cases[] = {
        {"Provider=SQLite;Database=demo/app.db", "Provider=SQLite;Database=/cfg/demo/app.db"},
        {"Provider=SQLite;Database=one.db;Database=two.db",
         "Provider=SQLite;Database=one.db;Database=/cfg/two.db"},
        {"Provider=SQLite;Database=app.db;ReadOnly", nullptr},
        {"Provider=Oracle;Database=app.db", nullptr},
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
        if (c.expected) {
            EXPECT_EQ(zarvik::config::AnchorSqliteDatabase(QString::fromUtf8(c.text), QStringLiteral("/cfg")),
                      QString::fromUtf8(c.expected))
                << c.text;
        } else {
            EXPECT_THROW(zarvik::config::AnchorSqliteDatabase(QString::fromUtf8(c.text), QStringLiteral("/cfg")),
                         component::Error)
                << c.text;
        }
    }
    // A folder whose name holds ';' yields a braced value.
    EXPECT_EQ(zarvik::config::AnchorSqliteDatabase(QStringLiteral("Database=app.db"), QStringLiteral("/a;b")),
              QStringLiteral("Database={/a;b/app.db}"));
}

// An SQLite file that says where it lies.
void WriteMarkedDatabase(const QString& file, const char* where) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(file).constData(), &db), SQLITE_OK);
    const std::string sql =
        std::string("CREATE TABLE marker(v TEXT); INSERT INTO marker VALUES('") + where + "')";
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
}

// A relative file of a data source is the configuration's folder's, whatever the working
// directory and the program's folder are, for the data-source lookups and the document
// reader alike; a relative file that did not come through the configuration is refused.
TEST(RelativeSqliteFileTest, IsTakenFromTheConfigurationsFolderOnly) {
    QTemporaryDir configFolder, workingFolder;
    ASSERT_TRUE(configFolder.isValid() && workingFolder.isValid());
    const QString config = configFolder.path(), working = workingFolder.path();
    ASSERT_NE(QDir(config), QDir(QCoreApplication::applicationDirPath()));
    ASSERT_TRUE(QDir(config).mkdir(QStringLiteral("sub")));
    WriteMarkedDatabase(config + QStringLiteral("/app.db"), "configuration");
    WriteMarkedDatabase(config + QStringLiteral("/sub/app.db"), "configuration/sub");
    WriteMarkedDatabase(working + QStringLiteral("/app.db"), "working");
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(working));
    struct Case {
        QString text;
        bool throughConfiguration;
        const char* opens;  // the marker read; null: refused
    };
    const Case cases[] = {
        {QStringLiteral("Provider=SQLite;Database=app.db"), true, "configuration"},
        {QStringLiteral("Database=sub/app.db"), true, "configuration/sub"},
        {QStringLiteral("Provider=SQLite;Database=sub/../app.db"), true, "configuration"},
        {QStringLiteral("Provider=SQLite;Database=") + working + QStringLiteral("/app.db"), true, "working"},
        {QStringLiteral("Provider=SQLite;Database=app.db"), false, nullptr},
    };
    for (const Case& c : cases) {
        QString text = c.text;
        if (c.throughConfiguration) {
            QFile file(config + QStringLiteral("/IndexConfiguration.xml"));
            ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(
                QStringLiteral("<IndexConfiguration><Index name='i'><IndexPath>idx</IndexPath><DbDataSources>"
                               "<DataSource name='Primary'>%1</DataSource></DbDataSources></Index>"
                               "</IndexConfiguration>")
                    .arg(text)
                    .toUtf8());
            file.close();
            zarvik::config::XmlIndexConfiguration configuration;
            configuration.LoadFromFile(file.fileName());
            configuration.LoadIndex(QStringLiteral("i"));
            text = zarvik::config::DataSourceText(QStringLiteral("Primary"), configuration.DbDataSources());
        }
        const QString query = QStringLiteral("SELECT v FROM marker");
        try {
            auto connection = zarvik::db::OpenConnection(text);
            const auto rows = zarvik::db::OpenRecordset(*connection, query)->GetRows();
            auto reader = zarvik::db::OpenBatchReader(zarvik::db::ParseConnectionText(text), query, {});
            reader->Start();
            zarvik::db::Batch batch;
            reader->Read(batch, 10, 1024);
            connection->Close();
            ASSERT_TRUE(c.opens) << text.toStdString() << " opened";
            EXPECT_EQ(rows.value(0).value(0).toString(), QString::fromUtf8(c.opens)) << text.toStdString();
            ASSERT_EQ(batch.rows, 1) << text.toStdString();
            EXPECT_EQ(std::string(batch.Data(batch.At(0, 0)), batch.At(0, 0).size), c.opens);
        } catch (const component::Error& e) {
            EXPECT_FALSE(c.opens) << text.toStdString() << ": " << e.Description().toStdString();
        }
    }
    QDir::setCurrent(previous);
}

}  // namespace
