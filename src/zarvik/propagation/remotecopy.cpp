// Copying an index to a folder on another machine: rsync over ssh sends only the
// blocks that changed, and the far side checks each copy before renaming it.
#include "zarvik/propagation/remotecopy.h"

#include <unistd.h>

#include <QFile>
#include <QRandomGenerator>
#include <QStringList>
#include <QSysInfo>

#include "zarvik/files/durablefile.h"
#include "zarvik/process/process.h"

namespace zarvik::propagation {
namespace {

using process::Outcome;

// The page size of an SQLite database file; 0 for any other file.
int PageSize(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return 0;
    const QByteArray header = file.read(18);
    if (header.size() < 18 || !header.startsWith(QByteArray("SQLite format 3\0", 16))) return 0;
    const int size = (static_cast<unsigned char>(header[16]) << 8) | static_cast<unsigned char>(header[17]);
    return size == 1 ? 65536 : size;
}

// ssh's and rsync's own words, on one line for the event log.
QString OwnWords(const Outcome& outcome) {
    QStringList lines;
    for (const QByteArray& line : outcome.standardError.split('\n')) {
        const QString text = QString::fromLocal8Bit(line).trimmed();
        if (!text.isEmpty()) lines << text;
    }
    if (!outcome.why.isEmpty()) lines << outcome.why;
    return lines.join(QStringLiteral(" / "));
}

// The part of every ssh command line that makes a scheduled run fail rather than
// wait: no password or host-key questions, a bounded connect and a dead link noticed.
QStringList SshOptions(const SshAddress& target, const QString& config) {
    QStringList options{QStringLiteral("-o"), QStringLiteral("BatchMode=yes"),
                        QStringLiteral("-o"), QStringLiteral("ConnectTimeout=15"),
                        QStringLiteral("-o"), QStringLiteral("ServerAliveInterval=15"),
                        QStringLiteral("-o"), QStringLiteral("ServerAliveCountMax=4")};
    if (!config.isEmpty()) options << QStringLiteral("-F") << config;
    if (target.port > 0) options << QStringLiteral("-p") << QString::number(target.port);
    return options;
}

// Counts what rsync reports while it runs: the bytes of the file done so far, into
// `bytes`, and what crossed the link, into `sent`.
class RsyncProgress {
public:
    RsyncProgress(std::atomic<qint64>& bytes, std::atomic<qint64>& sent) : m_bytes(bytes), m_sent(sent) {}

    void Take(const QByteArray& piece) {
        // rsync --progress writes "  12,345,678  45%  ..." lines ended by '\r'.
        m_pending += piece;
        qsizetype end = -1;
        while ((end = m_pending.indexOf('\r')) >= 0 || (end = m_pending.indexOf('\n')) >= 0) {
            const QByteArray line = m_pending.left(end).trimmed();
            m_pending.remove(0, end + 1);
            // --stats: "Total bytes sent: 1,234,567"
            if (line.startsWith("Total bytes sent:")) {
                m_sent += QByteArray(line.mid(17)).replace(",", "").trimmed().toLongLong();
                continue;
            }
            if (!line.contains('%')) continue;
            bool isNumber = false;
            const qint64 done = QByteArray(line.split(' ').value(0)).replace(",", "").toLongLong(&isNumber);
            if (isNumber && done > m_reported) {
                m_bytes += done - m_reported;
                m_reported = done;
            }
        }
    }

private:
    std::atomic<qint64>& m_bytes;
    std::atomic<qint64>& m_sent;
    qint64 m_reported = 0;
    QByteArray m_pending;
};

class RemoteCopy {
public:
    RemoteCopy(const QString& text, const SshAddress& target, const QString& config, CopyProgress& progress)
        : m_text(text), m_target(target), m_config(config), m_progress(progress) {}

    QString Run(const IndexSource& source) {
        QStringList temporaries;
        if (QString why = Prepare(&temporaries); !why.isEmpty()) return why;
        if (QString why = RemoveLeftBehindRemote(temporaries); !why.isEmpty()) return why;
        for (const auto& [name, path] : source.Files()) {
            const QString temporary = name + kCopyMarker + QString::number(::getpid()) + QLatin1Char('@') +
                                      HostTag() + QLatin1Char('-') +
                                      QString::number(QRandomGenerator::global()->generate(), 16);
            SeedFromLive(name, temporary);
            if (QString why = Send(path, temporary); !why.isEmpty()) return why;
            CopyArrived(m_text, m_target.path + QLatin1Char('/') + temporary);
            const SourceFacts& f = source.Facts().at(name);
            if (!f.why.isEmpty()) {
                Ssh(QStringLiteral("rm -f -- %1/%2").arg(ShellQuote(m_target.path), ShellQuote(temporary)));
                return f.why;
            }
            if (QString why = VerifyAndRename(temporary, name, f); !why.isEmpty()) return why;
        }
        return {};
    }

private:
    // This machine's name as it goes into the names of temporary copies, so that the
    // next run from here knows its own.
    static QString HostTag() {
        QString tag;
        for (QChar c : QSysInfo::machineHostName())
            if (c.isLetterOrNumber() && c.unicode() < 128) tag += c;
        return tag.isEmpty() ? QStringLiteral("host") : tag;
    }

