// Database access over Qt SQL.
#include "zarvik/database.h"

namespace zarvik::db {
namespace {
const QString kSource = QStringLiteral("ZarvikIndexing.IndexingServices");
}

std::unique_ptr<component::Connection> OpenConnection(const QString&) {
    component::ThrowNotImplemented(kSource, QStringLiteral("OpenConnection"));
}
std::unique_ptr<component::Recordset> OpenRecordset(component::Connection&, const QString&) {
    component::ThrowNotImplemented(kSource, QStringLiteral("OpenRecordset"));
}
std::unique_ptr<component::UpdatableRecordset> OpenUpdatableRecordset(component::Connection&, const QString&) {
    component::ThrowNotImplemented(kSource, QStringLiteral("OpenUpdatableRecordset"));
}

}  // namespace zarvik::db
