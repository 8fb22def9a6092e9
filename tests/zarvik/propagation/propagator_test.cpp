// FolderPropagator: copies of a built index to its targets, and the event log of failures.
#include "zarvik/propagation/propagator.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include "zarvik/index/indexbuilder.h"

namespace {

class Recorder : public component::IStatusHandler {
public:
    void UpdateStatus(const QString& msg) override { statuses << msg; }
    void ProcessEvents() override { ++events; }
    QStringList statuses;
    int events = 0;
};

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void WriteFile(const QString& path, const QByteArray& data) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(data);
}

class PropagatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        // A real index, built as a build leaves it: index.db beside its lock file.
        const QString docs = tmp.filePath("docs.db");
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(QFile::encodeName(docs).constData(), &db), SQLITE_OK);
        ASSERT_EQ(
            sqlite3_exec(db,
                         "CREATE TABLE DOCUMENT(DOCID INTEGER PRIMARY KEY, BODY TEXT);"
                         "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3000) "
                         "INSERT INTO DOCUMENT SELECT i, 'harbour lantern meadow ' || i FROM n;",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
        sqlite3_close(db);
        source = tmp.filePath("index");
        zarvik::Fts5IndexBuilder builder;
        builder.Configure(nullptr, nullptr, QStringLiteral("catalog"), source,
                          QStringLiteral("Provider=SQLite;Database=") + docs, QString(), QString(), QString(),
                          QString(), QStringLiteral("SELECT DOCID, BODY FROM DOCUMENT"));
        ASSERT_TRUE(builder.Build());
        // Left by a build that is running right now: never to be copied.
        WriteFile(source + "/index.db.staging", "half a build");
        indexBytes = ReadAll(source + "/index.db");
        ASSERT_GT(indexBytes.size(), 0);
        propagator.SetStatusHandler(&recorder);
    }

    static QStringList Entries(const QString& folder) {
        return QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    }

    QTemporaryDir tmp;
    QString source;
    QByteArray indexBytes;
    Recorder recorder;
    zarvik::FolderPropagator propagator;
};

TEST_F(PropagatorTest, CopiesTheIndexToEveryTargetAndReplacesAnOlderOne) {
    const QString fresh = tmp.filePath("replicas/one/catalog");  // its parents do not exist yet
    const QString older = tmp.filePath("replicas/two");
    ASSERT_TRUE(QDir().mkpath(older));
    WriteFile(older + "/index.db", "an older index");

    EXPECT_TRUE(propagator.Propagate(source, {fresh, older}));
    EXPECT_EQ(propagator.FailedTargets(), 0);
    for (const QString& target : {fresh, older}) {
        EXPECT_EQ(ReadAll(target + "/index.db"), indexBytes) << target.toStdString();
        EXPECT_EQ(Entries(target), QStringList{"index.db"}) << target.toStdString();
    }
    EXPECT_TRUE(recorder.statuses.contains(QStringLiteral("Propagating to %1 (1 of 2)").arg(fresh)));
    EXPECT_TRUE(recorder.statuses.contains(QStringLiteral("Propagating to %1 (2 of 2)").arg(older)));
}

TEST_F(PropagatorTest, EventLog_UnwritableTargetFailsAloneWithOneEntry) {
    const QString log = tmp.filePath("events.jsonl");
    qputenv("ZARVIK_EVENT_LOG", QFile::encodeName(log));
    const QString good = tmp.filePath("replicas/good");
    // A regular file where the target folder should be: no folder can be made there,
    // whoever runs the test (root included).
    const QString blocked = tmp.filePath("replicas/blocked");
    ASSERT_TRUE(QDir().mkpath(tmp.filePath("replicas")));
    WriteFile(blocked, "not a folder");

    bool ok = true;
    try {
        ok = propagator.Propagate(source, {blocked, good});
    } catch (const component::Error& e) {
        qunsetenv("ZARVIK_EVENT_LOG");
        FAIL() << "Propagate raised: " << e.Description().toStdString();
    }
    qunsetenv("ZARVIK_EVENT_LOG");
    EXPECT_FALSE(ok);
    EXPECT_EQ(ReadAll(good + "/index.db"), indexBytes);
    EXPECT_EQ(Entries(good), QStringList{"index.db"});
    EXPECT_EQ(ReadAll(blocked), QByteArray("not a folder"));

    const QList<QByteArray> lines = ReadAll(log).split('\n');
    QList<QJsonObject> entries;
    for (const QByteArray& line : lines) {
        if (!line.trimmed().isEmpty()) entries << QJsonDocument::fromJson(line).object();
    }
    ASSERT_EQ(entries.size(), 1);
    EXPECT_EQ(entries[0].value("type").toInt(-1), 0);
    EXPECT_TRUE(entries[0].value("message").toString().contains(blocked));
    EXPECT_FALSE(entries[0].value("message").toString().contains(good));
}

TEST_F(PropagatorTest, AnUnwritableEventLogStillGivesFalseForTheFailedTargets) {
    // The log names a folder, so no entry can be appended to it.
    qputenv("ZARVIK_EVENT_LOG", QFile::encodeName(tmp.path()));
    ASSERT_TRUE(QDir().mkpath(tmp.filePath("replicas")));
    const QString blocked1 = tmp.filePath("replicas/blocked1");
    const QString blocked2 = tmp.filePath("replicas/blocked2");
    const QString good = tmp.filePath("replicas/good");
    WriteFile(blocked1, "not a folder");
    WriteFile(blocked2, "not a folder");
    bool ok = true;
    bool raised = false;
    try {
        ok = propagator.Propagate(source, {blocked1, good, blocked2});
    } catch (const component::Error&) {
        raised = true;
    }
    qunsetenv("ZARVIK_EVENT_LOG");
    EXPECT_FALSE(raised);
    EXPECT_FALSE(ok);
    EXPECT_EQ(ReadAll(good + "/index.db"), indexBytes);
    EXPECT_EQ(recorder.statuses.value(recorder.statuses.size() - 1),
              QStringLiteral("Propagation failed for 2 of 3 targets"));
    EXPECT_EQ(propagator.FailedTargets(), 2);
    // The count is that of the last run only.
    EXPECT_TRUE(propagator.Propagate(source, {good}));
    EXPECT_EQ(propagator.FailedTargets(), 0);
}

}  // namespace
