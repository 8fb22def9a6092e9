// Copying an index to a folder on another machine, through rsync over ssh.
#pragma once

#include <QByteArray>
#include <QString>
#include <atomic>
#include <future>
#include <map>

#include "zarvik/propagation/copychecks.h"
#include "zarvik/propagation/target.h"

namespace zarvik::propagation {

// What the remote checks compare a copy with: each source file read once, by a
// thread of its own while the copies are already on their way.
struct SourceFacts {
    qint64 size = 0;
    QByteArray digest;
    QString why;  // empty, or why the file cannot be read or fails quick_check
};
using FactsOfFiles = std::map<QString, SourceFacts>;

FactsOfFiles ReadSourceFacts(const SourceFiles& files);

// The ssh configuration file named by ZARVIK_SSH_CONFIG (ssh -F), for a run whose
// keys and known hosts are not the user's own; rsync splits its -e text at blanks.
QString SshConfig(QString* why);

// Copies every file to the target's folder on the far side, each under a temporary
// name that is renamed into place once it matches `facts`. `bytes` grows as the
// copies progress, `sent` by what crossed the link. Returns the empty text, else
// why it failed.
QString CopyToRemoteFolder(const PropagationTarget& target, const QString& config, const SourceFiles& files,
                           const std::shared_future<FactsOfFiles>& facts, std::atomic<qint64>& bytes,
                           std::atomic<qint64>& sent);

}  // namespace zarvik::propagation
