// The table layouts the package ships, loaded into each database they are written for,
// with the example's rows: the shipped example's document query reads them, and the
// user-node run rewrites USERNODE from them.
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "component/factory.h"
#include "support/sqlbackends.h"
#include "usernodes/usernodes.h"
#include "zarvik/config/indexconfiguration.h"
#include "zarvik/factory.h"

namespace {

using testsupport::Backend;

QByteArray ReadExample(const char* name) {
    QFile file(QStringLiteral(LUMORA_EXAMPLE_DIR "/") + QLatin1String(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The statements of an SQL file: its lines without "--" comments, split at ';'.
QStringList Statements(const QByteArray& file) {
    QString text;
    for (const QString& line : QString::fromUtf8(file).split(u'\n'))
        if (!line.trimmed().startsWith(QLatin1String("--"))) text += line + u'\n';
    QStringList statements;
    for (const QString& statement : text.split(u';'))
        if (!statement.trimmed().isEmpty()) statements << statement.trimmed();
    return statements;
}

class SchemaTest : public testing::TestWithParam<Backend> {};

TEST_P(SchemaTest, TheExampleBuildsFromTheShippedLayout) {
    testsupport::TestDatabase db(GetParam());
    LUMORA_REQUIRE_DATABASE(db);
    const char* schema = GetParam() == Backend::SQLite ? "schema-sqlite.sql" : "schema-postgresql.sql";
    const QStringList statements =
        Statements(ReadExample(schema)) + Statements(ReadExample("example-data.sql"));
    ASSERT_GT(statements.size(), 6) << schema;
    for (const QString& statement : statements) db.Exec(statement);

    // The shipped example, with its database replaced by this one.
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QByteArray example = ReadExample("IndexConfiguration.xml");
    ASSERT_GT(example.count("Provider=SQLite;Database=/var/lib/lumora-index-manager/example/app.db"), 1);
    example.replace("Provider=SQLite;Database=/var/lib/lumora-index-manager/example/app.db",
                    db.ConnectionText().toUtf8());
    QFile file(dir.filePath(QStringLiteral("IndexConfiguration.xml")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(example) == example.size());
    file.close();
    zarvik::config::XmlIndexConfiguration configuration;
    configuration.LoadFromFile(file.fileName());
    configuration.LoadIndex(QStringLiteral("catalog"));

    EXPECT_EQ(db.Rows(configuration.Settings().query).size(), 5);
    component::InstallFactory(zarvik::NewComponentFactory());
    int aborts = 0;
    usernodes::UserNodeRun run(
        usernodes::ReadRunSettings(configuration, *component::Factory().NewIndexingServices()),
        [&] { ++aborts; });
    EXPECT_TRUE(run.PopulateAllUserNodes());
    EXPECT_EQ(aborts, 0);
    EXPECT_EQ(run.UsersRewritten(), 2);
    // admin: both catalogs whole (8 nodes); alice: Hardware with Laptops, and North.
    QStringList rows;
    for (const QVariantList& r : db.Rows(QStringLiteral("SELECT USERID, NODEID FROM USERNODE ORDER BY 1, 2")))
        rows << r[0].toString() + u'/' + r[1].toString();
    EXPECT_EQ(rows, QStringList({"admin/100", "admin/110", "admin/111", "admin/120", "admin/121", "admin/200",
                                 "admin/210", "admin/220", "alice/110", "alice/111", "alice/210"}));
}

INSTANTIATE_TEST_SUITE_P(Databases, SchemaTest, testing::Values(Backend::SQLite, Backend::PostgreSQL),
                         [](const auto& info) { return testsupport::BackendName(info.param); });

}  // namespace
