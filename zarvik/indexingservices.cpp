// IndexingServices of the component library.
#include "zarvik/indexingservices.h"

namespace zarvik {
namespace {
const QString kSource = QStringLiteral("ZarvikIndexing.IndexingServices");
}

QString Services::GetConnectionString(const QString&, const QString&, const QString&,
                                      const component::DataSourceList&) {
    component::ThrowNotImplemented(kSource, QStringLiteral("GetConnectionString"));
}
std::unique_ptr<component::Connection> Services::OpenConnection(const QString&) {
    component::ThrowNotImplemented(kSource, QStringLiteral("OpenConnection"));
}
std::unique_ptr<component::Recordset> Services::OpenRecordset(component::Connection&, const QString&) {
    component::ThrowNotImplemented(kSource, QStringLiteral("OpenRecordset"));
}
std::unique_ptr<component::UpdatableRecordset> Services::OpenUpdatableRecordset(component::Connection&,
                                                                                const QString&) {
    component::ThrowNotImplemented(kSource, QStringLiteral("OpenUpdatableRecordset"));
}
QString Services::ResolveDataSource(const QString&, const component::DataSourceList&) {
    component::ThrowNotImplemented(kSource, QStringLiteral("ResolveDataSource"));
}
void Services::WriteEventLog(const QString&, const QString&, std::int32_t) {
    component::ThrowNotImplemented(kSource, QStringLiteral("WriteEventLog"));
}
std::shared_ptr<component::SearchEngine> Services::CreateEngine(const QString&, const QString&, bool) {
    component::ThrowNotImplemented(kSource, QStringLiteral("CreateEngine"));
}

}  // namespace zarvik
