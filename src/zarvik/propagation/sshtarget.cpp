// SshTarget: reading the text, and handing the copy to rsync over ssh.
#include "zarvik/propagation/sshtarget.h"

#include "zarvik/propagation/remotecopy.h"

namespace zarvik::propagation {

std::unique_ptr<Target> SshTarget::Read(const QString& text, QString* why) {
    SshAddress address;
    *why = ReadSshAddress(text, &address);
    if (!why->isEmpty()) return nullptr;
    return std::make_unique<SshTarget>(text, address);
}

QString SshTarget::Place() const {
    return QStringLiteral("ssh:%1@%2:%3%4")
        .arg(m_address.user, m_address.host, QString::number(m_address.port), m_address.path);
}

QString SshTarget::Check(IndexSource& source) {
    QString why;
    m_config = SshConfig(&why);
    if (why.isEmpty()) source.ReadFactsAhead();
    return why;
}

QString SshTarget::Copy(const IndexSource& source, CopyProgress& progress) {
    return CopyToRemoteFolder(Text(), m_address, m_config, source, progress);
}

}  // namespace zarvik::propagation
