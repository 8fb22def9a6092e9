// A fresh database on each backend holding the two small tables the data-layer tests
// read and write: T (ID, NAME) with three rows, one NAME NULL, and the empty B (ID,
// NAME, TAG with a default) for batches.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "support/sqlbackends.h"
#include "zarvik/db/database.h"

namespace testsupport {

class TablesTest : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        m_db = std::make_unique<TestDatabase>(GetParam());
        LUMORA_REQUIRE_DATABASE(*m_db);
        m_db->Exec(QStringLiteral("CREATE TABLE T (ID INTEGER NOT NULL, NAME VARCHAR(50) NULL)"));
        m_db->Exec(QStringLiteral("INSERT INTO T (ID, NAME) VALUES (1, 'a'), (2, 'b'), (3, NULL)"));
        m_db->Exec(
            QStringLiteral("CREATE TABLE B (ID INTEGER NOT NULL, NAME VARCHAR(50) NULL, TAG VARCHAR(20) "
                           "DEFAULT 'default')"));
    }
    std::unique_ptr<component::Connection> Open() { return zarvik::db::OpenConnection(m_db->ConnectionText()); }

    std::unique_ptr<TestDatabase> m_db;
};

}  // namespace testsupport
