// Start-up as an administrator or a scheduler sees it: the program run as a process
// without a display, its standard error and its exit status.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "support/headlessenv.h"

namespace {

struct ProcessResult {
    int exitCode = -1;
    QString stderrText;
};

const char* kMinimalConfig = R"(<?xml version="1.0" encoding="UTF-8"?>
<IndexConfiguration>
  <Index name="sales" display="Sales documents">
    <IndexPath>indexes/sales</IndexPath>
    <DbDataSources>
      <DataSource name="RAdozudo">Provider=SQLite;Database=app.db</DataSource>
    </DbDataSources>
    <IndexSetting1>SELECT DOCID, TITLE FROM DOCUMENT</IndexSetting1>
  </Index>
</IndexConfiguration>
)";

// The program in a folder of its own, so each test has its own configuration.
class StartupTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        program = dir.filePath(QStringLiteral("TessalyIndexManager"));
        ASSERT_TRUE(QFile::copy(QStringLiteral(LUMORA_BINARY), program));
        eventLog = dir.filePath(QStringLiteral("events.jsonl"));
    }

    void WriteConfig(const QByteArray& text) {
        QFile file(dir.filePath(QStringLiteral("IndexConfiguration.xml")));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
    }

    // With watchLoading, the dynamic loader writes every library it loads to files
    // dir/loaded.PID, which PlatformPluginLoaded reads.
    ProcessResult Start(const QStringList& arguments, bool watchLoading = false) {
        QProcess process;
        QProcessEnvironment environment = testsupport::HeadlessEnvironment(eventLog);
        if (watchLoading) {
            environment.insert(QStringLiteral("LD_DEBUG"), QStringLiteral("files"));
            environment.insert(QStringLiteral("LD_DEBUG_OUTPUT"), dir.filePath(QStringLiteral("loaded")));
        }
        process.setProcessEnvironment(environment);
        process.start(program, arguments);
        EXPECT_TRUE(process.waitForFinished(120000));
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                QString::fromUtf8(process.readAllStandardError())};
    }

    // Whether a started program loaded a Qt platform plugin, which only an application
    // object of widgets (QApplication, QGuiApplication) does.
    bool PlatformPluginLoaded() const {
        for (const QFileInfo& file : QDir(dir.path()).entryInfoList({QStringLiteral("loaded.*")})) {
            QFile log(file.filePath());
            if (log.open(QIODevice::ReadOnly) && log.readAll().contains("/platforms/")) return true;
        }
        return false;
    }

    QStringList EventLines() const {
        QFile file(eventLog);
        if (!file.open(QIODevice::ReadOnly)) return {};
        return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    QTemporaryDir dir;
    QString program;
    QString eventLog;
};

QString Block(const char* kind, const QString& text) {
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return QStringLiteral("Lumora Index Manager [%1]\n").arg(QLatin1String(kind)) + shown + QStringLiteral("\n\n");
}

const QString kAutoWarning = Block("Warning", QStringLiteral("Automated run requires an index name.\r\n"
                                                             "If you use /auto you must also supply /index."));

struct ArgumentCase {
    const char* name;
    QStringList arguments;
    int exitCode;
    QString stderrText;
};

class ArgumentTest : public StartupTest, public ::testing::WithParamInterface<ArgumentCase> {};

