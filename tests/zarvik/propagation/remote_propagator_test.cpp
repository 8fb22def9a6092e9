// TargetPropagator with ssh targets, against a throwaway sshd on loopback: copies
// that arrive whole and checked, failures with ssh's and rsync's own words, a kill
// half-way, and a copy damaged in transit.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QSysInfo>

#include "propagation_support.h"
#include "support/damagedindex.h"
#include "support/filemodes.h"
#include "zarvik/propagation/targetpropagator.h"

namespace {

using namespace proptest;

class RemotePropagatorTest : public ::testing::Test {
protected:
    // A careful administrator's umask, here and for the sessions of the far side.
    static void SetUpTestSuite() {
        savedUmask = ::umask(077);
        server = new SshServer;
        skipReason = server->Start();
    }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
        ::umask(savedUmask);
    }

    void SetUp() override {
        if (!skipReason.isEmpty()) GTEST_SKIP() << "no sshd on loopback: " << skipReason.toStdString();
        ASSERT_TRUE(tmp.isValid());
        source = BuildIndex(tmp.path(), 3000, "alpha");
        ASSERT_FALSE(source.isEmpty());
        older = BuildIndex(tmp.path(), 1000, "beta");
        ASSERT_FALSE(older.isEmpty());
        indexBytes = ReadAll(source + "/index.db");
        olderBytes = ReadAll(older + "/index.db");
        ASSERT_NE(indexBytes, olderBytes);
        log = tmp.filePath("events.jsonl");
        qputenv("ZARVIK_EVENT_LOG", QFile::encodeName(log));
        qputenv("ZARVIK_SSH_CONFIG", QFile::encodeName(server->Config()));
        propagator.SetStatusHandler(&recorder);
    }
    void TearDown() override {
        qunsetenv("ZARVIK_EVENT_LOG");
        qunsetenv("ZARVIK_SSH_CONFIG");
        zarvik::propagation::SetCopyArrivedHookForTesting({});
    }

    // A far-side folder that already holds the older index.
    QString FarFolderWithOlderIndex(const QString& name) {
        const QString folder = tmp.filePath(name);
        EXPECT_TRUE(QDir().mkpath(folder));
        EXPECT_TRUE(WriteFile(folder + "/index.db", olderBytes));
        return folder;
    }

    static SshServer* server;
    static QString skipReason;
    static mode_t savedUmask;
    QTemporaryDir tmp;
    QString source;
    QString older;
    QString log;
    QByteArray indexBytes;
    QByteArray olderBytes;
    Recorder recorder;
    zarvik::propagation::TargetPropagator propagator;
};

SshServer* RemotePropagatorTest::server = nullptr;
QString RemotePropagatorTest::skipReason;
mode_t RemotePropagatorTest::savedUmask = 022;

TEST_F(RemotePropagatorTest, TwoLocalAndTwoSshTargetsAllGetTheIndex) {
    using testsupport::Ownership;
    const QString local = tmp.filePath("local/catalog");
    const QString fresh = tmp.filePath("far1/new/catalog");  // its parents do not exist yet
    const QString replaced = FarFolderWithOlderIndex("far2");
    const QString localReplaced = FarFolderWithOlderIndex("local2");
    // A web server's group may read the index there, nobody else: the new one too; a
    // first copy gets its folder's owner and group and 0644, whatever the umask.
    const Ownership wanted = testsupport::ReaderOwnership(0640);
    ASSERT_TRUE(testsupport::Give(replaced + "/index.db", wanted));
    ASSERT_TRUE(testsupport::Give(localReplaced + "/index.db", wanted));
    ASSERT_TRUE(QDir().mkpath(local) && testsupport::Give(local, {wanted.uid, wanted.gid, 0755}));
    EXPECT_TRUE(Propagate(propagator, source,
                          {local, server->Target(fresh), server->Target(replaced), localReplaced}));
    const int tables = CountWithShell(source + "/index.db");
    ASSERT_GT(tables, 0);
    for (const QString& folder : {local, fresh, replaced, localReplaced}) {
        EXPECT_EQ(ReadAll(folder + "/index.db"), indexBytes) << folder.toStdString();
        EXPECT_EQ(CountWithShell(folder + "/index.db"), tables) << folder.toStdString();
        EXPECT_EQ(Entries(folder), QStringList{"index.db"}) << folder.toStdString();
        const Ownership ofFolder = testsupport::OwnershipOf(folder);
        const Ownership firstCopy{ofFolder.uid, ofFolder.gid, 0644};
        const bool first = folder == local || folder == fresh;
        EXPECT_EQ(testsupport::OwnershipOf(folder + "/index.db"), first ? firstCopy : wanted)
            << folder.toStdString();
    }
    // Folders a propagation made let readers in, whatever the umask.
    for (const QString& made : {tmp.filePath("far1"), tmp.filePath("far1/new"), fresh})
        EXPECT_EQ(testsupport::OwnershipOf(made).mode, mode_t(0755)) << made.toStdString();
    EXPECT_TRUE(EventLog(log).isEmpty()) << ReadAll(log).toStdString();
    EXPECT_EQ(recorder.statuses.last(), QStringLiteral("Propagation finished: 4 targets"));
    EXPECT_TRUE(
        recorder.statuses.contains(QRegularExpression("^Propagating: 4 of 4 targets done, \\d+ MB/s$")));
    // A far side without the index gets all of it; one holding it again, block checksums only.
    ASSERT_EQ(propagator.BytesSent().size(), 4);
    EXPECT_GE(propagator.BytesSent()[1].sent, indexBytes.size());
    EXPECT_TRUE(Propagate(propagator, source, {server->Target(replaced)}));
    EXPECT_LT(propagator.BytesSent().value(0).sent, indexBytes.size() / 10);
    EXPECT_EQ(ReadAll(replaced + "/index.db"), indexBytes);
}

