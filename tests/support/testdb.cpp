// Real databases for tests.
#include "support/testdb.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QUuid>
#include <stdexcept>

namespace testsupport {

bool PostgresRequired() {
    return qEnvironmentVariable("LUMORA_REQUIRE_PG") == QStringLiteral("1") ||
           !qEnvironmentVariableIsEmpty("CI");
}

QString PostgresConnectionText(const QString& databaseName) {
    const QStringList parts = qEnvironmentVariable("LUMORA_TEST_PG").split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (parts.size() < 3) return {};
    const QString& host = parts.at(0);
    const int port = parts.at(1).toInt();
    const QString& user = parts.at(2);
    {
        const QString admin = QStringLiteral("testsupport-admin-") + QUuid::createUuid().toString(QUuid::Id128);
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), admin);
        db.setHostName(host);
        db.setPort(port);
        db.setUserName(user);
        db.setDatabaseName(QStringLiteral("postgres"));
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
        .arg(host)
        .arg(port)
        .arg(databaseName, user);
}

}  // namespace testsupport
