// Publishing an index file as the next version of a store: its data object (the pack
// of pages that differ from the version `current` names, or the whole file), its
// manifest, then `current` (only if no other publisher moved it meanwhile), then the
// retention of old versions.
#pragma once

#include <QString>
#include <QStringList>

#include "component/configuration.h"
#include "component/propagator.h"
#include "zarvik/store/publishrun.h"
#include "zarvik/store/store.h"

namespace zarvik::store {

struct PublishOutcome {
    component::PublishedVersion current;  // what `current` names afterwards; no objects: held already
    qint64 sent = 0;                      // bytes uploaded
    // What was wrong with the store and was repaired by publishing a whole file, and
    // housekeeping that failed (an old version that could not be deleted).
    QStringList warnings;
};

// Publishes `indexFile`. `baseFile` is the file published last (the live index
// before the build's swap, index.previous.db); a pack is made against it only when
// its SHA-256 is the one `current`'s manifest names and every object the readers need
// to reach that version is in the store. Temporary files go to `run`'s folder.
// Raises component::Error (errnum::kPropagation) naming the object and the store
// when a step fails, and when another publisher moved `current` since this publish
// read it; `current` then still names a complete version.
PublishOutcome Publish(Store& store, const QString& indexFile, const QString& baseFile,
                       const component::PublishSettings& settings, PublishRun& run);

}  // namespace zarvik::store