TEST_F(RemotePropagatorTest, AFailingTargetKeepsItsOldIndexAndTheOthersGoOn) {
    const int closedPort = testsupport::FreeLoopbackPort();

    QString unwritable;
    QString unwritableReason;
    if (::geteuid() == 0) {
        // root writes anywhere; a regular file where a folder should be stops it too.
        EXPECT_TRUE(WriteFile(tmp.filePath("blocker"), "not a folder"));
        unwritable = tmp.filePath("blocker/catalog");
        unwritableReason = QStringLiteral("Not a directory");
    } else {
        unwritable = FarFolderWithOlderIndex("readonly");
        EXPECT_TRUE(QFile::setPermissions(unwritable, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        unwritableReason = QStringLiteral("Permission denied");
    }
    const struct {
        const char* name;
        QString folder;
        QString target;
        QString reason;
    } failing[] = {
        {"unknown host key", FarFolderWithOlderIndex("unknownkey"),
         server->Target(tmp.filePath("unknownkey"), QStringLiteral("127.0.0.2")),
         QStringLiteral("Host key verification failed")},
        {"wrong port", FarFolderWithOlderIndex("wrongport"),
         server->Target(tmp.filePath("wrongport"), QStringLiteral("127.0.0.1"), closedPort),
         QStringLiteral("Connection refused")},
        {"unwritable folder", unwritable, server->Target(unwritable), unwritableReason},
    };
    const QString good = FarFolderWithOlderIndex("good");
    const QString local = tmp.filePath("local");
    QStringList targets{server->Target(good)};
    for (const auto& f : failing) targets << f.target;
    targets << local;

    EXPECT_FALSE(Propagate(propagator, source, targets));
    QFile::setPermissions(unwritable,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    EXPECT_EQ(ReadAll(good + "/index.db"), indexBytes);
    EXPECT_EQ(ReadAll(local + "/index.db"), indexBytes);
    const QList<QJsonObject> entries = EventLog(log);
    EXPECT_EQ(entries.size(), 3) << ReadAll(log).toStdString();
    for (const auto& f : failing) {
        SCOPED_TRACE(f.name);
        const QList<QJsonObject> named = EntriesNaming(entries, f.target);
        ASSERT_EQ(named.size(), 1);
        EXPECT_EQ(named[0].value("type").toInt(-1), 0);
        EXPECT_TRUE(named[0].value("message").toString().contains(f.reason))
            << named[0].value("message").toString().toStdString();
        if (QFile::exists(f.folder + "/index.db")) {
            EXPECT_EQ(ReadAll(f.folder + "/index.db"), olderBytes);
            EXPECT_EQ(Entries(f.folder), QStringList{"index.db"});
        }
    }
    EXPECT_EQ(recorder.statuses.last(), QStringLiteral("Propagation failed for 3 of 5 targets"));
}

TEST_F(RemotePropagatorTest, ACopyDamagedInTransitFailsItsTargetAlone) {
    const QString damaged = FarFolderWithOlderIndex("damaged");
    const QString good = FarFolderWithOlderIndex("good");
    const QString local = tmp.filePath("local");
    const QString damagedTarget = server->Target(damaged);
    int seen = 0;
    zarvik::propagation::SetCopyArrivedHookForTesting([&](const QString& target, const QString& copy) {
        if (target != damagedTarget) return;
        ++seen;
        // The far side is this machine: the copy is reachable as a file here.
        EXPECT_TRUE(copy.startsWith(damaged + "/index.db.propagating-")) << copy.toStdString();
        QFile f(copy);
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        f.seek(f.size() / 3);
        f.write("\x13\x37");
    });
    EXPECT_FALSE(Propagate(propagator, source, {server->Target(good), damagedTarget, local}));
    EXPECT_EQ(seen, 1);
    EXPECT_EQ(ReadAll(damaged + "/index.db"), olderBytes);
    EXPECT_EQ(Entries(damaged), QStringList{"index.db"});
    EXPECT_EQ(ReadAll(good + "/index.db"), indexBytes);
    EXPECT_EQ(ReadAll(local + "/index.db"), indexBytes);
    const QList<QJsonObject> entries = EventLog(log);
    ASSERT_EQ(entries.size(), 1) << ReadAll(log).toStdString();
    const QString message = entries[0].value("message").toString();
    EXPECT_TRUE(message.contains(damagedTarget)) << message.toStdString();
    EXPECT_TRUE(message.contains("the copy differs from the index file")) << message.toStdString();
    EXPECT_TRUE(message.contains("the copy was not put in place")) << message.toStdString();
}

TEST_F(RemotePropagatorTest, AnIndexThatFailsQuickCheckReachesNoFarSide) {
    // Pages overwritten behind the build's back: the copy is byte for byte the index,
    // and still no far side may take it.
    ASSERT_NO_FATAL_FAILURE(testsupport::OverwritePages(source + "/index.db"));
    const QString far = FarFolderWithOlderIndex("checked");
    EXPECT_FALSE(Propagate(propagator, source, {server->Target(far)}));
    EXPECT_EQ(ReadAll(far + "/index.db"), olderBytes);
    EXPECT_EQ(Entries(far), QStringList{"index.db"});
    const QList<QJsonObject> entries = EventLog(log);
    ASSERT_EQ(entries.size(), 1);
    EXPECT_TRUE(entries[0].value("message").toString().contains("PRAGMA quick_check"))
        << entries[0].value("message").toString().toStdString();
}

TEST_F(RemotePropagatorTest, AKillHalfWayLeavesTheOldOrTheNewIndexAndTheNextRunCleansUp) {
    const QString far = FarFolderWithOlderIndex("killed");
    const QString target = server->Target(far);
    const auto runTool = [&](QProcess& tool) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        tool.setProcessEnvironment(env);
        tool.start(QStringLiteral(LUMORA_PROPAGATE_TOOL), {source, target});
        return tool.waitForStarted(5000);
    };
    // A copy a killed run from this machine left behind goes; one of a run from
    // another machine is not this machine's to judge, and stays.
    QString host;
    for (QChar c : QSysInfo::machineHostName())
        if (c.isLetterOrNumber() && c.unicode() < 128) host += c;
    const QString leftBehind = far + "/index.db.propagating-999999999@" + host + "-1f2e";
    const QString foreign = far + "/index.db.propagating-1@elsewhere" + host + "-1f2e";
    ASSERT_TRUE(WriteFile(leftBehind, "half a copy"));
    ASSERT_TRUE(WriteFile(foreign, "another machine's copy"));
    // How long a whole run takes here: the kills fall anywhere inside it.
    QElapsedTimer whole;
    whole.start();
    {
        QProcess tool;
        ASSERT_TRUE(runTool(tool));
        ASSERT_TRUE(tool.waitForFinished(60000));
        ASSERT_EQ(tool.exitCode(), 0)
            << tool.readAllStandardError().toStdString() << ReadAll(log).toStdString();
    }
    EXPECT_FALSE(QFile::exists(leftBehind));
    EXPECT_TRUE(QFile::exists(foreign));
    ASSERT_TRUE(QFile::remove(foreign));
    const int span = int(std::max<qint64>(whole.elapsed(), 20));
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(WriteFile(far + "/index.db", olderBytes));
        const int delay = int(QRandomGenerator::global()->bounded(span));
        SCOPED_TRACE(QStringLiteral("killed after %1 of %2 ms").arg(delay).arg(span).toStdString());
        QProcess tool;
        ASSERT_TRUE(runTool(tool));
        QThread::msleep(delay);
        tool.kill();
        ASSERT_TRUE(tool.waitForFinished(10000));
        const QByteArray now = ReadAll(far + "/index.db");
        EXPECT_TRUE(now == olderBytes || now == indexBytes)
            << "index.db is neither the old nor the new index";
        // The far side's end of a killed connection goes away on its own time.
        QThread::msleep(300);
        EXPECT_TRUE(Propagate(propagator, source, {target})) << ReadAll(log).toStdString();
        EXPECT_EQ(ReadAll(far + "/index.db"), indexBytes);
        EXPECT_EQ(Entries(far), QStringList{"index.db"});
    }
}

}  // namespace
