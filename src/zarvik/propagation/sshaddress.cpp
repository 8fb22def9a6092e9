// Reading ssh target texts, and refusing those that ssh or a shell would
// read as something other than a host and a folder.
#include "zarvik/propagation/sshaddress.h"

#include "zarvik/propagation/target.h"

namespace zarvik::propagation {
namespace {

// How a refused character is named: printable ones as themselves, the others by
// their code, since a newline or a tab shown as such is no help in a log line.
QString Describe(QChar c) {
    if (c.isPrint() && !c.isSpace()) return QStringLiteral("\"%1\"").arg(c);
    return QStringLiteral("U+%1").arg(c.unicode(), 4, 16, QLatin1Char('0')).toUpper();
}

bool IsAsciiAlnum(QChar c) {
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
           (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
           (c >= QLatin1Char('0') && c <= QLatin1Char('9'));
}

// The characters a remote folder may hold: the far side's shell and rsync's own
// splitting of remote arguments take every one of them literally.
bool IsPathCharacter(QChar c) {
    return IsAsciiAlnum(c) || QStringView(u"/._-+,=@%:").contains(c);
}

// The user name before "@", when the authority holds one; `authority` keeps the rest.
QString ReadUser(const QString& text, QString& authority, SshAddress* target) {
    const qsizetype at = authority.lastIndexOf(QLatin1Char('@'));
    if (at < 0) return {};
    target->user = authority.left(at);
    authority = authority.mid(at + 1);
    if (target->user.isEmpty())
        return RefuseTarget(text, QStringLiteral("the user name before \"@\" is empty"));
    if (target->user.startsWith(QLatin1Char('-')))
        return RefuseTarget(
            text, QStringLiteral("the user name begins with \"-\", which ssh would read as an option"));
    for (QChar c : target->user) {
        if (!IsAsciiAlnum(c) && !QStringView(u"._-").contains(c))
            return RefuseTarget(text, QStringLiteral("the user name holds %1").arg(Describe(c)));
    }
    return {};
}

// An IPv6 address in brackets, and the port text after it.
QString ReadBracketedHost(const QString& text, const QString& authority, SshAddress* target,
                          QString& portText) {
    const qsizetype close = authority.indexOf(QLatin1Char(']'));
    if (close < 0) return RefuseTarget(text, QStringLiteral("the \"[\" of an IPv6 address is not closed"));
    target->host = authority.mid(1, close - 1);
    const QString after = authority.mid(close + 1);
    if (!after.isEmpty()) {
        if (!after.startsWith(QLatin1Char(':')))
            return RefuseTarget(text, QStringLiteral("text follows the IPv6 address"));
        portText = after.mid(1);
        if (portText.isEmpty()) return RefuseTarget(text, QStringLiteral("the port after \":\" is empty"));
    }
    if (target->host.isEmpty()) return RefuseTarget(text, QStringLiteral("the IPv6 address is empty"));
    for (QChar c : target->host) {
        if (!c.isDigit() && !QStringView(u"abcdefABCDEF:.").contains(c))
            return RefuseTarget(text, QStringLiteral("the IPv6 address holds %1").arg(Describe(c)));
    }
    return {};
}

// A host name or an IPv4 address, and the port text after a colon.
QString ReadPlainHost(const QString& text, const QString& authority, SshAddress* target, QString& portText) {
    const qsizetype colon = authority.indexOf(QLatin1Char(':'));
    target->host = colon < 0 ? authority : authority.left(colon);
    if (colon >= 0) {
        portText = authority.mid(colon + 1);
        if (portText.isEmpty()) return RefuseTarget(text, QStringLiteral("the port after \":\" is empty"));
    }
    if (target->host.isEmpty()) return RefuseTarget(text, QStringLiteral("it names no host"));
    if (target->host.startsWith(QLatin1Char('-')))
        return RefuseTarget(text,
                            QStringLiteral("the host begins with \"-\", which ssh would read as an option"));
    for (QChar c : target->host) {
        if (!IsAsciiAlnum(c) && !QStringView(u".-_").contains(c))
            return RefuseTarget(text, QStringLiteral("the host holds %1").arg(Describe(c)));
    }
    return {};
}

QString ReadPort(const QString& text, const QString& portText, SshAddress* target) {
    if (portText.isEmpty()) return {};
    bool isNumber = false;
    const int port = portText.toInt(&isNumber);
    for (QChar c : portText) {
        if (!c.isDigit()) isNumber = false;
    }
    if (!isNumber || port < 1 || port > 65535)
        return RefuseTarget(text,
                            QStringLiteral("the port \"%1\" is not a number from 1 to 65535").arg(portText));
    target->port = port;
    return {};
}

QString ReadRemoteFolder(const QString& text, const QString& path, SshAddress* target) {
    for (QChar c : path) {
        if (!IsPathCharacter(c))
            return RefuseTarget(
                text, QStringLiteral("the folder holds %1, which a shell on the far side would not take "
                                     "literally; use letters, digits and / . _ - + , = @ % :")
                          .arg(Describe(c)));
    }
    if (path.split(QLatin1Char('/'), Qt::SkipEmptyParts).isEmpty())
        return RefuseTarget(text, QStringLiteral("the folder is the far side's root"));
    // A trailing slash names the same folder; the copy's names are made by joining.
    target->path = path;
    while (target->path.size() > 1 && target->path.endsWith(QLatin1Char('/'))) target->path.chop(1);
    return {};
}

}  // namespace

QString ShellQuote(const QString& value) {
    QString quoted = value;
    quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

QString ReadSshAddress(const QString& text, SshAddress* target) {
    *target = SshAddress{};
    const QLatin1String scheme("ssh://");
    const QString rest = text.mid(scheme.size());
    const qsizetype slash = rest.indexOf(QLatin1Char('/'));
    if (slash < 0) return RefuseTarget(text, QStringLiteral("it names no absolute folder after the host"));
    QString authority = rest.left(slash);
    if (QString why = ReadUser(text, authority, target); !why.isEmpty()) return why;
    // The host: a name or an IPv4 address, or an IPv6 address in brackets; a port
    // may follow a colon.
    QString portText;
    QString why = authority.startsWith(QLatin1Char('['))
                      ? ReadBracketedHost(text, authority, target, portText)
                      : ReadPlainHost(text, authority, target, portText);
    if (why.isEmpty()) why = ReadPort(text, portText, target);
    if (why.isEmpty()) why = ReadRemoteFolder(text, rest.mid(slash), target);
    return why;
}

}  // namespace zarvik::propagation
