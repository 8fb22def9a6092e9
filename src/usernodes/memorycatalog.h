// CATALOGNODE held in memory, and one user's assignments answered from it: the user-node
// computation without a round trip to the database per step.
#pragma once

#include <QString>
#include <QVariant>
#include <cstdint>
#include <vector>

#include "component/streams.h"
#include "usernodes/catalogsource.h"

namespace usernodes {

// NODEID, PARENTNODEID and CATALOGID of every node, about 20 bytes a node. A value
// that is not a whole number (NULL, or one the database would not compare equal to
// any 32-bit number) never matches a lookup; it is kept as it was read, so that
// reading it fails exactly as reading it from the database does.
class MemoryCatalog {
public:
    // Reads the rows of kQuery from the stream. Raises what the stream raises.
    void Read(component::RowStream& rows);

    static const QString kQuery;

    QVariantList NodesOfCatalog(std::int32_t catalogID) const;
    std::optional<CatalogSource::NodeRow> NodeAndParent(std::int32_t catalogID, std::int32_t nodeID) const;
    QVariantList Children(const std::vector<std::int32_t>& parents) const;

private:
    enum Kind : std::uint8_t { kNumber, kNull, kOther };
    struct Node {
        std::int32_t id;
        std::int32_t parent;
        std::int32_t catalog;
        Kind idKind;
        Kind parentKind;
        Kind catalogKind;
    };
    void Classify(const QVariant& value, std::int32_t& number, Kind& kind);
    QVariant Value(std::int32_t number, Kind kind) const;

    std::vector<Node> m_nodes;              // by catalog, then ID
    std::vector<std::uint32_t> m_byParent;  // positions in m_nodes, by parent, then ID
    std::vector<QVariant> m_others;         // values of kind kOther, by their number
};

// One user's assignments (ISPROFILE = 0), in the order the database sorted them by
// CATALOGID and LEVEL, answered together with the catalog in memory.
class MemorySource final : public CatalogSource {
public:
    explicit MemorySource(const MemoryCatalog& catalog) : m_catalog(catalog) {}
    // Starts the next user.
    void Clear() { m_rows.clear(); }
    void Add(const QVariant& catalogID, const QVariant& nodeID, const QVariant& level);

    QVariantList CatalogsOfUser() override;
    QVariant SmallestLevel(std::int32_t catalogID) override;
    QVariantList NodesOfCatalog(std::int32_t catalogID) override {
        return m_catalog.NodesOfCatalog(catalogID);
    }
    QVariantList NodesAtLevel(std::int32_t catalogID, std::int16_t level) override;
    QVariantList DeeperNodes(std::int32_t catalogID, std::int16_t level) override;
    std::optional<NodeRow> NodeAndParent(std::int32_t catalogID, std::int32_t nodeID) override {
        return m_catalog.NodeAndParent(catalogID, nodeID);
    }
    std::optional<QVariant> HighestAssigned(std::int32_t catalogID,
                                            const std::vector<std::int32_t>& chain) override;
    QVariantList Children(const std::vector<std::int32_t>& parents) override {
        return m_catalog.Children(parents);
    }

private:
    // A value as the database compares it with a number; none for NULL and for what
    // equals no number.
    struct Row {
        QVariant catalog, node, level;
        std::optional<double> catalogNumber, nodeNumber, levelNumber;
    };
    const MemoryCatalog& m_catalog;
    std::vector<Row> m_rows;
};

}  // namespace usernodes
