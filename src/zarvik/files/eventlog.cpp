// The event log: syslog, or the JSON-lines file named by ZARVIK_EVENT_LOG.
#include "zarvik/files/eventlog.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <cstring>

#include "component/error.h"

namespace zarvik::files {
namespace {

const QString kSource = QStringLiteral("ZarvikIndexing.IndexingServices");

int Priority(std::int32_t type) {
    switch (type) {
        case 0:
            return LOG_ERR;
        case 1:
            return LOG_WARNING;
        default:
            return LOG_INFO;
    }
}

[[noreturn]] void Fail(const QString& path, const QString& what, int error) {
    throw component::Error(component::errnum::kEventLog, kSource,
                           QStringLiteral("Unable to %1 the event log file %2: %3")
                               .arg(what, path, QString::fromLocal8Bit(std::strerror(error))));
}

void AppendLine(const QString& path, const QByteArray& line) {
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) Fail(path, QStringLiteral("open"), errno);
    // One write call per line, so entries of processes that log at the same time
    // do not interleave (O_APPEND places each write at the end as a whole).
    qsizetype done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fd, line.constData() + done, static_cast<size_t>(line.size() - done));
        if (n < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            ::close(fd);
            Fail(path, QStringLiteral("write to"), error);
        }
        done += n;
    }
    if (::close(fd) != 0 && errno != EINTR) Fail(path, QStringLiteral("write to"), errno);
}

}  // namespace

SyslogEntry SyslogEntryFor(const QString& source, const QString& message) {
    const QString trimmed = source.trimmed();
    qsizetype blank = 0;
    while (blank < trimmed.size() && !trimmed.at(blank).isSpace()) ++blank;
    const QString rest = trimmed.mid(blank).trimmed();
    return {trimmed.left(blank).toUtf8(),
            (rest.isEmpty() ? message : rest + QLatin1Char(' ') + message).toUtf8()};
}

void WriteEvent(const QString& source, const QString& message, std::int32_t type) {
    const QString path = qEnvironmentVariable("ZARVIK_EVENT_LOG");
    if (path.isEmpty()) {
        // openlog keeps the pointer, not a copy: the ident must outlive the entry,
        // and closelog drops the pointer before the buffer goes.
        const SyslogEntry entry = SyslogEntryFor(source, message);
        openlog(entry.ident.isEmpty() ? nullptr : entry.ident.constData(), LOG_PID, LOG_USER);
        syslog(Priority(type), "%s", entry.text.constData());
        closelog();
        return;
    }
    QDateTime now = QDateTime::currentDateTime();
    // A time with its offset says when the entry was written on any machine.
    now.setOffsetFromUtc(now.offsetFromUtc());
    QJsonObject entry;
    entry.insert(QStringLiteral("time"), now.toString(Qt::ISODateWithMs));
    entry.insert(QStringLiteral("source"), source);
    entry.insert(QStringLiteral("type"), type);
    entry.insert(QStringLiteral("message"), message);
    AppendLine(path, QJsonDocument(entry).toJson(QJsonDocument::Compact) + '\n');
}

}  // namespace zarvik::files