TEST_P(ArgumentTest, EndsWithTheRightBoxAndStatus) {
    WriteConfig(kMinimalConfig);
    const ProcessResult run = Start(GetParam().arguments, true);
    EXPECT_EQ(run.exitCode, GetParam().exitCode);
    EXPECT_EQ(run.stderrText.toStdString(), GetParam().stderrText.toStdString());
    // Only a start that may show the dialog loads a platform, even without a display.
    EXPECT_EQ(PlatformPluginLoaded(), !GetParam().arguments.contains(QStringLiteral("/auto")));
    // Nothing was built in any of these runs.
    EXPECT_FALSE(QFileInfo::exists(dir.filePath(QStringLiteral("indexes/sales"))));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ArgumentTest,
    ::testing::Values(
        ArgumentCase{"NoArguments", {}, 0, QString()},
        ArgumentCase{"IndexWithoutAuto", {QStringLiteral("/index"), QStringLiteral("sales")}, 0, QString()},
        ArgumentCase{"AutoAlone", {QStringLiteral("/auto")}, 1, kAutoWarning},
        ArgumentCase{"AutoWithEmptyIndex", {QStringLiteral("/auto"), QStringLiteral("/index")}, 1, kAutoWarning},
        ArgumentCase{"UnknownIndex", {QStringLiteral("/index"), QStringLiteral("Sales")}, 1,
                     Block("Information", QStringLiteral("Unable to load index (Sales):\r\n"
                                                         "Index not found in configuration file."))},
        ArgumentCase{"UnknownIndexAutomated", {QStringLiteral("/auto"), QStringLiteral("/index"), QStringLiteral("Nope")},
                     1, Block("Information", QStringLiteral("Unable to load index (Nope):\r\n"
                                                            "Index not found in configuration file."))}),
    [](const ::testing::TestParamInfo<ArgumentCase>& info) { return std::string(info.param.name); });

// The usage box alone, although the other switches are valid.
TEST_F(StartupTest, HelpShowsOnlyTheUsageBox) {
    WriteConfig(kMinimalConfig);
    const ProcessResult run = Start({QStringLiteral("/help"), QStringLiteral("/auto"), QStringLiteral("/index"), QStringLiteral("sales")});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.stderrText.startsWith(QStringLiteral("Lumora Index Manager [Information]\nUsage:\n")));
    EXPECT_TRUE(run.stderrText.endsWith(QStringLiteral("Note: all arguments are optional.\n\n")));
    EXPECT_EQ(run.stderrText.count(QStringLiteral("Lumora Index Manager [")), 1);
}

// An argument with a blank reaches the parser quoted, as typed on Windows.
TEST_F(StartupTest, QuotedNameWithBlankIsSplitAsTyped) {
    WriteConfig(kMinimalConfig);
    const ProcessResult run = Start({QStringLiteral("/index"), QStringLiteral("My Idx")});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.stderrText.startsWith(
        QStringLiteral("Lumora Index Manager [Warning]\nUnknown command line argument \"Idx\"\".\n\nUsage:\n")))
        << run.stderrText.toStdString();
}

struct BrokenConfigCase {
    const char* name;
    QByteArray content;  // empty: no file at all
    const char* detail;  // expected somewhere in the component's description
};

class BrokenConfigTest : public StartupTest, public ::testing::WithParamInterface<BrokenConfigCase> {};

TEST_P(BrokenConfigTest, OneReportOneEventAndExitStatusOne) {
    if (!GetParam().content.isEmpty()) WriteConfig(GetParam().content);
    const ProcessResult run = Start({});
    EXPECT_EQ(run.exitCode, 1);
    const QString path = dir.filePath(QStringLiteral("IndexConfiguration.xml"));
    const QString head = QStringLiteral("Lumora Index Manager [Warning]\nUnable to initialize from ") + path +
                         QStringLiteral(":\n\n");
    EXPECT_TRUE(run.stderrText.startsWith(head)) << run.stderrText.toStdString();
    EXPECT_TRUE(run.stderrText.contains(QLatin1String(GetParam().detail))) << run.stderrText.toStdString();
    EXPECT_TRUE(run.stderrText.endsWith(QStringLiteral("\n\nPlease contact your administrator.\n\n")));
    EXPECT_EQ(run.stderrText.count(QStringLiteral("Lumora Index Manager [")), 1);
    const QStringList events = EventLines();
    ASSERT_EQ(events.size(), 1);
    EXPECT_TRUE(events.at(0).contains(QStringLiteral("\"source\":\"TessalyIndexManager (indexName=)\"")))
        << events.at(0).toStdString();
    EXPECT_TRUE(events.at(0).contains(QStringLiteral("Unable to initialize from ")));
}

