// The owner, group and mode of a file that takes the place of another, so that whoever
// could read the replaced file reads the new one whatever the umask of its writer.
#pragma once

#include <QString>

namespace zarvik::files {

// Gives file the owner, group and mode of replaced (a symbolic link is followed) or,
// when there is no such file, the owner and group of the folder replaced would be in
// and the mode 0644. What this process may not change (another owner, unless it is
// root; a group it is not a member of) stays as it is, and the rest is still given.
// Returns the empty text when all three were given, else a sentence for the event log
// saying which were not and the system's reason. Raises nothing.
QString InheritOwnership(const QString& file, const QString& replaced);

// Makes the folder at path and the missing folders above it, each with the mode 0755
// whatever the umask, so that readers of the index in it can enter; folders that exist
// keep their mode. Returns the empty text when the folder is there, else the system's
// reason ("Permission denied", "Not a directory"). Raises nothing.
QString MakeFolderForReaders(const QString& path);

}  // namespace zarvik::files
