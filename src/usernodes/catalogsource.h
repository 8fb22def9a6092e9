// What the rules of the user-node computation ask about one user's catalog data. The
// answers are the database's values as they stand (NULL included), so that the rules
// convert them, and fail on them, in one place whichever way the data is read.
#pragma once

#include <QVariant>
#include <QVariantList>
#include <cstdint>
#include <optional>
#include <vector>

namespace usernodes {

class CatalogSource {
public:
    virtual ~CatalogSource() = default;

    // The distinct CATALOGIDs of the user's assignments (ISPROFILE = 0).
    virtual QVariantList CatalogsOfUser() = 0;
    // MIN(LEVEL) of the user's assignments in the catalog: NULL when none has a level.
    virtual QVariant SmallestLevel(std::int32_t catalogID) = 0;
    // NODEID of every node of the catalog.
    virtual QVariantList NodesOfCatalog(std::int32_t catalogID) = 0;
    // NODEID of the user's assignments in the catalog at that level.
    virtual QVariantList NodesAtLevel(std::int32_t catalogID, std::int16_t level) = 0;
    // NODEID of the user's assignments in the catalog below that level.
    virtual QVariantList DeeperNodes(std::int32_t catalogID, std::int16_t level) = 0;
    // The catalog's node of that ID (its NODEID and PARENTNODEID), if there is one.
    struct NodeRow {
        QVariant node;
        QVariant parent;
    };
    virtual std::optional<NodeRow> NodeAndParent(std::int32_t catalogID, std::int32_t nodeID) = 0;
    // The NODEID of the user's assignment in the catalog among the chain that has the
    // smallest LEVEL (in the database's order of LEVEL), if any.
    virtual std::optional<QVariant> HighestAssigned(std::int32_t catalogID,
                                                    const std::vector<std::int32_t>& chain) = 0;
    // NODEID of every node, of any catalog, whose PARENTNODEID is one of the parents.
    virtual QVariantList Children(const std::vector<std::int32_t>& parents) = 0;
};

}  // namespace usernodes