INSTANTIATE_TEST_SUITE_P(
    Files, BrokenConfigTest,
    ::testing::Values(BrokenConfigCase{"Missing", QByteArray(), "IndexConfiguration.xml"},
                      BrokenConfigCase{"Malformed", QByteArray("<?xml version=\"1.0\"?>\n<IndexConfiguration>\n  <Index name=\"a\">\n</IndexConfiguration>\n"),
                                       "(4,"}),
    [](const ::testing::TestParamInfo<BrokenConfigCase>& info) { return std::string(info.param.name); });

// The scheduled job on a copy of the demo: the index is built, the user nodes and
// the propagation run, the results are written back, and the run says so only on
// its status lines.
TEST_F(StartupTest, AutomatedBuildOfTheDemoSucceeds) {
    const QDir demo(QStringLiteral(LUMORA_DEMO_DIR));
    ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("demo")));
    ASSERT_TRUE(QFile::copy(demo.filePath(QStringLiteral("IndexConfiguration.xml")),
                            dir.filePath(QStringLiteral("IndexConfiguration.xml"))));
    ASSERT_TRUE(QFile::copy(demo.filePath(QStringLiteral("demo/app.db")), dir.filePath(QStringLiteral("demo/app.db"))));

    const ProcessResult run =
        Start({QStringLiteral("/auto"), QStringLiteral("/index"), QStringLiteral("catalog")}, true);
    EXPECT_EQ(run.exitCode, 0) << run.stderrText.toStdString();
    // The scheduled run makes no widget, so it starts no application object of widgets.
    EXPECT_FALSE(PlatformPluginLoaded());
    EXPECT_FALSE(run.stderrText.contains(QStringLiteral("Lumora Index Manager ["))) << run.stderrText.toStdString();
    const QStringList lines = run.stderrText.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_TRUE(lines.first().startsWith(QStringLiteral("Indexing"))) << lines.first().toStdString();
    EXPECT_EQ(lines.last(), QStringLiteral("Propagation finished: 1 target"));

    QFile config(dir.filePath(QStringLiteral("IndexConfiguration.xml")));
    ASSERT_TRUE(config.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(config.readAll());
    const qsizetype catalog = text.indexOf(QStringLiteral("<Index name=\"catalog\""));
    const qsizetype titles = text.indexOf(QStringLiteral("<Index name=\"titles\""));
    ASSERT_GE(catalog, 0);
    const QString catalogPart = text.mid(catalog, titles - catalog);
    EXPECT_TRUE(catalogPart.contains(QStringLiteral("<NumDocuments>4000</NumDocuments>"))) << catalogPart.toStdString();
    EXPECT_FALSE(catalogPart.contains(QStringLiteral("<LastBuilt></LastBuilt>")));
    // The other index keeps its empty values.
    EXPECT_TRUE(text.mid(titles).contains(QStringLiteral("<NumDocuments></NumDocuments>")));
    EXPECT_TRUE(QFileInfo::exists(dir.filePath(QStringLiteral("indexes/catalog/index.db"))));
    EXPECT_TRUE(QFileInfo::exists(dir.filePath(QStringLiteral("replicas/one/catalog/index.db"))));
    EXPECT_TRUE(EventLines().isEmpty());
}

// A failed scheduled run reports, logs under the index's name and exits with 2.
TEST_F(StartupTest, AutomatedBuildFailureExitsWithTwo) {
    WriteConfig(kMinimalConfig);  // app.db does not exist: the build cannot read documents
    const ProcessResult run = Start({QStringLiteral("/auto"), QStringLiteral("/index"), QStringLiteral("sales")});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_TRUE(run.stderrText.contains(QStringLiteral("\n\nError Source: ")));
    // The user-node run fails on the same missing database and marks the build aborted.
    EXPECT_TRUE(run.stderrText.endsWith(QStringLiteral("Lumora Index Manager [Warning]\nIndexing aborted\n\n")))
        << run.stderrText.toStdString();
    const QStringList events = EventLines();
    ASSERT_GE(events.size(), 1);
    EXPECT_TRUE(events.at(0).contains(QStringLiteral("\"source\":\"TessalyIndexManager (indexName=sales)\"")))
        << events.at(0).toStdString();
    EXPECT_FALSE(QFileInfo::exists(dir.filePath(QStringLiteral("indexes/sales/index.db"))));
}

}  // namespace
