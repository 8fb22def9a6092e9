// TargetPropagator on local folders: copies of a built index, checks before a copy
// goes in place, several targets at once, hostile target texts, and the event log.
#include "zarvik/propagation/targetpropagator.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "propagation_support.h"
#include "support/damagedindex.h"

namespace {

using namespace proptest;

class PropagatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        source = BuildIndex(tmp.path(), 3000, "alpha");
        ASSERT_FALSE(source.isEmpty());
        // Left beside the index by a build running right now, by the checks before a
        // swap and by the swap itself: never to be copied.
        ASSERT_TRUE(WriteFile(source + "/index.db.staging", "half a build"));
        ASSERT_TRUE(WriteFile(source + "/index.previous.db", "the index before"));
        ASSERT_TRUE(WriteFile(source + "/index.rejected.db", "a refused index"));
        indexBytes = ReadAll(source + "/index.db");
        ASSERT_GT(indexBytes.size(), 0);
        propagator.SetStatusHandler(&recorder);
        log = tmp.filePath("events.jsonl");
        qputenv("ZARVIK_EVENT_LOG", QFile::encodeName(log));
    }
    void TearDown() override {
        qunsetenv("ZARVIK_EVENT_LOG");
        zarvik::propagation::SetCopyArrivedHookForTesting({});
    }

    QTemporaryDir tmp;
    QString source;
    QString log;
    QByteArray indexBytes;
    Recorder recorder;
    zarvik::propagation::TargetPropagator propagator;
};

TEST_F(PropagatorTest, CopiesTheIndexToEveryTargetAtOnceAndReplacesAnOlderOne) {
    QStringList targets;
    for (int i = 0; i < 6; ++i) targets << tmp.filePath(QStringLiteral("replicas/%1/catalog").arg(i));
    const QString older = targets[5];
    ASSERT_TRUE(QDir().mkpath(older));
    ASSERT_TRUE(WriteFile(older + "/index.db", "an older index"));
    // Run by a process killed half-way: removed by this propagation.
    ASSERT_TRUE(WriteFile(older + "/index.db.propagating-999999999-abcdef", "a half copy"));

    EXPECT_TRUE(Propagate(propagator, source, targets));
    EXPECT_EQ(propagator.FailedTargets(), 0);
    for (const QString& target : targets) {
        EXPECT_EQ(ReadAll(target + "/index.db"), indexBytes) << target.toStdString();
        EXPECT_EQ(Entries(target), QStringList{"index.db"}) << target.toStdString();
    }
    EXPECT_EQ(recorder.statuses.value(0), QStringLiteral("Propagating: 0 of 6 targets done, 0 MB/s"));
    // The count of targets done only grows.
    int before = 0;
    for (const QString& status : recorder.statuses.filter(QRegularExpression("^Propagating: "))) {
        const int doneNow = status.section(' ', 1, 1).toInt();
        EXPECT_GE(doneNow, before) << status.toStdString();
        before = doneNow;
    }
    EXPECT_TRUE(recorder.statuses.filter(QRegularExpression("^Propagating: 6 of 6 targets done, \\d+ MB/s$"))
                    .size() == 1)
        << recorder.statuses.join('\n').toStdString();
    EXPECT_EQ(recorder.statuses.last(), QStringLiteral("Propagation finished: 6 targets"));
    EXPECT_TRUE(EventLog(log).isEmpty());
}

TEST_F(PropagatorTest, CopiesFourTargetsAtOnceAndNoMore) {
    // Each copy, once arrived, waits (bounded) for the fourth to arrive: copied one
    // after another, the first would wait alone; more than four at once would show.
    std::mutex mutex;
    std::condition_variable arrived;
    int inFlight = 0;
    int most = 0;
    int total = 0;
    zarvik::propagation::SetCopyArrivedHookForTesting([&](const QString&, const QString&) {
        std::unique_lock lock(mutex);
        ++total;
        most = std::max(most, ++inFlight);
        arrived.notify_all();
        arrived.wait_for(lock, std::chrono::seconds(5), [&] { return total >= 4; });
        --inFlight;
    });
    QStringList targets;
    for (int i = 0; i < 7; ++i) targets << tmp.filePath(QStringLiteral("at-once/%1").arg(i));
    EXPECT_TRUE(Propagate(propagator, source, targets));
    EXPECT_EQ(total, 7);
    EXPECT_EQ(most, zarvik::propagation::TargetPropagator::kParallelTargets);
    for (const QString& target : targets) EXPECT_EQ(ReadAll(target + "/index.db"), indexBytes);
}

// What a copy goes through in transit, and what the failure says.
struct Damage {
    const char* name;
    std::function<void(const QString& copy)> damage;
    const char* reason;
};

