// IndexConfiguration over IndexConfiguration.xml.
#include "zarvik/indexconfiguration.h"

namespace zarvik {
namespace {
const QString kSource = QStringLiteral("ZarvikIndexing.IndexConfiguration");
}

void XmlIndexConfiguration::LoadFromFile(const QString&) { component::ThrowNotImplemented(kSource, QStringLiteral("LoadFromFile")); }
void XmlIndexConfiguration::LoadIndex(const QString&) { component::ThrowNotImplemented(kSource, QStringLiteral("LoadIndex")); }
component::IndexList XmlIndexConfiguration::GetIndexList() const { return {}; }
QString XmlIndexConfiguration::IndexName() const { return {}; }
QString XmlIndexConfiguration::DbSetting1() const { return {}; }
QString XmlIndexConfiguration::DbSetting2() const { return {}; }
component::DataSourceList XmlIndexConfiguration::DbDataSources() const { return {}; }
QString XmlIndexConfiguration::IndexPath() const { return {}; }
QStringList XmlIndexConfiguration::Propagations() const { return {}; }
QString XmlIndexConfiguration::IndexDataSource() const { return {}; }
QString XmlIndexConfiguration::IndexSetting1() const { return {}; }
QString XmlIndexConfiguration::IndexSetting2() const { return {}; }
QString XmlIndexConfiguration::IndexSetting3() const { return {}; }
QString XmlIndexConfiguration::IndexSetting4() const { return {}; }
QString XmlIndexConfiguration::LastBuilt() const { return {}; }
QString XmlIndexConfiguration::NumDocuments() const { return {}; }
void XmlIndexConfiguration::SetLastBuilt(const QString&) { component::ThrowNotImplemented(kSource, QStringLiteral("LastBuilt")); }
void XmlIndexConfiguration::SetNumDocuments(const QString&) { component::ThrowNotImplemented(kSource, QStringLiteral("NumDocuments")); }

}  // namespace zarvik
