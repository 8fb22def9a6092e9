// Publishing an index to a store target (store:REMOTE:PATH or store:/absolute/folder):
// one upload per version, which every reader then pulls.
#pragma once

#include <QString>
#include <atomic>

#include "zarvik/propagation/target.h"

namespace zarvik::propagation {

// Publishes indexPath/index.db as the store's next version, a pack against
// indexPath/index.previous.db when that is the version `current` names. `bytes` is
// set to the bytes uploaded. Returns the empty text, else why it failed.
QString PublishToStore(const PropagationTarget& target, const QString& indexPath, std::atomic<qint64>& bytes);

}  // namespace zarvik::propagation