    Outcome Ssh(const QString& script, QByteArray* output = nullptr) {
        QStringList args = SshOptions(m_target, m_config);
        // The far side's login shell reads the command; it gets one fixed program,
        // sh, and a script whose every value is quoted.
        args << QStringLiteral("--") << m_target.Login() << (QStringLiteral("sh -c ") + ShellQuote(script));
        return process::Run(QStringLiteral("ssh"), args, [output](const QByteArray& piece) {
            if (output) output->append(piece);
            return true;
        });
    }

    QString Failure(const QString& what, const Outcome& outcome) {
        if (!outcome.started) return outcome.why;
        return QStringLiteral("%1 failed (exit status %2): %3")
            .arg(what, QString::number(outcome.exitCode), OwnWords(outcome));
    }

    // Makes the folder and lists the temporary copies in it.
    QString Prepare(QStringList* temporaries) {
        const QString folder = ShellQuote(m_target.path);
        QByteArray listing;
        const Outcome outcome =
            Ssh(QStringLiteral("(umask 022 && mkdir -p -- %1) || exit 1; cd -- %1 || exit 1; "
                               "for f in *%2* .*%2*; do "
                               "if [ -f \"$f\" ]; then printf '%s\\n' \"$f\"; fi; done; exit 0")
                    .arg(folder, kCopyMarker),
                &listing);
        if (!outcome.started || outcome.exitCode != 0)
            return Failure(QStringLiteral("preparing %1 on %2").arg(m_target.path, m_target.host), outcome);
        for (const QByteArray& line : listing.split('\n'))
            if (!line.isEmpty()) *temporaries << QString::fromLocal8Bit(line);
        return {};
    }

    // A copy that a run from this machine left behind, killed half-way, is as large
    // as the index; copies of runs still going, or from other machines, stay.
    QString RemoveLeftBehindRemote(const QStringList& temporaries) {
        QStringList names;
        const QString mine = QLatin1Char('@') + HostTag() + QLatin1Char('-');
        for (const QString& name : temporaries) {
            const QString rest = name.section(kCopyMarker, -1);
            if (!rest.contains(mine)) continue;
            bool isNumber = false;
            const qint64 pid = rest.section(QLatin1Char('@'), 0, 0).toLongLong(&isNumber);
            // This process's own copies are those of its other threads, still going.
            if (isNumber && pid != ::getpid() && files::LeftBehindBy(pid)) names << ShellQuote(name);
        }
        if (names.isEmpty()) return {};
        const Outcome outcome = Ssh(QStringLiteral("cd -- %1 && rm -f -- %2")
                                        .arg(ShellQuote(m_target.path), names.join(QLatin1Char(' '))));
        if (!outcome.started || outcome.exitCode != 0)
            return Failure(
                QStringLiteral("removing copies left behind in %1 on %2").arg(m_target.path, m_target.host),
                outcome);
        return {};
    }

    // The temporary copy starts as a copy of the file the target holds, so that rsync
    // sends only the blocks that differ. Without one (a first copy, or no room for
    // it) rsync sends the whole file.
    void SeedFromLive(const QString& name, const QString& temporary) {
        Ssh(QStringLiteral("cd -- %1 || exit 0; if [ -f %2 ]; then cp -- %2 %3 || rm -f -- %3; fi; exit 0")
                .arg(ShellQuote(m_target.path), ShellQuote(name), ShellQuote(temporary)));
    }

    // rsync's command line for one file.
    QStringList RsyncArguments(const QString& from, const QString& temporary) const {
        QString shell = QStringLiteral("ssh");
        for (const QString& option : SshOptions(m_target, m_config)) shell += QLatin1Char(' ') + option;
        const QString host = m_target.host.contains(QLatin1Char(':'))
                                 ? QLatin1Char('[') + m_target.host + QLatin1Char(']')
                                 : m_target.host;
        const QString login = m_target.user.isEmpty() ? host : m_target.user + QLatin1Char('@') + host;
        // --ignore-times: the seeded copy may have the new file's size and, to the
        // second, its time, and rsync would then take it for the same file.
        QStringList args{QStringLiteral("--inplace"), QStringLiteral("--no-whole-file"),
                         QStringLiteral("--ignore-times")};
        // Blocks of one database page: a page that did not change is not sent.
        if (const int page = PageSize(from); page > 0) args << QStringLiteral("--block-size=%1").arg(page);
        args += QStringList{QStringLiteral("--stats"),
                            QStringLiteral("--timeout=120"),
                            QStringLiteral("--progress"),
                            QStringLiteral("-e"),
                            shell,
                            from,
                            login + QLatin1Char(':') + m_target.path + QLatin1Char('/') + temporary};
        return args;
    }

