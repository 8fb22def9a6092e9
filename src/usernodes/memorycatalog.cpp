// CATALOGNODE held in memory, and one user's assignments answered from it.
#include "usernodes/memorycatalog.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <tuple>

#include "usernodes/numberkind.h"

namespace usernodes {

const QString MemoryCatalog::kQuery =
    QStringLiteral("SELECT NODEID, PARENTNODEID, CATALOGID FROM CATALOGNODE");

namespace {

bool InInt32(double value) {
    return value >= std::numeric_limits<std::int32_t>::min() &&
           value <= std::numeric_limits<std::int32_t>::max();
}

// A value as the database compares it with a number: none for NULL and for a text
// that is no number.
std::optional<double> Numeric(const QVariant& value) {
    if (value.isNull()) return std::nullopt;
    switch (NumberKindOf(value.typeId())) {
        case NumberKind::Signed:
            return double(value.toLongLong());
        case NumberKind::Unsigned:
            return double(value.toULongLong());
        case NumberKind::Floating:
            return value.toDouble();
        case NumberKind::Boolean:  // compared as its text, which is no number
        case NumberKind::Other:
            break;
    }
    bool ok = false;
    const double number = value.toString().trimmed().toDouble(&ok);
    if (ok) return number;
    return std::nullopt;
}

}  // namespace

void MemoryCatalog::Classify(const QVariant& value, std::int32_t& number, Kind& kind) {
    if (value.isNull()) {
        kind = kNull;
        number = 0;
        return;
    }
    const std::optional<double> n = Numeric(value);
    if (n && std::isfinite(*n) && *n == std::floor(*n) && InInt32(*n)) {
        kind = kNumber;
        number = static_cast<std::int32_t>(*n);
        return;
    }
    kind = kOther;
    number = static_cast<std::int32_t>(m_others.size());
    m_others.push_back(value);
}

QVariant MemoryCatalog::Value(std::int32_t number, Kind kind) const {
    switch (kind) {
        case kNumber:
            return QVariant(number);
        case kNull:
            return QVariant();
        case kOther:
            break;
    }
    return m_others.at(std::size_t(number));
}

namespace {
// The order of the nodes: numbered catalogs first, by catalog, then numbered IDs by ID.
template <typename N>
std::tuple<bool, std::int32_t, bool, std::int32_t> CatalogKey(const N& node) {
    const bool catalogOther = node.catalogKind != 0;
    const bool idOther = node.idKind != 0;
    return {catalogOther, catalogOther ? 0 : node.catalog, idOther, idOther ? 0 : node.id};
}
}  // namespace

void MemoryCatalog::Read(component::RowStream& rows) {
    m_nodes.clear();
    m_byParent.clear();
    m_others.clear();
    QVariantList row;
    while (rows.Next(row)) {
        Node node{};
        Classify(row.value(0), node.id, node.idKind);
        Classify(row.value(1), node.parent, node.parentKind);
        Classify(row.value(2), node.catalog, node.catalogKind);
        m_nodes.push_back(node);
    }
    m_nodes.shrink_to_fit();
    std::sort(m_nodes.begin(), m_nodes.end(),
              [](const Node& a, const Node& b) { return CatalogKey(a) < CatalogKey(b); });
    for (std::size_t i = 0; i < m_nodes.size(); ++i)
        if (m_nodes[i].parentKind == kNumber) m_byParent.push_back(std::uint32_t(i));
    m_byParent.shrink_to_fit();
    std::sort(m_byParent.begin(), m_byParent.end(), [this](std::uint32_t a, std::uint32_t b) {
        const Node& x = m_nodes[a];
        const Node& y = m_nodes[b];
        return std::tuple(x.parent, x.idKind != kNumber, x.id) <
               std::tuple(y.parent, y.idKind != kNumber, y.id);
    });
}

QVariantList MemoryCatalog::NodesOfCatalog(std::int32_t catalogID) const {
    const auto range =
        std::equal_range(m_nodes.begin(), m_nodes.end(), catalogID, [](const auto& a, const auto& b) {
            // Compares a node with the catalog number, in either order.
            auto key = [](const auto& v) -> std::pair<bool, std::int32_t> {
                if constexpr (std::is_same_v<std::decay_t<decltype(v)>, Node>)
                    return {v.catalogKind != kNumber, v.catalogKind != kNumber ? 0 : v.catalog};
                else
                    return {false, v};
            };
            return key(a) < key(b);
        });
    QVariantList nodes;
    nodes.reserve(range.second - range.first);
    for (auto it = range.first; it != range.second; ++it) nodes.append(Value(it->id, it->idKind));
    return nodes;
}

std::optional<CatalogSource::NodeRow> MemoryCatalog::NodeAndParent(std::int32_t catalogID,
                                                                   std::int32_t nodeID) const {
    Node wanted{};
    wanted.catalog = catalogID;
    wanted.id = nodeID;
    wanted.catalogKind = kNumber;
    wanted.idKind = kNumber;
    const auto it =
        std::lower_bound(m_nodes.begin(), m_nodes.end(), wanted,
                         [](const Node& a, const Node& b) { return CatalogKey(a) < CatalogKey(b); });
    if (it == m_nodes.end() || CatalogKey(*it) != CatalogKey(wanted)) return std::nullopt;
    return CatalogSource::NodeRow{Value(it->id, it->idKind), Value(it->parent, it->parentKind)};
}

QVariantList MemoryCatalog::Children(const std::vector<std::int32_t>& parents) const {
    QVariantList children;
    for (const std::int32_t parent : parents) {
        auto first =
            std::lower_bound(m_byParent.begin(), m_byParent.end(), parent,
                             [this](std::uint32_t i, std::int32_t p) { return m_nodes[i].parent < p; });
        for (; first != m_byParent.end() && m_nodes[*first].parent == parent; ++first)
            children.append(Value(m_nodes[*first].id, m_nodes[*first].idKind));
    }
    return children;
}

// ---- one user's assignments -------------------------------------------------------

void MemorySource::Add(const QVariant& catalogID, const QVariant& nodeID, const QVariant& level) {
    m_rows.push_back({catalogID, nodeID, level, Numeric(catalogID), Numeric(nodeID), Numeric(level)});
}

QVariantList MemorySource::CatalogsOfUser() {
    QVariantList catalogs;
    std::vector<double> numbers;
    bool null = false;
    for (const Row& row : m_rows) {
        if (row.catalogNumber) {
            if (std::find(numbers.begin(), numbers.end(), *row.catalogNumber) != numbers.end()) continue;
            numbers.push_back(*row.catalogNumber);
        } else if (row.catalog.isNull()) {
            if (std::exchange(null, true)) continue;
        }
        catalogs.append(row.catalog);
    }
    return catalogs;
}

QVariant MemorySource::SmallestLevel(std::int32_t catalogID) {
    const Row* smallest = nullptr;
    for (const Row& row : m_rows)
        if (row.catalogNumber == double(catalogID) && row.levelNumber &&
            (!smallest || *row.levelNumber < *smallest->levelNumber))
            smallest = &row;
    return smallest ? smallest->level : QVariant();
}

QVariantList MemorySource::NodesAtLevel(std::int32_t catalogID, std::int16_t level) {
    QVariantList nodes;
    for (const Row& row : m_rows)
        if (row.catalogNumber == double(catalogID) && row.levelNumber == double(level))
            nodes.append(row.node);
    return nodes;
}

QVariantList MemorySource::DeeperNodes(std::int32_t catalogID, std::int16_t level) {
    QVariantList nodes;
    for (const Row& row : m_rows)
        if (row.catalogNumber == double(catalogID) && row.levelNumber && *row.levelNumber > double(level))
            nodes.append(row.node);
    return nodes;
}

std::optional<QVariant> MemorySource::HighestAssigned(std::int32_t catalogID,
                                                      const std::vector<std::int32_t>& chain) {
    // The rows are in the database's order of LEVEL within the catalog, NULL placed
    // where the database places it, so the first match is the query's first row.
    for (const Row& row : m_rows)
        if (row.catalogNumber == double(catalogID) && row.nodeNumber &&
            std::find(chain.begin(), chain.end(), *row.nodeNumber) != chain.end())
            return row.node;
    return std::nullopt;
}

}  // namespace usernodes
