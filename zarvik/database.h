// Database access over Qt SQL, in the shape the user-node computation relies on.
#pragma once

#include "component/interfaces.h"

#include <memory>

namespace zarvik::db {
std::unique_ptr<component::Connection> OpenConnection(const QString& connectionText);
std::unique_ptr<component::Recordset> OpenRecordset(component::Connection& connection, const QString& sql);
std::unique_ptr<component::UpdatableRecordset> OpenUpdatableRecordset(component::Connection& connection,
                                                                      const QString& sql);
}  // namespace zarvik::db
