// Physical connections kept for reuse, by connection text and thread.
#pragma once

#include <QString>
#include <memory>

#include "zarvik/db/database_p.h"

namespace zarvik::db {

// A physical connection for the text: a kept one that still reaches its database,
// or a new one. `serial` receives the order of the new Connection among those of
// the text. Raises component::Error as OpenBackend.
std::shared_ptr<PhysicalConnection> TakeConnection(const QString& connectionText, quint64& serial);

// A connection that ends with no open transaction and no state of its own goes back
// to the pool; any other is closed.
void ReturnConnection(quint64 serial, std::shared_ptr<PhysicalConnection> physical) noexcept;

}  // namespace zarvik::db
