// Making files and renames survive a power cut: fsync of a file or a folder.
#pragma once

#include <QString>

namespace zarvik {
// Flushes the file or folder at path to disk. Returns the empty text on success,
// else the system's reason.
QString SyncToDisk(const QString& path);
// Renames from over to and makes the rename itself durable (fsync of the folder).
// Returns the empty text on success, else the system's reason.
QString DurableRename(const QString& from, const QString& to);
}  // namespace zarvik
