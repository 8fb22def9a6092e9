// Making an index of the configuration current, with the reports a person sees when
// it cannot be: used by the dialog's index list and by the scheduled run alike.
#pragma once

#include "component/configuration.h"

#include <QString>

namespace run {

// Tells the user that no index of the configuration has that name.
void ReportIndexNotFound(const QString& indexName);
// Makes the index current. On failure reports "Unable to load index (name):" with the
// reason and returns false. Raises nothing.
bool LoadCurrentIndex(const QString& indexName);
// The scheduled run's selection: the index named must be in the list and load.
// Raises (errnum::kOverflow) for a list longer than the dialog's list could count.
bool SelectIndex(const component::IndexList& indexList, const QString& indexName);
// The largest index list the program takes (its positions are 16-bit counters).
inline constexpr qsizetype kMaxIndexes = 32767;

}  // namespace run