TEST_F(PropagatorTest, ADamagedCopyFailsItsTargetAloneAndTheOldIndexStays) {
    const Damage cases[] = {
        {"one byte flipped",
         [](const QString& copy) {
             QFile f(copy);
             ASSERT_TRUE(f.open(QIODevice::ReadWrite));
             f.seek(f.size() / 2);
             char c = 0;
             f.getChar(&c);
             f.seek(f.size() / 2);
             f.putChar(char(c ^ 0x5a));
         },
         "the copy differs from the index file"},
        {"cut short", [](const QString& copy) { QFile(copy).resize(QFileInfo(copy).size() - 4096); },
         "bytes, the index file"},
        {"grown",
         [](const QString& copy) {
             QFile f(copy);
             ASSERT_TRUE(f.open(QIODevice::Append));
             f.write("trailing");
         },
         "bytes, the index file"},
    };
    for (const Damage& c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(log);
        recorder.statuses.clear();
        const QString damaged = tmp.filePath(QStringLiteral("damaged-%1").arg(c.name).replace(' ', '-'));
        const QString good1 = tmp.filePath(QStringLiteral("good1-%1").arg(c.name).replace(' ', '-'));
        const QString good2 = tmp.filePath(QStringLiteral("good2-%1").arg(c.name).replace(' ', '-'));
        ASSERT_TRUE(QDir().mkpath(damaged));
        ASSERT_TRUE(WriteFile(damaged + "/index.db", "the old index"));
        int seen = 0;
        zarvik::propagation::SetCopyArrivedHookForTesting([&](const QString& target, const QString& copy) {
            if (target != damaged) return;
            ++seen;
            EXPECT_TRUE(copy.startsWith(damaged + "/index.db.propagating-")) << copy.toStdString();
            c.damage(copy);
        });
        EXPECT_FALSE(Propagate(propagator, source, {good1, damaged, good2}));
        EXPECT_EQ(seen, 1);
        EXPECT_EQ(ReadAll(damaged + "/index.db"), QByteArray("the old index"));
        EXPECT_EQ(Entries(damaged), QStringList{"index.db"});
        for (const QString& good : {good1, good2}) EXPECT_EQ(ReadAll(good + "/index.db"), indexBytes);
        const QList<QJsonObject> entries = EventLog(log);
        ASSERT_EQ(entries.size(), 1);
        EXPECT_EQ(entries[0].value("type").toInt(-1), 0);
        const QString message = entries[0].value("message").toString();
        EXPECT_TRUE(message.contains(damaged)) << message.toStdString();
        EXPECT_TRUE(message.contains(QString::fromUtf8(c.reason))) << message.toStdString();
        EXPECT_TRUE(message.contains("the copy was not put in place")) << message.toStdString();
        EXPECT_EQ(recorder.statuses.last(), QStringLiteral("Propagation failed for 1 of 3 targets"));
    }
}

TEST_F(PropagatorTest, AnIndexThatFailsQuickCheckGoesNowhere) {
    // Pages of the index overwritten behind the build's back: every byte of the copy
    // matches the source, and the copy is still refused.
    ASSERT_NO_FATAL_FAILURE(testsupport::OverwritePages(source + "/index.db"));
    const QString target = tmp.filePath("replica");
    ASSERT_TRUE(QDir().mkpath(target));
    ASSERT_TRUE(WriteFile(target + "/index.db", "the old index"));
    EXPECT_FALSE(Propagate(propagator, source, {target}));
    EXPECT_EQ(ReadAll(target + "/index.db"), QByteArray("the old index"));
    EXPECT_EQ(Entries(target), QStringList{"index.db"});
    const QList<QJsonObject> entries = EventLog(log);
    ASSERT_EQ(entries.size(), 1);
    EXPECT_TRUE(entries[0].value("message").toString().contains("fails PRAGMA quick_check"))
        << entries[0].value("message").toString().toStdString();
}

