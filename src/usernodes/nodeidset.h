// The node IDs a user is granted in one catalog, kept in the order they were found
// so that the rows are written in that order.
#pragma once

#include <QSet>
#include <cstdint>
#include <vector>

#include "component/error.h"

namespace usernodes {

class NodeIdSet {
public:
    // Raises component::Error (errnum::kKeyExists) when the ID is already present:
    // a node assigned twice at the same level is a fault in the catalog data.
    void Add(std::int32_t id) {
        if (m_members.contains(id))
            throw component::Error(component::errnum::kKeyExists, QStringLiteral("NodeIdSet"),
                                   QStringLiteral("This key is already associated with an element of this "
                                                  "collection (node %1)")
                                       .arg(id));
        m_members.insert(id);
        m_order.push_back(id);
    }
    bool Exists(std::int32_t id) const { return m_members.contains(id); }
    // In the order of adding.
    const std::vector<std::int32_t>& Keys() const { return m_order; }
    void RemoveAll() {
        m_members.clear();
        m_order.clear();
    }

private:
    QSet<std::int32_t> m_members;
    std::vector<std::int32_t> m_order;
};

}  // namespace usernodes
