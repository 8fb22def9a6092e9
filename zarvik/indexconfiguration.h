// IndexConfiguration over IndexConfiguration.xml.
#pragma once

#include "component/interfaces.h"

namespace zarvik {

class XmlIndexConfiguration final : public component::IndexConfiguration {
public:
    void LoadFromFile(const QString& path) override;
    void LoadIndex(const QString& name) override;
    component::IndexList GetIndexList() const override;
    QString IndexName() const override;
    QString DbSetting1() const override;
    QString DbSetting2() const override;
    component::DataSourceList DbDataSources() const override;
    QString IndexPath() const override;
    QStringList Propagations() const override;
    QString IndexDataSource() const override;
    QString IndexSetting1() const override;
    QString IndexSetting2() const override;
    QString IndexSetting3() const override;
    QString IndexSetting4() const override;
    QString LastBuilt() const override;
    QString NumDocuments() const override;
    void SetLastBuilt(const QString& value) override;
    void SetNumDocuments(const QString& value) override;
};

}  // namespace zarvik
