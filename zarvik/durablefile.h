// Making files and renames survive a power cut: fsync of a file or a folder.
#pragma once

#include <QString>
#include <QtGlobal>

namespace zarvik {
// Flushes the file or folder at path to disk. Returns the empty text on success,
// else the system's reason.
QString SyncToDisk(const QString& path);
// Renames from over to and makes the rename itself durable (fsync of the folder).
// Returns the empty text on success, else the system's reason.
QString DurableRename(const QString& from, const QString& to);
// Whether a temporary file that carries this process number in its name was left
// behind: its process has ended, or it is this process, whose writes of such files
// are over by the time it looks.
bool LeftBehindBy(qint64 pid);
}  // namespace zarvik
