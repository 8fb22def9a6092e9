// SQLite's SQL as the program's statements meet it: LIMIT for TOP, ? markers,
// savepoints, many rows an INSERT.
#pragma once

#include "zarvik/db/tsql.h"

namespace zarvik::db {

inline constexpr Dialect kSqliteDialect{};

}  // namespace zarvik::db
