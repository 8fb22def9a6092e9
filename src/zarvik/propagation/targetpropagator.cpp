// IndexPropagator: copies a built index folder to its targets, several at a time,
// and puts each copy in place only after it has been compared with the source.
#include "zarvik/propagation/targetpropagator.h"

#include <sqlite3.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSet>
#include <QSysInfo>
#include <QUrl>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "zarvik/files/durablefile.h"
#include "zarvik/files/eventlog.h"
#include "zarvik/propagation/process.h"
#include "zarvik/propagation/target.h"

namespace zarvik::propagation {
namespace {

using Clock = std::chrono::steady_clock;
const QString kSource = QStringLiteral("ZarvikIndexing.IndexPropagator");
constexpr std::chrono::milliseconds kEventsEvery{25};
constexpr std::chrono::milliseconds kStatusEvery{250};
const QString kCopyMarker = QStringLiteral(".propagating-");
constexpr qint64 kBufferSize = 1 << 20;

std::mutex g_hookMutex;
std::function<void(const QString&, const QString&)> g_copyArrived;

void CopyArrived(const QString& target, const QString& copyPath) {
    std::function<void(const QString&, const QString&)> hook;
    {
        const std::lock_guard lock(g_hookMutex);
        hook = g_copyArrived;
    }
    if (hook) hook(target, copyPath);
}

// The files that make up an index: not the build's lock, its staging file, the
// previous or the refused index kept beside it, or a journal a reader may have left.
bool IsIndexFile(const QString& name) {
    return name != QLatin1String("index.lock") && name != QLatin1String("index.previous.db") &&
           name != QLatin1String("index.rejected.db") && !name.endsWith(QLatin1String(".staging")) &&
           !name.endsWith(QLatin1String("-journal")) && !name.endsWith(QLatin1String("-wal")) &&
           !name.endsWith(QLatin1String("-shm")) && !name.contains(QLatin1String(".propagating")) &&
           !name.startsWith(QLatin1String("index.previous.db")) &&
           !name.startsWith(QLatin1String("index.rejected.db"));
}

bool IsDatabase(const QString& name) {
    return name.endsWith(QLatin1String(".db"));
}

// PRAGMA quick_check of the file at path, opened read-only and as immutable so that
// the check neither takes locks nor leaves a journal beside a copy. Returns the
// empty text when it answers "ok", else its answer or the reason it could not run.
QString QuickCheck(const QString& path) {
    const QByteArray uri =
        "file:" + QUrl::toPercentEncoding(QFileInfo(path).absoluteFilePath(), "/") + "?mode=ro&immutable=1";
    sqlite3* db = nullptr;
    QString why;
    if (sqlite3_open_v2(uri.constData(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) != SQLITE_OK) {
        why = QString::fromUtf8(db ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close(db);
        return why;
    }
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA quick_check", -1, &stmt, nullptr) != SQLITE_OK) {
        why = QString::fromUtf8(sqlite3_errmsg(db));
    } else {
        QStringList answers;
        int rc = SQLITE_ROW;
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW && answers.size() < 5)
            answers << QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) answers << QString::fromUtf8(sqlite3_errmsg(db));
        if (answers != QStringList{QStringLiteral("ok")}) why = answers.join(QStringLiteral("; "));
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return why;
}

QString Hex(const QByteArray& digest) {
    return QString::fromLatin1(digest.toHex());
}

// Reads a file through once: its size and SHA-256.
QString Digest(const QString& path, qint64* size, QByteArray* digest) {
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read %1: %2").arg(path, in.errorString());
    QCryptographicHash hash(QCryptographicHash::Sha256);
    std::vector<char> buffer(kBufferSize);
    *size = 0;
    for (;;) {
        const qint64 n = in.read(buffer.data(), qint64(buffer.size()));
        if (n < 0) return QStringLiteral("cannot read %1: %2").arg(path, in.errorString());
        if (n == 0) break;
        hash.addData(QByteArrayView(buffer.data(), n));
        *size += n;
    }
    *digest = hash.result();
    return {};
}

// Compares a copy with what was read from the source while it was written, then
// checks a database with quick_check. The empty text when it may go in place.
QString VerifyCopy(const QString& copy, const QString& source, qint64 size, const QByteArray& digest) {
    qint64 copySize = 0;
    QByteArray copyDigest;
    if (QString why = Digest(copy, &copySize, &copyDigest); !why.isEmpty()) return why;
    if (copySize != size)
        return QStringLiteral(
                   "the copy has %1 bytes, the index file %2 has %3; the copy was not put in place")
            .arg(QString::number(copySize), source, QString::number(size));
    if (copyDigest != digest)
        return QStringLiteral(
                   "the copy differs from the index file %1 (SHA-256 %2, expected %3); "
                   "the copy was not put in place")
            .arg(source, Hex(copyDigest), Hex(digest));
    if (IsDatabase(source)) {
        if (QString why = QuickCheck(copy); !why.isEmpty())
            return QStringLiteral(
                       "the copy of %1 fails PRAGMA quick_check (%2); the copy was not put in place")
                .arg(source, why);
    }
    return {};
}

// Copies one file to `to` through a durable replacement: `to` is always the old or
// the new complete file, and the new one only once it has been verified.
QString CopyLocalFile(const QString& from, const QString& to, const QString& targetText,
                      std::atomic<qint64>& bytes) {
    QFile in(from);
    if (!in.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read %1: %2").arg(from, in.errorString());
    files::DurableFile out(to, kCopyMarker);
    if (QString why = out.Open(); !why.isEmpty()) return why;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    qint64 size = 0;
    std::vector<char> buffer(kBufferSize);
    for (;;) {
        const qint64 n = in.read(buffer.data(), qint64(buffer.size()));
        if (n < 0) return QStringLiteral("cannot read %1: %2").arg(from, in.errorString());
        if (n == 0) break;
        hash.addData(QByteArrayView(buffer.data(), n));
        if (QString why = out.Write(buffer.data(), n); !why.isEmpty()) return why;
        size += n;
        bytes += n;
    }
    const QByteArray digest = hash.result();
    return out.Commit([&](const QString& temporary) {
        CopyArrived(targetText, temporary);
        return VerifyCopy(temporary, from, size, digest);
    });
}

// What the remote checks compare a copy with: each source file read once, by a
// thread of its own while the copies are already on their way.
struct SourceFacts {
    qint64 size = 0;
    QByteArray digest;
    QString why;  // empty, or why the file cannot be read or fails quick_check
};
using FactsOfFiles = std::map<QString, SourceFacts>;

// The source files by name and absolute path, made on the calling thread: the
// copies' threads share plain texts only.
using SourceFiles = QList<std::pair<QString, QString>>;

FactsOfFiles ReadSourceFacts(const SourceFiles& files) {
    FactsOfFiles facts;
    for (const auto& [name, path] : files) {
        SourceFacts& f = facts[name];
        f.why = Digest(path, &f.size, &f.digest);
        // A far side without the sqlite3 shell cannot check its copy; a copy that is
        // byte for byte the source is then as sound as the source, checked here.
        if (f.why.isEmpty() && IsDatabase(name)) {
            if (QString why = QuickCheck(path); !why.isEmpty())
                f.why = QStringLiteral("the index file %1 fails PRAGMA quick_check (%2)").arg(path, why);
        }
    }
    return facts;
}

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
QString OwnWords(const ProcessOutcome& outcome) {
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
QStringList SshOptions(const PropagationTarget& target, const QString& config) {
    QStringList options{QStringLiteral("-o"), QStringLiteral("BatchMode=yes"),
                        QStringLiteral("-o"), QStringLiteral("ConnectTimeout=15"),
                        QStringLiteral("-o"), QStringLiteral("ServerAliveInterval=15"),
                        QStringLiteral("-o"), QStringLiteral("ServerAliveCountMax=4")};
    if (!config.isEmpty()) options << QStringLiteral("-F") << config;
    if (target.port > 0) options << QStringLiteral("-p") << QString::number(target.port);
    return options;
}

class RemoteCopy {
public:
    // `bytes` grows as the copies progress, `sent` by what crossed the link.
    RemoteCopy(const PropagationTarget& target, const QString& config, std::atomic<qint64>& bytes,
               std::atomic<qint64>& sent)
        : m_target(target), m_config(config), m_bytes(bytes), m_sent(sent) {}

    QString Run(const SourceFiles& files, const std::shared_future<FactsOfFiles>& facts) {
        QStringList temporaries;
        if (QString why = Prepare(&temporaries); !why.isEmpty()) return why;
        if (QString why = RemoveLeftBehindRemote(temporaries); !why.isEmpty()) return why;
        for (const auto& [name, path] : files) {
            const QString temporary = name + kCopyMarker + QString::number(::getpid()) + QLatin1Char('@') +
                                      HostTag() + QLatin1Char('-') +
                                      QString::number(QRandomGenerator::global()->generate(), 16);
            SeedFromLive(name, temporary);
            if (QString why = Send(path, temporary); !why.isEmpty()) return why;
            CopyArrived(m_target.text, m_target.path + QLatin1Char('/') + temporary);
            const SourceFacts& f = facts.get().at(name);
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

    ProcessOutcome Ssh(const QString& script, QByteArray* output = nullptr) {
        QStringList args = SshOptions(m_target, m_config);
        // The far side's login shell reads the command; it gets one fixed program,
        // sh, and a script whose every value is quoted.
        args << QStringLiteral("--") << m_target.Login() << (QStringLiteral("sh -c ") + ShellQuote(script));
        return RunProgram(QStringLiteral("ssh"), args, [output](const QByteArray& piece) {
            if (output) output->append(piece);
        });
    }

    QString Failure(const QString& what, const ProcessOutcome& outcome) {
        if (!outcome.started) return outcome.why;
        return QStringLiteral("%1 failed (exit status %2): %3")
            .arg(what, QString::number(outcome.exitCode), OwnWords(outcome));
    }

    // Makes the folder and lists the temporary copies in it.
    QString Prepare(QStringList* temporaries) {
        const QString folder = ShellQuote(m_target.path);
        QByteArray listing;
        const ProcessOutcome outcome =
            Ssh(QStringLiteral("mkdir -p -- %1 || exit 1; cd -- %1 || exit 1; "
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
        const ProcessOutcome outcome = Ssh(QStringLiteral("cd -- %1 && rm -f -- %2")
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

    QString Send(const QString& from, const QString& temporary) {
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
        qint64 reported = 0;
        QByteArray pending;
        const ProcessOutcome outcome =
            RunProgram(QStringLiteral("rsync"), args, [&](const QByteArray& piece) {
                // rsync --progress writes "  12,345,678  45%  ..." lines ended by '\r'.
                pending += piece;
                qsizetype end = -1;
                while ((end = pending.indexOf('\r')) >= 0 || (end = pending.indexOf('\n')) >= 0) {
                    const QByteArray line = pending.left(end).trimmed();
                    pending.remove(0, end + 1);
                    // --stats: "Total bytes sent: 1,234,567"
                    if (line.startsWith("Total bytes sent:")) {
                        m_sent += QByteArray(line.mid(17)).replace(",", "").trimmed().toLongLong();
                        continue;
                    }
                    if (!line.contains('%')) continue;
                    bool isNumber = false;
                    const qint64 done =
                        QByteArray(line.split(' ').value(0)).replace(",", "").toLongLong(&isNumber);
                    if (isNumber && done > reported) {
                        m_bytes += done - reported;
                        reported = done;
                    }
                }
            });
        if (!outcome.started || outcome.exitCode != 0) {
            // What arrived stays for the next run to remove when the far side could
            // not be told now.
            Ssh(QStringLiteral("rm -f -- %1/%2").arg(ShellQuote(m_target.path), ShellQuote(temporary)));
            return Failure(QStringLiteral("rsync to %1").arg(m_target.text), outcome);
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
        // The new file keeps the mode and group of the one it replaces, as a local copy
        // does, so that a web server that could read the old index can read the new.
        script += QStringLiteral(
                      "if [ -e %1 ]; then chmod --reference=%1 -- \"$t\" 2>/dev/null; "
                      "chgrp --reference=%1 -- \"$t\" 2>/dev/null; fi; "
                      "sync -- \"$t\" 2>/dev/null; mv -f -- \"$t\" %1 || { rm -f -- \"$t\"; exit 1; }; "
                      "sync -- . 2>/dev/null; exit 0")
                      .arg(ShellQuote(name));
        const ProcessOutcome outcome = Ssh(script);
        if (outcome.started && outcome.exitCode == 2) return OwnWords(outcome);
        if (!outcome.started || outcome.exitCode != 0)
            return Failure(
                QStringLiteral("putting the copy in place in %1 on %2").arg(m_target.path, m_target.host),
                outcome);
        return {};
    }

    const PropagationTarget& m_target;
    const QString m_config;
    std::atomic<qint64>& m_bytes;
    std::atomic<qint64>& m_sent;
};

struct Job {
    PropagationTarget target;
    QString why;
    bool run = true;  // false for a refused text or a repeated target
    std::atomic<qint64> bytes{0};
    std::atomic<qint64> sent{0};  // over the link (rsync's "Total bytes sent"); local: the bytes copied
};

// The ssh configuration file named by ZARVIK_SSH_CONFIG (ssh -F), for a run whose
// keys and known hosts are not the user's own; rsync splits its -e text at blanks.
QString SshConfig(QString* why) {
    const QString config = qEnvironmentVariable("ZARVIK_SSH_CONFIG");
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

}  // namespace

void SetCopyArrivedHookForTesting(std::function<void(const QString& target, const QString& copyPath)> hook) {
    const std::lock_guard lock(g_hookMutex);
    g_copyArrived = std::move(hook);
}

bool TargetPropagator::Propagate(const QString& indexPath, const QStringList& targets) {
    m_failedTargets = 0;
    m_bytesSent.clear();
    const QDir source(indexPath);
    SourceFiles files;
    bool haveIndex = false;
    for (const QFileInfo& fi : source.entryInfoList(QDir::Files | QDir::Hidden, QDir::Name)) {
        if (!IsIndexFile(fi.fileName())) continue;
        files.append({fi.fileName(), fi.absoluteFilePath()});
        haveIndex = haveIndex || fi.fileName() == QLatin1String("index.db");
    }
    QString configWhy;
    const QString config = SshConfig(&configWhy);

    // Every text is read, and the hostile ones refused, before any copy starts.
    std::vector<std::unique_ptr<Job>> jobs;
    QSet<QString> seen;
    bool anyRemote = false;
    for (const QString& text : targets) {
        auto job = std::make_unique<Job>();
        job->why = ParsePropagationTarget(text, &job->target);
        const PropagationTarget& t = job->target;
        if (!job->why.isEmpty()) {
            job->run = false;
        } else if (!haveIndex) {
            job->why = QStringLiteral("there is no index at %1")
                           .arg(source.absoluteFilePath(QStringLiteral("index.db")));
            job->run = false;
        } else if (!t.remote && QDir(t.path).absolutePath() == source.absolutePath()) {
            job->why = QStringLiteral("the target is the index folder itself");
            job->run = false;
        } else if (t.remote && !configWhy.isEmpty()) {
            job->why = configWhy;
            job->run = false;
        } else {
            // The same folder twice would have two copies race for one file.
            const QString key =
                t.remote ? QStringLiteral("%1@%2:%3%4").arg(t.user, t.host, QString::number(t.port), t.path)
                         : t.path;
            if (seen.contains(key)) job->run = false;
            seen.insert(key);
            anyRemote = anyRemote || t.remote;
        }
        jobs.push_back(std::move(job));
    }

    std::shared_future<FactsOfFiles> facts;
    if (anyRemote) facts = std::async(std::launch::async, ReadSourceFacts, files).share();

    std::mutex mutex;
    std::condition_variable changed;
    std::atomic<size_t> next{0};
    int done = 0;
    for (const auto& job : jobs) done += job->run ? 0 : 1;
    const auto work = [&] {
        for (;;) {
            const size_t i = next++;
            if (i >= jobs.size()) return;
            Job& job = *jobs[i];
            if (!job.run) continue;
            if (job.target.remote) {
                job.why = RemoteCopy(job.target, config, job.bytes, job.sent).Run(files, facts);
            } else if (!QDir().mkpath(job.target.path) || !QFileInfo(job.target.path).isDir()) {
                job.why = QStringLiteral("the folder %1 cannot be created").arg(job.target.path);
            } else {
                // A propagation killed half-way leaves its temporary copy behind, as
                // large as the index; copies of a process still running are left to it.
                files::RemoveLeftBehind(job.target.path, kCopyMarker);
                for (const auto& [name, path] : files) {
                    job.why = CopyLocalFile(path, job.target.path + QLatin1Char('/') + name, job.target.text,
                                            job.bytes);
                    if (!job.why.isEmpty()) break;
                }
            }
            const std::lock_guard lock(mutex);
            ++done;
            changed.notify_all();
        }
    };
    // The status handler is the dialog: it is called from this thread only, while
    // the copies run on theirs. The first line is shown before any copy starts.
    const auto start = Clock::now();
    const auto show = [&](int doneNow, Clock::time_point now) {
        qint64 bytes = 0;
        for (const auto& job : jobs) bytes += job->bytes.load();
        const double seconds = std::chrono::duration<double>(now - start).count();
        const qint64 rate = seconds > 0 ? qint64(double(bytes) / 1e6 / seconds + 0.5) : 0;
        m_statusHandler->UpdateStatus(QStringLiteral("Propagating: %1 of %2 targets done, %3 MB/s")
                                          .arg(doneNow)
                                          .arg(targets.size())
                                          .arg(rate));
    };
    int shownDone = done;
    auto lastStatus = start;
    if (m_statusHandler) show(shownDone, start);

    size_t toRun = 0;
    for (const auto& job : jobs) toRun += job->run ? 1 : 0;
    std::vector<std::thread> workers;
    for (size_t i = 0; i < std::min<size_t>(kParallelTargets, toRun); ++i) workers.emplace_back(work);

    while (shownDone < int(jobs.size())) {
        int doneNow = 0;
        {
            std::unique_lock lock(mutex);
            changed.wait_for(lock, kEventsEvery, [&] { return done != shownDone; });
            doneNow = done;
        }
        if (m_statusHandler) {
            const auto now = Clock::now();
            if (doneNow != shownDone || now - lastStatus >= kStatusEvery) {
                show(doneNow, now);
                lastStatus = now;
            }
            m_statusHandler->ProcessEvents();
        }
        shownDone = doneNow;
        if (doneNow >= int(jobs.size())) break;
    }
    for (std::thread& worker : workers) worker.join();
    if (facts.valid()) facts.wait();

    // Every failed target gets its entry even when an earlier entry could not be
    // written; the result is false either way, so nothing is lost by going on.
    int failures = 0;
    for (const auto& job : jobs) {
        if (job->why.isEmpty()) continue;
        ++failures;
        const QString where = PrintableTargetText(
            job->target.remote || job->target.path.isEmpty() ? job->target.text : job->target.path);
        try {
            files::WriteEvent(kSource,
                       QStringLiteral("Propagating the index %1 to %2 failed: %3")
                           .arg(QDir(indexPath).absolutePath(), where, job->why),
                       0);
        } catch (const component::Error&) {
        }
    }
    if (m_statusHandler) {
        m_statusHandler->UpdateStatus(
            failures == 0
                ? QStringLiteral("Propagation finished: %1 %2")
                      .arg(targets.size())
                      .arg(targets.size() == 1 ? QStringLiteral("target") : QStringLiteral("targets"))
                : QStringLiteral("Propagation failed for %1 of %2 targets")
                      .arg(failures)
                      .arg(targets.size()));
    }
    m_failedTargets = failures;
    for (const auto& job : jobs)
        if (job->run && job->why.isEmpty())
            m_bytesSent.append({PrintableTargetText(job->target.text),
                                job->target.remote ? job->sent.load() : job->bytes.load()});
    return failures == 0;
}

}  // namespace zarvik::propagation