    QString Send(const QString& from, const QString& temporary) {
        RsyncProgress progress(m_progress.bytes, m_progress.sent);
        const Outcome outcome = process::Run(QStringLiteral("rsync"), RsyncArguments(from, temporary),
                                             [&](const QByteArray& piece) {
                                                 progress.Take(piece);
                                                 return true;
                                             });
        if (!outcome.started || outcome.exitCode != 0) {
            // What arrived stays for the next run to remove when the far side could
            // not be told now.
            Ssh(QStringLiteral("rm -f -- %1/%2").arg(ShellQuote(m_target.path), ShellQuote(temporary)));
            return Failure(QStringLiteral("rsync to %1").arg(PrintableTargetText(m_text)), outcome);
        }
        return {};
    }

    // On the far side: the copy's size and SHA-256 against the source's, quick_check
    // where the sqlite3 shell is installed, then the rename; a copy that fails any of
    // them is removed and the old index stays.
    QString VerifyAndRename(const QString& temporary, const QString& name, const SourceFacts& f) {
        const QString notPlaced =
            QStringLiteral("the copy was not put in place\" >&2; rm -f -- \"$t\"; exit 2; fi; ");
        QString script =
            QStringLiteral(
                "cd -- %1 || exit 1; t=%2; s=$(wc -c < \"$t\") || exit 1; "
                "if [ \"$s\" -ne %3 ]; then echo \"the copy has $s bytes, the index file has %3; ")
                .arg(ShellQuote(m_target.path), ShellQuote(temporary), QString::number(f.size)) +
            notPlaced +
            QStringLiteral(
                "h=$(sha256sum < \"$t\") || { rm -f -- \"$t\"; exit 1; }; h=${h%% *}; "
                "if [ \"$h\" != %1 ]; then echo \"the copy differs from the index file "
                "(SHA-256 $h, expected %1); ")
                .arg(Hex(f.digest)) +
            notPlaced;
        if (IsDatabase(name)) {
            script += QStringLiteral(
                          "if command -v sqlite3 >/dev/null 2>&1; then "
                          "q=$(sqlite3 -readonly \"$t\" 'PRAGMA quick_check;' 2>&1); "
                          "if [ \"$q\" != ok ]; then echo \"the copy fails PRAGMA quick_check ($q); ") +
                      notPlaced + QStringLiteral("fi; ");
        }
        // The new file keeps the owner, group and mode of the one it replaces (without
        // one, the folder's owner and group and 0644), as a local copy does, so that a
        // web server that could read the old index can read the new. The owner only
        // where the login may give it (root); the mode after it, which a chown clears
        // bits of.
        script += QStringLiteral(
                      "if [ -e %1 ]; then r=%1; m=--reference=%1; else r=.; m=0644; fi; "
                      "chown --reference=\"$r\" -- \"$t\" 2>/dev/null || "
                      "chgrp --reference=\"$r\" -- \"$t\" 2>/dev/null; chmod \"$m\" -- \"$t\" 2>/dev/null; "
                      "sync -- \"$t\" 2>/dev/null; mv -f -- \"$t\" %1 || { rm -f -- \"$t\"; exit 1; }; "
                      "sync -- . 2>/dev/null; exit 0")
                      .arg(ShellQuote(name));
        const Outcome outcome = Ssh(script);
        if (outcome.started && outcome.exitCode == 2) return OwnWords(outcome);
        if (!outcome.started || outcome.exitCode != 0)
            return Failure(
                QStringLiteral("putting the copy in place in %1 on %2").arg(m_target.path, m_target.host),
                outcome);
        return {};
    }

    const QString& m_text;
    const SshAddress& m_target;
    const QString m_config;
    CopyProgress& m_progress;
};

}  // namespace

QString SshConfig(QString* why) {
    QString config = qEnvironmentVariable("ZARVIK_SSH_CONFIG");
    for (QChar c : config) {
        if (c.isSpace() || c == QLatin1Char('\'') || c == QLatin1Char('"') || c == QLatin1Char('\\')) {
            *why = QStringLiteral(
                       "the ssh configuration file named by ZARVIK_SSH_CONFIG (%1) holds a blank or a "
                       "quote, which rsync cannot pass to ssh")
                       .arg(config);
            break;
        }
    }
    return config;
}

QString CopyToRemoteFolder(const QString& text, const SshAddress& address, const QString& config,
                           const IndexSource& source, CopyProgress& progress) {
    return RemoteCopy(text, address, config, progress).Run(source);
}

}  // namespace zarvik::propagation