TEST_F(PropagatorTest, HostileTargetTextsAreRefusedBeforeAnythingStarts) {
    // ssh and rsync that only record that they were started.
    const QString bin = tmp.filePath("bin");
    const QString started = tmp.filePath("started");
    ASSERT_TRUE(QDir().mkpath(bin));
    for (const char* tool : {"ssh", "rsync"}) {
        const QString path = bin + "/" + tool;
        ASSERT_TRUE(WriteFile(path, "#!/bin/sh\necho \"$0 $*\" >> '" + QFile::encodeName(started) +
                                        "'\necho 'fake: no route to host' >&2\nexit 255\n"));
        QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ExeOwner);
    }
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(bin) + ":" + path);

    const QStringList hostile{
        QStringLiteral("ssh://-oProxyCommand=sh%20-c%20reboot/srv/idx"),
        QStringLiteral("ssh://web1/srv/idx;touch /tmp/owned"),
        QStringLiteral("ssh://web1/srv/`touch /tmp/owned`"),
        QStringLiteral("ssh://web1/srv/idx\ntouch /tmp/owned"),
        QStringLiteral("ssh://web1;touch/srv/idx"),
        QStringLiteral("ssh://-l@web1/srv/idx"),
    };
    const QString local = tmp.filePath("local");
    EXPECT_FALSE(Propagate(propagator, source, hostile + QStringList{local}));
    EXPECT_FALSE(QFile::exists(started)) << ReadAll(started).toStdString();
    EXPECT_EQ(ReadAll(local + "/index.db"), indexBytes);
    const QList<QJsonObject> entries = EventLog(log);
    EXPECT_EQ(entries.size(), hostile.size());
    for (const QString& text : hostile) {
        // A line break is written out: an entry stays one line of the log.
        const QList<QJsonObject> named =
            EntriesNaming(entries, QString(text).replace('\n', QLatin1String("\\n")));
        ASSERT_EQ(named.size(), 1) << text.toStdString();
        EXPECT_TRUE(named[0].value("message").toString().contains("was refused")) << text.toStdString();
    }

    // The same recorder sees a target that is not refused: ssh is started, and its
    // own words are the reason in the event log.
    QFile::remove(log);
    EXPECT_FALSE(Propagate(propagator, source, {QStringLiteral("ssh://web1.invalid/srv/idx")}));
    qputenv("PATH", path);
    EXPECT_TRUE(ReadAll(started).contains("-o BatchMode=yes")) << ReadAll(started).toStdString();
    const QList<QJsonObject> after = EventLog(log);
    ASSERT_EQ(after.size(), 1);
    EXPECT_TRUE(after[0].value("message").toString().contains("fake: no route to host"))
        << after[0].value("message").toString().toStdString();
}

TEST_F(PropagatorTest, EventLog_UnwritableTargetFailsAloneWithOneEntry) {
    const QString good = tmp.filePath("replicas/good");
    // A regular file where the target folder should be: no folder can be made there,
    // whoever runs the test (root included).
    const QString blocked = tmp.filePath("replicas/blocked");
    ASSERT_TRUE(QDir().mkpath(tmp.filePath("replicas")));
    ASSERT_TRUE(WriteFile(blocked, "not a folder"));

    bool ok = true;
    try {
        ok = Propagate(propagator, source, {blocked, good});
    } catch (const component::Error& e) {
        FAIL() << "Propagate raised: " << e.Description().toStdString();
    }
    EXPECT_FALSE(ok);
    EXPECT_EQ(ReadAll(good + "/index.db"), indexBytes);
    EXPECT_EQ(Entries(good), QStringList{"index.db"});
    EXPECT_EQ(ReadAll(blocked), QByteArray("not a folder"));

    const QList<QJsonObject> entries = EventLog(log);
    ASSERT_EQ(entries.size(), 1);
    EXPECT_EQ(entries[0].value("type").toInt(-1), 0);
    EXPECT_TRUE(entries[0].value("message").toString().contains(blocked));
    EXPECT_TRUE(entries[0].value("message").toString().contains("Not a directory"));  // the system's reason
    EXPECT_FALSE(entries[0].value("message").toString().contains(good));
}

TEST_F(PropagatorTest, AnUnwritableEventLogStillGivesFalseForTheFailedTargets) {
    // The log names a folder, so no entry can be appended to it.
    qputenv("ZARVIK_EVENT_LOG", QFile::encodeName(tmp.path()));
    ASSERT_TRUE(QDir().mkpath(tmp.filePath("replicas")));
    const QString blocked1 = tmp.filePath("replicas/blocked1");
    const QString blocked2 = tmp.filePath("replicas/blocked2");
    const QString good = tmp.filePath("replicas/good");
    ASSERT_TRUE(WriteFile(blocked1, "not a folder"));
    ASSERT_TRUE(WriteFile(blocked2, "not a folder"));
    bool ok = true;
    bool raised = false;
    try {
        ok = Propagate(propagator, source, {blocked1, good, blocked2});
    } catch (const component::Error&) {
        raised = true;
    }
    EXPECT_FALSE(raised);
    EXPECT_FALSE(ok);
    EXPECT_EQ(ReadAll(good + "/index.db"), indexBytes);
    EXPECT_EQ(recorder.statuses.value(recorder.statuses.size() - 1),
              QStringLiteral("Propagation failed for 2 of 3 targets"));
    EXPECT_EQ(propagator.FailedTargets(), 2);
    // The count is that of the last run only.
    EXPECT_TRUE(Propagate(propagator, source, {good}));
    EXPECT_EQ(propagator.FailedTargets(), 0);
}

}  // namespace
