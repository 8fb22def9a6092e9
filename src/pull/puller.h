// One pull of a reader's index folder from a store: from the version it holds to the
// version `current` names, through the packs after it or the newest whole file.
#pragma once

#include <QString>

#include "zarvik/store/store.h"

namespace pull {

struct PullOutcome {
    // The version the folder holds: the one installed, or, when the pull failed or found
    // nothing new, the one it held (0 when no pull recorded one).
    qint64 version = 0;
    bool installed = false;   // false: the folder already held `current`, or the pull failed
    qint64 bytesFetched = 0;  // every byte received from the store, `current` included
    int objectsFetched = 0;
};

// Brings folder/index.db to the store's `current`. A pack is applied only onto a copy
// of a local file (index.db, or index.previous.db for a rollback) hashed while it is
// copied and found to be the pack's base; a local file that is not the version it
// claims, or a result built on one that fails its checks, sends the pull to the newest
// whole file. The new file is put together in an unnamed file in the folder, checked
// (size and SHA-256 against the manifest, quick_check, the FTS5 integrity-check),
// synced, and renamed into place with the old file's owner, group and mode; the old
// file stays as index.previous.db. `outcome` is filled as the pull goes.
// Raises component::Error naming the object, the store or the folder, with the
// system's or the store's reason, when a step fails; the folder is then as it was.
// Also raises when another pull of the folder holds its lock.
void Pull(zarvik::store::Store& store, const QString& folder, PullOutcome& outcome);

// Checks folder/index.db against the version the folder's record says it is (size and
// SHA-256, as that version's manifest gave them), fetching nothing. Returns a sentence
// naming the version. Raises component::Error naming index.db when it is not that
// version, or when no pull recorded one.
QString Verify(const QString& folder);

}  // namespace pull
