// Publishing an index file as the next version of a store: its data object (the whole
// file or the pack of pages that differ from the version `current` names, whichever is
// smaller), its manifest, then `current`, then the retention of old versions.
#pragma once

#include <QString>

#include "zarvik/store/store.h"

namespace zarvik::store {

struct PublishSettings {
    int fullEvery = 10;     // a whole file at least every this many versions
    int keepPublished = 3;  // whole files kept, with every pack after the oldest of them
};

struct PublishOutcome {
    qint64 version = 0;      // the version `current` names afterwards
    bool published = false;  // false: the store already held this file as `current`
    bool whole = false;
    qint64 bytesUploaded = 0;
    int objectsUploaded = 0;
};

// Publishes `indexFile`. `baseFile` is the file published last (the live index
// before the build's swap, index.previous.db); a pack is made against it only when
// its SHA-256 is the one `current`'s manifest names. Temporary files go to `scratch`.
// Raises component::Error (errnum::kPropagation) naming the object and the store
// when a step fails; `current` then still names a complete version.
PublishOutcome Publish(Store& store, const QString& indexFile, const QString& baseFile,
                       const PublishSettings& settings, const QString& scratch);

}  // namespace zarvik::store
