// Copying an index to a folder on another machine, through rsync over ssh.
#pragma once

#include <QString>

#include "zarvik/propagation/indexsource.h"
#include "zarvik/propagation/sshaddress.h"
#include "zarvik/propagation/target.h"

namespace zarvik::propagation {

// The ssh configuration file named by ZARVIK_SSH_CONFIG (ssh -F), for a run whose
// keys and known hosts are not the user's own; rsync splits its -e text at blanks.
// Sets *why when the name cannot be passed on.
QString SshConfig(QString* why);

// Copies every file to the folder on the far side, each under a temporary name that
// is renamed into place once it matches the source's facts, which must be on their
// way (IndexSource::ReadFactsAhead). Returns the empty text, else why it failed.
QString CopyToRemoteFolder(const QString& text, const SshAddress& address, const QString& config,
                           const IndexSource& source, CopyProgress& progress);

}  // namespace zarvik::propagation
