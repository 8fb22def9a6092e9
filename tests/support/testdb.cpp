// Real databases for tests.
#include "support/testdb.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QUuid>
#include <optional>
#include <stdexcept>

namespace testsupport {

bool PostgresRequired() {
    return qEnvironmentVariable("LUMORA_REQUIRE_PG") == QStringLiteral("1") ||
           !qEnvironmentVariableIsEmpty("CI");
}

namespace {
// LUMORA_TEST_PG: "host port user".
struct TestServer {
    QString host;
    int port = 0;
    QString user;
};
std::optional<TestServer> TestServerOf() {
    const QStringList parts = qEnvironmentVariable("LUMORA_TEST_PG").split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (parts.size() < 3) return std::nullopt;
    return TestServer{parts.at(0), parts.at(1).toInt(), parts.at(2)};
}
}  // namespace

QSqlDatabase AddPostgresDatabase(const QString& connectionName, const QString& databaseName) {
    const std::optional<TestServer> server = TestServerOf();
    if (!server) return {};
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connectionName);
    db.setHostName(server->host);
    db.setPort(server->port);
    db.setUserName(server->user);
    db.setDatabaseName(databaseName);
    return db;
}

QString PostgresConnectionText(const QString& databaseName) {
    const std::optional<TestServer> server = TestServerOf();
    if (!server) return {};
    {
        const QString admin = QStringLiteral("testsupport-admin-") + QUuid::createUuid().toString(QUuid::Id128);
        QSqlDatabase db = AddPostgresDatabase(admin, QStringLiteral("postgres"));
        if (!db.open()) throw std::runtime_error("test PostgreSQL server: " + db.lastError().text().toStdString());
        QSqlQuery q(db);
        q.exec(QStringLiteral("DROP DATABASE IF EXISTS \"%1\" WITH (FORCE)").arg(databaseName));
        if (!q.exec(QStringLiteral("CREATE DATABASE \"%1\"").arg(databaseName)))
            throw std::runtime_error("CREATE DATABASE: " + q.lastError().text().toStdString());
        q = QSqlQuery();
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(admin);
    }
    return QStringLiteral("Provider=PostgreSQL;Host=%1;Port=%2;Database=%3;User=%4")
        .arg(server->host)
        .arg(server->port)
        .arg(databaseName, server->user);
}

}  // namespace testsupport
