// The full-text engine and what a search returns.
//
// Every operation may raise component::Error (number, source, description); the
// notes say when an operation raises in its normal use.
#pragma once

#include "component/error.h"

#include <QChar>
#include <QList>
#include <QString>
#include <QStringList>
#include <cstdint>

namespace component {

// One match of a search, best first.
struct SearchHit {
    double rank = 0;         // bm25: smaller is better
    QString key;             // the document key
    QString title;           // the value of SearchResults::titleColumn
    QStringList stored;      // the stored columns' values, in SearchResults::storedColumns order
    // A short passage with each matched term between kMatchStart and kMatchEnd.
    QString snippet;
};

struct SearchResults {
    std::int64_t total = 0;  // all matches, not only the rows returned
    QString titleColumn;     // the first searched column; empty when there is none
    QStringList storedColumns;
    QList<SearchHit> hits;
    // When and how the searched index was built ("Built <time> by applying the changes:
    // ..." or "Built <time> in full."); empty for an index that does not record it.
    QString howBuilt;
};

// The marks around a matched term in a snippet; they never occur in text.
inline constexpr QChar kMatchStart = QChar(0x0002);

inline constexpr QChar kMatchEnd = QChar(0x0003);

// The full-text engine.
class SearchEngine {
public:
    virtual ~SearchEngine() = default;
    virtual std::int16_t MajorVersion() const = 0;
    virtual std::int16_t MinorVersion() const = 0;
    virtual std::int32_t BuildNumber() const = 0;
    // Searches the index in the folder indexPath (or, when indexPath names a file,
    // that index file, such as a kept previous or refused index) with the engine's
    // query syntax and returns the total and the hits first .. first + count - 1.
    // Raises when the index does not exist or cannot be opened (naming the path) and
    // when the query is rejected (with the engine's message).
    virtual SearchResults Search(const QString& indexPath, const QString& query, int first, int count) const = 0;
};

}  // namespace component
