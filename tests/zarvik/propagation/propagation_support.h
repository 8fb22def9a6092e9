// What the propagator's tests share: a real index built from a few thousand
// documents, a status recorder, the event log's entries, and a throwaway sshd.
#pragma once

#include <gtest/gtest.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include "component/propagator.h"
#include "component/statushandler.h"
#include "support/eventlogfile.h"
#include "support/loopbackport.h"
#include "zarvik/index/fts5indexbuilder.h"

namespace proptest {

class Recorder : public component::StatusHandler {
public:
    void UpdateStatus(const QString& msg) override {
        EXPECT_EQ(QThread::currentThread(), mainThread) << "status from a worker thread";
        statuses << msg;
    }
    void ProcessEvents() override {
        EXPECT_EQ(QThread::currentThread(), mainThread) << "events pumped from a worker thread";
        ++events;
    }
    QThread* mainThread = QThread::currentThread();
    QStringList statuses;
    int events = 0;
};

// The index at `path` copied to `targets`, its other settings the defaults.
inline bool Propagate(component::IndexPropagator& propagator, const QString& path,
                      const QStringList& targets) {
    component::IndexSettings settings;
    settings.path = path;
    settings.targets = targets;
    return propagator.Propagate(settings);
}

inline QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline bool WriteFile(const QString& path, const QByteArray& data) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

inline QStringList Entries(const QString& folder) {
    return QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

// Builds an index of `documents` rows at folder/index (its word differs by `word`,
// so two builds give two different files); returns the index folder, or an empty
// text after a failed assertion.
inline QString BuildIndex(const QString& folder, int documents, const char* word) {
    const QString docs = folder + "/docs-" + word + ".db";
    sqlite3* db = nullptr;
    if (sqlite3_open(QFile::encodeName(docs).constData(), &db) != SQLITE_OK) return {};
    const QByteArray sql =
        "CREATE TABLE DOCUMENT(DOCID INTEGER PRIMARY KEY, BODY TEXT);"
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
        QByteArray::number(documents) + ") INSERT INTO DOCUMENT SELECT i, 'harbour lantern " + word +
        " meadow ' || i FROM n;";
    const int rc = sqlite3_exec(db, sql.constData(), nullptr, nullptr, nullptr);
    sqlite3_close(db);
    if (rc != SQLITE_OK) return {};
    const QString index = folder + "/index-" + word;
    zarvik::index::Fts5IndexBuilder builder;
    builder.Configure(nullptr, nullptr,
                      {.name = QStringLiteral("catalog"),
                       .path = index,
                       .query = QStringLiteral("SELECT DOCID, BODY FROM DOCUMENT")},
                      QStringLiteral("Provider=SQLite;Database=") + docs);
    return builder.Build() ? index : QString();
}

using testsupport::EventLog;

// The entries that name `target`.
inline QList<QJsonObject> EntriesNaming(const QList<QJsonObject>& entries, const QString& target) {
    QList<QJsonObject> found;
    for (const QJsonObject& e : entries)
        if (e.value("message").toString().contains(target)) found << e;
    return found;
}

// Counts rows of the index's documents through the sqlite3 shell, as a reader on
// the far side would open it; -1 when it cannot be read.
inline int CountWithShell(const QString& database) {
    QProcess p;
    p.start(QStringLiteral("sqlite3"),
            {QStringLiteral("-readonly"), database,
             QStringLiteral("SELECT count(*) FROM sqlite_schema; PRAGMA quick_check;")});
    if (!p.waitForFinished(10000) || p.exitCode() != 0) return -1;
    const QList<QByteArray> lines = p.readAllStandardOutput().trimmed().split('\n');
    if (lines.size() != 2 || lines[1].trimmed() != "ok") return -1;
    return lines[0].trimmed().toInt();
}

inline QString UserName() {
    const passwd* pw = ::getpwuid(::geteuid());
    return pw ? QString::fromLocal8Bit(pw->pw_name) : QString();
}

// A throwaway sshd on 127.0.0.1 (and 127.0.0.2, whose host key the client does not
// know) with generated host and user keys, and the ssh client configuration that
// reaches it: pass Config() through ZARVIK_SSH_CONFIG.
class SshServer {
public:
    ~SshServer() {
        if (m_sshd.state() != QProcess::NotRunning) {
            m_sshd.kill();
            m_sshd.waitForFinished(5000);
        }
    }

    // The empty text when the server runs; else why it cannot run here (a skip).
    // A server that runs but refuses the generated key is a failed assertion.
    QString Start() {
        if (!m_dir.isValid()) return QStringLiteral("no temporary folder");
        const QString sshd =
            QStandardPaths::findExecutable(QStringLiteral("sshd"), {"/usr/sbin", "/usr/bin"});
        if (sshd.isEmpty())
            return QStringLiteral("sshd is not installed (scripts/setup.sh installs openssh-server)");
        for (const char* tool : {"ssh", "ssh-keygen", "rsync", "sqlite3"})
            if (QStandardPaths::findExecutable(tool).isEmpty())
                return QStringLiteral("%1 is not installed").arg(tool);
        // sshd started by root insists on its privilege-separation folder.
        if (::geteuid() == 0 && !QDir("/run/sshd").exists() && !QDir().mkpath("/run/sshd"))
            return QStringLiteral("/run/sshd cannot be made");
        const QString d = m_dir.path();
        for (const char* key : {"host_key", "user_key"}) {
            QProcess keygen;
            keygen.start("ssh-keygen",
                         {"-q", "-t", "ed25519", "-N", "", "-C", "lumora-test", "-f", d + "/" + key});
            if (!keygen.waitForFinished(20000) || keygen.exitCode() != 0)
                return QStringLiteral("ssh-keygen failed");
        }
        if (!QFile::copy(d + "/user_key.pub", d + "/authorized_keys"))
            return QStringLiteral("no authorized_keys");
        for (int attempt = 0; attempt < 5; ++attempt) {
            // A port another server holds would answer WaitForPort in sshd's place.
            m_port = testsupport::FreeLoopbackPort();
            // The sessions get a HOME of their own: the login user's shell start-up
            // files (a root .bashrc may take seconds) are no part of what is tested.
            const QString config = QStringLiteral(
                                       "Port %1\nListenAddress 127.0.0.1\nListenAddress 127.0.0.2\n"
                                       "HostKey %2/host_key\nPidFile %2/sshd.pid\n"
                                       "AuthorizedKeysFile %2/authorized_keys\nPasswordAuthentication no\n"
                                       "KbdInteractiveAuthentication no\nUsePAM no\nStrictModes no\n"
                                       "PermitRootLogin prohibit-password\nLogLevel ERROR\n"
                                       "MaxStartups 100\nMaxSessions 100\nSetEnv HOME=%2\n")
                                       .arg(QString::number(m_port), d);
            if (!WriteFile(d + "/sshd_config", config.toLocal8Bit()))
                return QStringLiteral("cannot write sshd_config");
            m_sshd.setProcessChannelMode(QProcess::MergedChannels);
            m_sshd.start(sshd, {"-D", "-e", "-f", d + "/sshd_config"});
            if (!m_sshd.waitForStarted(5000)) return QStringLiteral("sshd does not start");
            if (WaitForPort()) break;
            m_sshd.kill();
            m_sshd.waitForFinished(5000);
            m_log = m_sshd.readAll();
            if (attempt == 4)
                return QStringLiteral("sshd cannot run here: %1").arg(QString::fromLocal8Bit(m_log));
        }
        const QByteArray hostKey = ReadAll(d + "/host_key.pub").split(' ').mid(0, 2).join(' ');
        WriteFile(d + "/known_hosts", "[127.0.0.1]:" + QByteArray::number(m_port) + " " + hostKey + "\n");
        WriteFile(d + "/ssh_config", "Host *\n  IdentityFile " + QFile::encodeName(d) +
                                         "/user_key\n  IdentitiesOnly yes\n  UserKnownHostsFile " +
                                         QFile::encodeName(d) +
                                         "/known_hosts\n  GlobalKnownHostsFile /dev/null\n"
                                         "  StrictHostKeyChecking yes\n  LogLevel ERROR\n");
        return {};
    }

    QString Config() const { return m_dir.path() + "/ssh_config"; }
    int Port() const { return m_port; }
    // A target text for folder on this server, reached as the running user.
    QString Target(const QString& folder, const QString& host = QStringLiteral("127.0.0.1"),
                   int port = 0) const {
        return QStringLiteral("ssh://%1@%2:%3%4")
            .arg(UserName(), host, QString::number(port ? port : m_port), folder);
    }

private:
    bool WaitForPort() {
        for (int i = 0; i < 100; ++i) {
            if (m_sshd.state() == QProcess::NotRunning) return false;
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            const sockaddr_in addr = testsupport::Loopback(m_port);
            const bool up = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
            ::close(fd);
            if (up) return true;
            QThread::msleep(50);
        }
        return false;
    }

    QTemporaryDir m_dir;
    QProcess m_sshd;
    QByteArray m_log;
    int m_port = 0;
};

}  // namespace proptest
