// SshTarget: a folder on another machine, ssh://[user@]host[:port]/absolute/path,
// reached through rsync over ssh.
#pragma once

#include <QString>
#include <memory>

#include "zarvik/propagation/sshaddress.h"
#include "zarvik/propagation/target.h"

namespace zarvik::propagation {

class SshTarget final : public Target {
public:
    // Refuses a text whose parts ssh, rsync or a shell would read as something else.
    static std::unique_ptr<Target> Read(const QString& text, QString* why);

    SshTarget(const QString& text, const SshAddress& address) : Target(text), m_address(address) {}
    QString Describe() const override { return PrintableTargetText(Text()); }
    QString Place() const override;
    // Refuses every ssh target when ZARVIK_SSH_CONFIG cannot be passed on; starts
    // reading the source's facts, which the far side's checks compare with.
    QString Check(IndexSource& source) override;
    // rsync sends each file under a temporary name; the far side checks it (size,
    // SHA-256, quick_check where it has sqlite3) and renames it into place.
    QString Copy(const IndexSource& source, CopyProgress& progress) override;

private:
    const SshAddress m_address;
    QString m_config;
};

}  // namespace zarvik::propagation
