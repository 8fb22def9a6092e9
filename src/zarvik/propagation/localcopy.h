// Copying an index to a local folder, one verified file at a time.
#pragma once

#include <QString>
#include <atomic>

#include "zarvik/propagation/copychecks.h"
#include "zarvik/propagation/target.h"

namespace zarvik::propagation {

// Copies every file into the target's folder, making the folder when it is missing.
// `bytes` grows as the copies progress. Returns the empty text, else why it failed.
QString CopyToLocalFolder(const PropagationTarget& target, const SourceFiles& files,
                          std::atomic<qint64>& bytes);

}  // namespace zarvik::propagation
