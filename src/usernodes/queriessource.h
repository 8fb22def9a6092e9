// The catalog read by one query per step for one user, and the user's rows written
// through an updatable recordset.
#pragma once

#include <optional>
#include <vector>

#include "component/dataaccess.h"
#include "component/services.h"
#include "usernodes/catalogsource.h"
#include "usernodes/rules.h"
#include "usernodes/runsupport.h"
#include "usernodes/statements.h"

namespace usernodes {

class QueriesSource final : public CatalogSource {
public:
    QueriesSource(component::IndexingServices& services, component::Connection& read, QString userID)
        : m_services(services), m_read(read), m_userID(std::move(userID)) {}

    QVariantList CatalogsOfUser() override { return WholeColumn(SelectCatalogsOfUser(m_userID)); }
    QVariant SmallestLevel(std::int32_t catalogID) override {
        // One row always: no test for the end.
        return Open(SelectSmallestLevel(catalogID, m_userID))->Field(QStringLiteral("LEVEL"));
    }
    QVariantList NodesOfCatalog(std::int32_t catalogID) override {
        return WholeColumn(SelectNodesOfCatalog(catalogID));
    }
    QVariantList NodesAtLevel(std::int32_t catalogID, std::int16_t level) override {
        QVariantList nodes;
        auto rs = Open(SelectAssignedNodesAtLevel(catalogID, m_userID, level));
        while (!rs->IsEOF()) {
            nodes.append(rs->Field(QStringLiteral("NODEID")));
            rs->MoveNext();
        }
        return nodes;
    }
    QVariantList DeeperNodes(std::int32_t catalogID, std::int16_t level) override {
        return WholeColumn(SelectAssignedNodesBelowLevel(catalogID, m_userID, level));
    }
    std::optional<NodeRow> NodeAndParent(std::int32_t catalogID, std::int32_t nodeID) override {
        auto rs = Open(SelectNodeAndParent(catalogID, nodeID));
        if (rs->IsEOF()) return std::nullopt;
        return NodeRow{rs->Field(QStringLiteral("NODEID")), rs->Field(QStringLiteral("PARENTNODEID"))};
    }
    std::optional<QVariant> HighestAssigned(std::int32_t catalogID,
                                            const std::vector<std::int32_t>& chain) override {
        auto rs = Open(SelectHighestAssignedInChain(catalogID, Joined(chain), m_userID));
        if (rs->IsEOF()) return std::nullopt;
        return rs->Field(QStringLiteral("NODEID"));
    }
    QVariantList Children(const std::vector<std::int32_t>& parents) override {
        QVariantList children;
        auto rs = Open(SelectChildren(Joined(parents)));
        if (!(rs->IsBOF() && rs->IsEOF())) rs->MoveFirst();
        while (!rs->IsEOF()) {
            children.append(rs->Field(QStringLiteral("NODEID")));
            rs->MoveNext();
        }
        return children;
    }

private:
    std::unique_ptr<component::Recordset> Open(const QString& sql) {
        auto rs = m_services.OpenRecordset(m_read, sql);
        Require(rs, QStringLiteral("The query"));
        return rs;
    }

    // Column 0 of a whole result; an empty result asks for no rows at all.
    QVariantList WholeColumn(const QString& sql) {
        auto rs = Open(sql);
        if (rs->IsBOF() && rs->IsEOF()) return {};
        QList<QVariantList> rows = rs->GetRows();
        return rows.isEmpty() ? QVariantList() : rows.first();
    }

    component::IndexingServices& m_services;
    component::Connection& m_read;
    const QString m_userID;
};

// The rows of a user as the batch of the output recordset.
class RecordsetSink final : public RowSink {
public:
    RecordsetSink(component::UpdatableRecordset& output, QString userID)
        : m_output(output), m_userID(std::move(userID)) {}
    void Add(std::int32_t catalogID, std::int32_t nodeID) override {
        m_output.AddNew();
        m_output.SetField(QStringLiteral("CATALOGID"), QVariant(catalogID));
        m_output.SetField(QStringLiteral("USERID"), QVariant(m_userID));
        m_output.SetField(QStringLiteral("NODEID"), QVariant(nodeID));
    }

private:
    component::UpdatableRecordset& m_output;
    const QString m_userID;
};

}  // namespace usernodes
