// SQL Server's own SQL, reached through ODBC: the program's statements go unchanged;
// its savepoints have no release; its ODBC driver takes one row an INSERT.
#pragma once

#include "zarvik/db/tsql.h"

namespace zarvik::db {

inline constexpr Dialect kSqlServerDialect{.rewritten = false,
                                           .multiRowInsert = false,
                                           .setSavepoint = "SAVE TRANSACTION %1",
                                           .releaseSavepoint = "",
                                           .rollbackToSavepoint = "ROLLBACK TRANSACTION %1"};

}  // namespace zarvik::db
