// A fresh database on each of the three ways the component reaches one: an SQLite
// file, the throwaway PostgreSQL server, and the SQLite file through ODBC. Beside
// the connection text for the component it keeps a direct Qt SQL handle, so that a
// test sets up and checks the data without the code under test.
#pragma once

#include <gtest/gtest.h>

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QUuid>
#include <QVariant>
#include <ostream>
#include <stdexcept>
#include <string>

#include "support/testdb.h"

namespace testsupport {

enum class Backend { SQLite, PostgreSQL, ODBC };

inline std::string BackendName(Backend backend) {
    switch (backend) {
        case Backend::SQLite:
            return "SQLite";
        case Backend::PostgreSQL:
            return "PostgreSQL";
        case Backend::ODBC:
            return "ODBC";
    }
    return "?";
}

inline void PrintTo(Backend backend, std::ostream* os) {
    *os << BackendName(backend);
}

class TestDatabase {
public:
    explicit TestDatabase(Backend backend) : m_backend(backend) {
        m_name = QStringLiteral("testdb-") + QUuid::createUuid().toString(QUuid::Id128);
        if (backend == Backend::PostgreSQL) {
            const QString database = QStringLiteral("lumora_") + QUuid::createUuid().toString(QUuid::Id128);
            m_text = PostgresConnectionText(database);
            if (m_text.isEmpty()) return;
            m_db = AddPostgresDatabase(m_name, database);
        } else {
            const QString file = m_dir.filePath(QStringLiteral("app.db"));
            m_text = backend == Backend::SQLite
                         ? QStringLiteral("Provider=SQLite;Database=") + file
                         : QStringLiteral("Provider=ODBC;DRIVER={SQLite3};Database=") + file;
            m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
            m_db.setDatabaseName(file);
            m_db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
        }
        if (!m_db.open()) throw std::runtime_error("test database: " + m_db.lastError().text().toStdString());
    }
    ~TestDatabase() {
        if (!m_db.isValid()) return;
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_name);
    }
    TestDatabase(const TestDatabase&) = delete;
    TestDatabase& operator=(const TestDatabase&) = delete;

    bool Available() const { return !m_text.isEmpty(); }
    Backend GetBackend() const { return m_backend; }
    const QString& ConnectionText() const { return m_text; }
    // For statements with bound values, which need no quoting by the test.
    QSqlDatabase& Handle() { return m_db; }

    void Exec(const QString& sql) {
        QSqlQuery query(m_db);
        if (!query.exec(sql))
            throw std::runtime_error("test setup: " + query.lastError().text().toStdString() + " in " +
                                     sql.toStdString());
    }
    // Each row as a list of values.
    QList<QVariantList> Rows(const QString& sql) {
        QSqlQuery query(m_db);
        query.setForwardOnly(true);
        if (!query.exec(sql))
            throw std::runtime_error("test check: " + query.lastError().text().toStdString() + " in " +
                                     sql.toStdString());
        QList<QVariantList> rows;
        while (query.next()) {
            QVariantList row;
            for (int c = 0; c < query.record().count(); ++c) row.append(query.value(c));
            rows.append(row);
        }
        return rows;
    }

private:
    Backend m_backend;
    QTemporaryDir m_dir;
    QString m_name;
    QString m_text;
    QSqlDatabase m_db;
};

}  // namespace testsupport

// In SetUp or a test body: without the PostgreSQL server the test fails when the
// suite must have it, and is skipped otherwise.
#define LUMORA_REQUIRE_DATABASE(db)                                                                      \
    do {                                                                                                 \
        if (!(db).Available()) {                                                                         \
            if (testsupport::PostgresRequired()) FAIL() << "no test PostgreSQL server (LUMORA_TEST_PG)"; \
            GTEST_SKIP() << "no test PostgreSQL server (LUMORA_TEST_PG not set)";                        \
        }                                                                                                \
    } while (false)
