// The rules of the user-node computation: which nodes of a catalog a user sees.
#pragma once

#include <QSet>
#include <cstdint>
#include <utility>
#include <vector>

#include "usernodes/catalogsource.h"
#include "usernodes/conversions.h"
#include "usernodes/nodeidset.h"

namespace usernodes {

// Where the rows of one user go.
class RowSink {
public:
    virtual ~RowSink() = default;
    virtual void Add(std::int32_t catalogID, std::int32_t nodeID) = 0;
};

// Which nodes of a catalog a user sees, from what the source answers. Every value is
// converted here, so a value that cannot be read fails the user whichever way the
// data was read.
class UserRules {
public:
    UserRules(CatalogSource& source, RowSink& output) : m_source(source), m_output(output) {}

    void Catalog(std::int32_t catalogID) {
        m_catalogID = catalogID;
        const std::int16_t level = ToInt16(m_source.SmallestLevel(catalogID), QStringLiteral("LEVEL"));
        if (level == 0) {
            // The whole catalog is granted; the deeper assignments do not matter.
            for (const QVariant& node : m_source.NodesOfCatalog(catalogID))
                m_output.Add(m_catalogID, ToInt32(node, QStringLiteral("NODEID")));
        } else {
            for (const QVariant& node : m_source.NodesAtLevel(catalogID, level))
                m_set.Add(ToInt32(node, QStringLiteral("NODEID")));
            for (const QVariant& node : m_source.DeeperNodes(catalogID, level))
                WalkUp(ToInt32(node, QStringLiteral("NODEID")));
            for (std::int32_t node : m_set.Keys()) {
                m_output.Add(m_catalogID, node);
                ExpandDown(node);
            }
        }
        m_set.RemoveAll();
    }

private:
    // Finds the highest assigned node on the way from a deeper assigned node up to
    // (not including) the catalog's top node. A node met twice means the parents
    // form a cycle and there is no top node: nothing is added for it.
    void WalkUp(std::int32_t deeper) {
        std::vector<std::int32_t> chain;
        QSet<std::int32_t> met;
        auto current = m_source.NodeAndParent(m_catalogID, deeper);
        while (current && !current->parent.isNull()) {
            const std::int32_t node = ToInt32(current->node, QStringLiteral("NODEID"));
            const std::int32_t parent = ToInt32(current->parent, QStringLiteral("PARENTNODEID"));
            chain.push_back(node);
            met.insert(node);
            if (met.contains(parent)) return;
            current = m_source.NodeAndParent(m_catalogID, parent);
        }
        if (!current) return;  // the node or an ancestor is missing
        const std::int32_t top = ToInt32(current->node, QStringLiteral("NODEID"));
        if (m_set.Exists(top) || chain.empty()) return;
        const std::optional<QVariant> highest = m_source.HighestAssigned(m_catalogID, chain);
        if (!highest) return;
        const std::int32_t node = ToInt32(*highest, QStringLiteral("NODEID"));
        if (!m_set.Exists(node)) m_set.Add(node);
    }

    // Breadth-first, level by level. A node already met in this expansion is not
    // expanded again, so a cycle in the parents ends the expansion.
    void ExpandDown(std::int32_t node) {
        QSet<std::int32_t> met{node};
        std::vector<std::int32_t> level{node};
        std::vector<std::int32_t> next;
        while (!level.empty()) {
            next.clear();
            for (const QVariant& value : m_source.Children(level)) {
                const std::int32_t child = ToInt32(value, QStringLiteral("NODEID"));
                if (met.contains(child)) continue;
                met.insert(child);
                next.push_back(child);
                m_output.Add(m_catalogID, child);
            }
            level.swap(next);
        }
    }

    CatalogSource& m_source;
    RowSink& m_output;
    std::int32_t m_catalogID = 0;
    NodeIdSet m_set;
};

// The rows of a user kept until the user is done: a user that fails adds nothing.
class CollectingSink final : public RowSink {
public:
    void Add(std::int32_t catalogID, std::int32_t nodeID) override { rows.emplace_back(catalogID, nodeID); }
    std::vector<std::pair<std::int32_t, std::int32_t>> rows;
};

}  // namespace usernodes
