// A configuration that holds only what a user-node run reads: the two database
// settings and the data sources. Everything else is empty or not implemented.
#pragma once

#include <QStringList>

#include "component/configuration.h"

namespace testsupport {

class DataSourceConfiguration final : public component::IndexConfiguration {
public:
    component::DataSourceList sources;
    QString setting1;
    QString setting2;
    QStringList* order = nullptr;  // when set, the settings read, in order
    component::UserNodeMethod method = component::UserNodeMethod::Queries;

    void LoadFromFile(const QString&) override {
        component::ThrowNotImplemented(kSource, QStringLiteral("LoadFromFile"));
    }
    void LoadIndex(const QString&) override {
        component::ThrowNotImplemented(kSource, QStringLiteral("LoadIndex"));
    }
    component::IndexList GetIndexList() const override { return {}; }
    QString IndexName() const override { return QStringLiteral("catalog"); }
    QString DbSetting1() const override { return Note(QStringLiteral("DbSetting1"), setting1); }
    QString DbSetting2() const override { return Note(QStringLiteral("DbSetting2"), setting2); }
    component::DataSourceList DbDataSources() const override {
        Note(QStringLiteral("DbDataSources"), {});
        return sources;
    }
    QString IndexPath() const override { return {}; }
    QString IndexDataSource() const override { return {}; }
    QString LastBuilt() const override { return {}; }
    QString NumDocuments() const override { return {}; }
    component::IndexSettings Settings() const override {
        component::IndexSettings settings;
        settings.userNodeMethod = method;
        return settings;
    }
    component::UserNodeMethod GetUserNodeMethod() const override { return method; }
    void SetLastBuilt(const QString&) override {
        component::ThrowNotImplemented(kSource, QStringLiteral("SetLastBuilt"));
    }
    void SetNumDocuments(const QString&) override {
        component::ThrowNotImplemented(kSource, QStringLiteral("SetNumDocuments"));
    }
    QString MetricsDirectory() const override { return {}; }

private:
    QString Note(const QString& property, const QString& value) const {
        if (order) order->append(property);
        return value;
    }
    inline static const QString kSource = QStringLiteral("DataSourceConfiguration");
};

}  // namespace testsupport
