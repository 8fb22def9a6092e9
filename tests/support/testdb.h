// Real databases for tests: temporary SQLite files and the throwaway PostgreSQL
// server that scripts/test.sh starts on loopback.
#pragma once

#include <QSqlDatabase>
#include <QString>

namespace testsupport {

// The connection text of the test PostgreSQL server for a fresh database of its
// own (created on first use), or empty when LUMORA_TEST_PG is not set.
// LUMORA_TEST_PG holds "host port user".
QString PostgresConnectionText(const QString& databaseName);
// A Qt connection named connectionName to databaseName on the test server, set up
// but not opened; an invalid one when LUMORA_TEST_PG is not set.
QSqlDatabase AddPostgresDatabase(const QString& connectionName, const QString& databaseName);
// True when the suite must have PostgreSQL (CI, or LUMORA_REQUIRE_PG=1): a test
// that finds no server then fails instead of skipping.
bool PostgresRequired();

}  // namespace testsupport
