// One pull of a reader's index folder from a store: from the version it holds to the
// version `current` names, through the packs after it or the newest whole file.
#pragma once

#include <QString>

#include "zarvik/store/store.h"

namespace pull {

struct PullOutcome {
    qint64 version = 0;       // the version the folder holds afterwards
    bool installed = false;   // false: the folder already held `current`
    qint64 bytesFetched = 0;  // every byte received from the store, `current` included
    int objectsFetched = 0;
};

// Brings folder/index.db to the store's `current`. The new file is put together in an
// unnamed file in the folder, checked (size and SHA-256 against the manifest,
// quick_check, the FTS5 integrity-check), synced, and renamed into place with the old
// file's owner, group and mode; the old file stays as index.previous.db.
// Raises component::Error naming the object or the store when a step fails; the folder
// is then as it was. Also raises when another pull of the folder holds its lock.
PullOutcome Pull(zarvik::store::Store& store, const QString& folder);

}  // namespace pull
