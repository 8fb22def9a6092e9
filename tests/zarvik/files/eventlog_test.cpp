// Tests of the event log: its file form (ZARVIK_EVENT_LOG) and how entries go to syslog.
#include "zarvik/files/eventlog.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include "component/error.h"

namespace {

class EventLogFileTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }
    void TearDown() override { qunsetenv("ZARVIK_EVENT_LOG"); }
    void UseFile(const QString& path) { qputenv("ZARVIK_EVENT_LOG", QFile::encodeName(path)); }

    QTemporaryDir m_dir;
};

TEST_F(EventLogFileTest, AppendsOneJsonLinePerEntry) {
    const QString path = m_dir.filePath(QStringLiteral("events.jsonl"));
    {
        QFile existing(path);
        ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
        existing.write("earlier\n");
    }
    UseFile(path);
    struct Entry {
        QString source;
        QString message;
        int type;
    };
    const QList<Entry> entries = {
        {QStringLiteral("TessalyIndexManager (indexName=Sales)"), QStringLiteral("line one\r\nline \"two\""),
         0},
        {QStringLiteral("A"), QStringLiteral("Ümlaut ok"), 1},
        {QStringLiteral("B"), QString(), 2},
        {QStringLiteral("C"), QStringLiteral("odd type"), 7},
    };
    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    for (const auto& e : entries) zarvik::files::WriteEvent(e.source, e.message, e.type);
    const QDateTime after = QDateTime::currentDateTime().addSecs(1);

    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    // What was there stays; each entry is one line; the file ends with a line break.
    ASSERT_EQ(lines.size(), entries.size() + 2);
    EXPECT_EQ(lines[0], "earlier");
    EXPECT_TRUE(lines.last().isEmpty());
    for (qsizetype i = 0; i < entries.size(); ++i) {
        QJsonParseError error{};
        const QJsonObject entry = QJsonDocument::fromJson(lines[i + 1], &error).object();
        ASSERT_EQ(error.error, QJsonParseError::NoError) << lines[i + 1].constData();
        EXPECT_EQ(entry.value(u"source").toString(), entries[i].source);
        EXPECT_EQ(entry.value(u"message").toString(), entries[i].message);
        EXPECT_EQ(entry.value(u"type").toInt(-1), entries[i].type);
        const QString time = entry.value(u"time").toString();
        // The time carries its offset from UTC.
        EXPECT_TRUE(time.endsWith(u'Z') || time.at(time.size() - 6) == u'+' ||
                    time.at(time.size() - 6) == u'-')
            << time.toStdString();
        const QDateTime written = QDateTime::fromString(time, Qt::ISODateWithMs);
        ASSERT_TRUE(written.isValid()) << time.toStdString();
        EXPECT_GE(written, before);
        EXPECT_LE(written, after);
    }
}

TEST_F(EventLogFileTest, UnwritableFileRaises) {
    const QString folder = m_dir.path();
    const QString missingFolder = m_dir.filePath(QStringLiteral("no/such/folder/events.jsonl"));
    // /dev/full accepts the open and refuses the write, also for root.
    const QString paths[] = {folder, missingFolder, QStringLiteral("/dev/full")};
    for (const auto& path : paths) {
        UseFile(path);
        try {
            zarvik::files::WriteEvent(QStringLiteral("S"), QStringLiteral("M"), 0);
            ADD_FAILURE() << "no error for " << path.toStdString();
        } catch (const component::Error& error) {
            EXPECT_EQ(error.Number(), component::errnum::kEventLog);
            EXPECT_TRUE(error.Description().contains(path)) << error.Description().toStdString();
        }
    }
}

struct SyslogCase {
    const char* source;
    const char* ident;
    const char* text;  // for the message "disk full"
};

class SyslogEntryTest : public testing::TestWithParam<SyslogCase> {};

TEST_P(SyslogEntryTest, TheIdentIsOneWordAndTheRestOfTheSourceLeadsTheText) {
    const SyslogCase& c = GetParam();
    const zarvik::files::SyslogEntry entry =
        zarvik::files::SyslogEntryFor(QString::fromUtf8(c.source), QStringLiteral("disk full"));
    EXPECT_EQ(entry.ident, QByteArray(c.ident));
    EXPECT_EQ(entry.text, QByteArray(c.text));
}

INSTANTIATE_TEST_SUITE_P(
    Sources, SyslogEntryTest,
    testing::Values(SyslogCase{"TessalyIndexManager (indexName=Sales)", "TessalyIndexManager",
                               "(indexName=Sales) disk full"},
                    SyslogCase{"ZarvikIndexing.IndexingServices", "ZarvikIndexing.IndexingServices",
                               "disk full"},
                    SyslogCase{"  Lead\tand  tail  ", "Lead", "and  tail disk full"},
                    SyslogCase{"TessalyIndexManager (indexName=Caf\xc3\xa9 \xe2\x82\xac)",
                               "TessalyIndexManager", "(indexName=Caf\xc3\xa9 \xe2\x82\xac) disk full"},
                    SyslogCase{"", "", "disk full"}));

}  // namespace
