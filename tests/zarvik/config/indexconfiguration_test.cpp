// Tests of IndexConfiguration over real files in a temporary folder.
#include "zarvik/config/indexconfiguration.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <optional>

#include "support/eventlogfile.h"
#include "support/verifysettings.h"

namespace {

using component::Error;
namespace errnum = component::errnum;

QByteArray ReadBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return "<unreadable>";
    return file.readAll();
}

void WriteBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(file.write(bytes), bytes.size());
}

// Runs f and returns the error it raised; fails the test when it raised none.
template <typename F>
Error Raised(F&& f) {
    try {
        f();
    } catch (const Error& error) {
        return error;
    }
    ADD_FAILURE() << "no error raised";
    return {};
}

const QByteArray kFull = R"(<?xml version="1.0" encoding="UTF-8"?>
<!-- the test configuration -->
<IndexConfiguration>
  <Index name="catalog" display="Catalog documents">
    <IndexPath> indexes/catalog </IndexPath>
    <IndexDataSource>Documents</IndexDataSource>
    <DbSetting1>appuser</DbSetting1>
    <DbSetting2>s&amp;cret</DbSetting2>
    <DbDataSources>
      <DataSource name="Primary">Provider=SQLite;Database=demo/app.db</DataSource>
      <DataSource name="Remote">
        Provider=PostgreSQL;Host=h;Database=app;User=%DbSetting1%
      </DataSource>
    </DbDataSources>
    <IndexSetting1>SELECT DOCID, TITLE FROM DOCUMENT WHERE X &lt; 3</IndexSetting1>
    <IndexSetting2>URL</IndexSetting2>
    <IndexSetting3></IndexSetting3>
    <IndexSetting4>2 3</IndexSetting4>
    <Future>ignored <b>by</b> this version</Future>
    <Propagations>
      <Target>replicas/one/catalog</Target>
      <Target></Target>
      <Target>/srv/two/catalog</Target>
      <Target> ssh://deploy@web1:2222/srv/search/catalog </Target>
      <Target>SSH://web2//srv/search/../catalog</Target><Target>store:s3idx:indexes/catalog</Target>
    </Propagations>
    <LastBuilt>2024-05-01 10:00:00</LastBuilt>
    <NumDocuments>42</NumDocuments>
  </Index>
  <Index name="titles" display="Document titles only">
    <IndexPath>/abs/titles</IndexPath>
  </Index>
  <Index name="catalog" display="Second of that name"/>
</IndexConfiguration>
)";

class ConfigTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        ASSERT_TRUE(m_logDir.isValid());
        qputenv("ZARVIK_EVENT_LOG", QFile::encodeName(m_logDir.filePath(QStringLiteral("events.jsonl"))));
    }
    void TearDown() override { qunsetenv("ZARVIK_EVENT_LOG"); }
    // The messages of the warnings loading has written to the event log so far.
    QStringList Warnings() const {
        QStringList messages;
        for (const QJsonObject& entry :
             testsupport::EventLog(m_logDir.filePath(QStringLiteral("events.jsonl")))) {
            EXPECT_EQ(entry.value(u"type").toInt(-1), 1);
            messages << entry.value(u"message").toString();
        }
        return messages;
    }
    QString Write(const QByteArray& bytes, const QString& name = QStringLiteral("IndexConfiguration.xml")) {
        const QString path = m_dir.filePath(name);
        WriteBytes(path, bytes);
        return path;
    }
    QString Folder() const { return QFileInfo(m_dir.path()).canonicalFilePath(); }

    QTemporaryDir m_dir;
    QTemporaryDir m_logDir;
    zarvik::config::XmlIndexConfiguration m_config;
};

TEST_F(ConfigTest, LoadsValuesAndMakesPathsAbsolute) {
    const QString path = Write(kFull);
    m_config.LoadFromFile(path);
    // An element nobody reads and an index that cannot be built are named once, with
    // their line, when the file is loaded; a save reads the file again and names nothing.
    const QStringList warnings = {
        QStringLiteral("The element <Future> in the index \"catalog\" (line 19 of %1) is not one this "
                       "program knows; it is ignored.")
            .arg(path),
        QStringLiteral("The index \"catalog\" (line 33 of %1) has no <IndexPath>, or an empty one; it "
                       "cannot be built until one is given.")
            .arg(path)};
    EXPECT_EQ(Warnings(), warnings);
    const component::IndexList expectedList = {
        {QStringLiteral("catalog"), QStringLiteral("Catalog documents")},
        {QStringLiteral("titles"), QStringLiteral("Document titles only")},
        {QStringLiteral("catalog"), QStringLiteral("Second of that name")}};
    EXPECT_EQ(m_config.GetIndexList(), expectedList);
    // Nothing is current before LoadIndex.
    EXPECT_TRUE(m_config.IndexName().isEmpty());
    EXPECT_TRUE(m_config.IndexPath().isEmpty());
    EXPECT_TRUE(m_config.DbDataSources().isEmpty());

    m_config.LoadIndex(QStringLiteral("catalog"));
    const QString folder = m_dir.path();
    EXPECT_EQ(m_config.IndexName(), u"catalog");
    EXPECT_EQ(m_config.IndexPath(), folder + QStringLiteral("/indexes/catalog"));
    EXPECT_EQ(m_config.IndexDataSource(), u"Documents");
    EXPECT_EQ(m_config.DbSetting1(), u"appuser");
    EXPECT_EQ(m_config.DbSetting2(), u"s&cret");
    const component::DataSourceList expectedSources = {
        {QStringLiteral("Primary"),
         QStringLiteral("Provider=SQLite;Database=") + folder + QStringLiteral("/demo/app.db")},
        {QStringLiteral("Remote"),
         QStringLiteral("Provider=PostgreSQL;Host=h;Database=app;User=%DbSetting1%")}};
    EXPECT_EQ(m_config.DbDataSources(), expectedSources);
    EXPECT_EQ(m_config.Settings().query, u"SELECT DOCID, TITLE FROM DOCUMENT WHERE X < 3");
    EXPECT_EQ(m_config.Settings().storedColumns, u"URL");
    EXPECT_EQ(m_config.Settings().tokenizer, u"");
    EXPECT_EQ(m_config.Settings().prefix, u"2 3");
    // Targets of a named kind stay as written: made "absolute" here they would
    // become a local folder named "ssh:".
    EXPECT_EQ(m_config.Settings().targets, QStringList({folder + QStringLiteral("/replicas/one/catalog"),
                                                    QStringLiteral("/srv/two/catalog"),
                                                    QStringLiteral("ssh://deploy@web1:2222/srv/search/catalog"),
                                                    QStringLiteral("SSH://web2//srv/search/../catalog"),
                                                    QStringLiteral("store:s3idx:indexes/catalog")}));
    EXPECT_EQ(m_config.LastBuilt(), u"2024-05-01 10:00:00");
    EXPECT_EQ(m_config.NumDocuments(), u"42");

    m_config.LoadIndex(QStringLiteral("titles"));
    EXPECT_EQ(m_config.IndexPath(), u"/abs/titles");
    EXPECT_TRUE(m_config.Settings().targets.isEmpty());
    EXPECT_TRUE(m_config.DbSetting1().isEmpty());
    EXPECT_TRUE(m_config.LastBuilt().isEmpty());
    m_config.SetLastBuilt(QStringLiteral("now"));
    EXPECT_EQ(Warnings(), warnings);
}

TEST_F(ConfigTest, RelativeFileNameIsTakenAgainstWorkingFolder) {
    const QString previous = QDir::currentPath();
    Write(kFull);
    ASSERT_TRUE(QDir::setCurrent(m_dir.path()));
    m_config.LoadFromFile(QStringLiteral("IndexConfiguration.xml"));
    ASSERT_TRUE(QDir::setCurrent(previous));
    m_config.LoadIndex(QStringLiteral("catalog"));
    EXPECT_EQ(m_config.IndexPath(), Folder() + QStringLiteral("/indexes/catalog"));
}

TEST_F(ConfigTest, PropagationsEmptyVariants) {
    const char* variants[] = {
        "",
        "<Propagations/>",
        "<Propagations></Propagations>",
        "<Propagations>\n  <!-- none yet -->\n</Propagations>",
        "<Propagations><Target>  </Target><Target/></Propagations>",
        "<Propagations><Other>x</Other></Propagations>",
    };
    for (const char* variant : variants) {
        const QByteArray text = QByteArray("<IndexConfiguration><Index name=\"a\" display=\"A\">") + variant +
                                "</Index></IndexConfiguration>";
        m_config.LoadFromFile(Write(text));
        m_config.LoadIndex(QStringLiteral("a"));
        EXPECT_TRUE(m_config.Settings().targets.isEmpty()) << variant;
    }
}

TEST_F(ConfigTest, LoadIndexByExactName) {
    m_config.LoadFromFile(Write(kFull));
    struct Case {
        const char* name;
        bool found;
        const char* display;  // of the index made current, by its IndexPath
    };
    const Case cases[] = {
        {"catalog", true, "/indexes/catalog"},  // the first of two of that name
        {"titles", true, "/abs/titles"},
        {"Catalog", false, ""},
        {"catalog ", false, ""},
        {"Catalog documents", false, ""},  // display texts are not names
        {"", false, ""},
    };
    for (const auto& c : cases) {
        const QString name = QString::fromUtf8(c.name);
        if (c.found) {
            m_config.LoadIndex(name);
            EXPECT_TRUE(m_config.IndexPath().endsWith(QString::fromUtf8(c.display))) << c.name;
            EXPECT_EQ(m_config.IndexName(), name);
        } else {
            const Error error = Raised([&] { m_config.LoadIndex(name); });
            EXPECT_EQ(error.Number(), errnum::kConfigNoIndex) << c.name;
            EXPECT_EQ(error.Source(), u"ZarvikIndexing.IndexConfiguration");
            EXPECT_TRUE(error.Description().contains(u'"' + name + u'"'))
                << error.Description().toStdString();
            EXPECT_TRUE(error.Description().contains(u"IndexConfiguration.xml"));
        }
    }
    EXPECT_EQ(m_config.LastBuilt(), u"");  // still the index of the last successful call, titles
}

TEST_F(ConfigTest, UserNodeMethodDefaultsToMemoryAndAnUnknownOneFailsLoadIndex) {
    struct Case {
        const char* element;                              // inside <Index name="a">, or "" for none
        std::optional<component::UserNodeMethod> method;  // none: LoadIndex fails
        const char* named;                                // the value the failure names
    };
    using M = component::UserNodeMethod;
    const Case cases[] = {
        {"", M::Memory, ""},
        {"<UserNodeMethod/>", M::Memory, ""},
        {"<UserNodeMethod>  </UserNodeMethod>", M::Memory, ""},
        {"<UserNodeMethod>memory</UserNodeMethod>", M::Memory, ""},
        {"<UserNodeMethod>queries</UserNodeMethod>", M::Queries, ""},
        {"<UserNodeMethod> Queries\n</UserNodeMethod>", M::Queries, ""},
        {"<UserNodeMethod>cte</UserNodeMethod>", std::nullopt, "cte"},
        {"<UserNodeMethod>memory queries</UserNodeMethod>", std::nullopt, "memory queries"},
        {"<UserNodeMethod>0</UserNodeMethod>", std::nullopt, "0"},
    };
    for (const Case& c : cases) {
        const QByteArray text = QByteArray("<IndexConfiguration><Index name='ok'/><Index name='a'>") +
                                c.element + "</Index></IndexConfiguration>";
        m_config.LoadFromFile(Write(text));
        m_config.LoadIndex(QStringLiteral("ok"));
        EXPECT_EQ(m_config.GetUserNodeMethod(), M::Memory);
        if (c.method) {
            m_config.LoadIndex(QStringLiteral("a"));
            EXPECT_EQ(m_config.GetUserNodeMethod(), *c.method) << c.element;
        } else {
            const Error error = Raised([&] { m_config.LoadIndex(QStringLiteral("a")); });
            EXPECT_EQ(error.Number(), errnum::kConfigLoad) << c.element;
            EXPECT_TRUE(error.Description().contains(u"<UserNodeMethod>"))
                << error.Description().toStdString();
            EXPECT_TRUE(error.Description().contains(u'"' + QString::fromUtf8(c.named) + u'"'))
                << error.Description().toStdString();
            EXPECT_EQ(m_config.IndexName(), u"ok") << "the index current before stays current";
        }
    }
}

TEST_F(ConfigTest, BuildModeDefaultsToFullAnd30AndAnUnknownValueFailsLoadIndex) {
    struct Case {
        const char* elements;                                // inside <Index name="a">
        std::optional<component::BuildModeSettings> settings;  // none: LoadIndex fails
        const char* named;                                   // the element and value the failure names
    };
    using M = component::BuildMode;
    const Case cases[] = {
        {"", component::BuildModeSettings{M::Full, 30}, ""},
        {"<BuildMode/><MaxChangedPercent> </MaxChangedPercent>", component::BuildModeSettings{M::Full, 30}, ""},
        {"<BuildMode> Changes\n</BuildMode>", component::BuildModeSettings{M::Changes, 30}, ""},
        {"<BuildMode>full</BuildMode><MaxChangedPercent>0</MaxChangedPercent>",
         component::BuildModeSettings{M::Full, 0}, ""},
        {"<BuildMode>changes</BuildMode><MaxChangedPercent>100</MaxChangedPercent>",
         component::BuildModeSettings{M::Changes, 100}, ""},
        {"<BuildMode>delta</BuildMode>", std::nullopt, "<BuildMode> of the index \"a\" in %1 holds \"delta\""},
        {"<MaxChangedPercent>101</MaxChangedPercent>", std::nullopt, "<MaxChangedPercent> of the index \"a\" in %1 holds \"101\""},
        {"<MaxChangedPercent>5%</MaxChangedPercent>", std::nullopt, "<MaxChangedPercent> of the index \"a\" in %1 holds \"5%\""},
        {"<MaxChangedPercent>-1</MaxChangedPercent>", std::nullopt, "<MaxChangedPercent> of the index \"a\" in %1 holds \"-1\""},
    };
    for (const Case& c : cases) {
        const QString path = Write(QByteArray("<IndexConfiguration><Index name='ok'/><Index name='a'>") + c.elements +
                                   "</Index></IndexConfiguration>");
        m_config.LoadFromFile(path);
        m_config.LoadIndex(QStringLiteral("ok"));
        EXPECT_EQ(m_config.Settings().buildMode, component::BuildModeSettings());
        if (c.settings) {
            m_config.LoadIndex(QStringLiteral("a"));
            EXPECT_EQ(m_config.Settings().buildMode, *c.settings) << c.elements;
        } else {
            const Error error = Raised([&] { m_config.LoadIndex(QStringLiteral("a")); });
            EXPECT_EQ(error.Number(), errnum::kConfigLoad) << c.elements;
            EXPECT_TRUE(error.Description().contains(QString::fromUtf8(c.named).arg(QFileInfo(path).absoluteFilePath())))
                << error.Description().toStdString();
            EXPECT_EQ(m_config.IndexName(), u"ok") << "the index current before stays current";
        }
    }
}

TEST_F(ConfigTest, PublishingDefaultsTo10And3AndAWrongCountFailsLoadIndex) {
    struct Case {
        const char* elements;                                 // inside <Index name="a">
        std::optional<component::PublishSettings> settings;  // none: LoadIndex fails
        const char* named;
    };
    const Case cases[] = {
        {"", component::PublishSettings{10, 3}, ""},
        {"<FullEvery> 4 </FullEvery><KeepPublished>1</KeepPublished>", component::PublishSettings{4, 1}, ""},
        {"<FullEvery>0</FullEvery>", std::nullopt, "<FullEvery> of the index \"a\" in %1 holds \"0\""},
        {"<KeepPublished>three</KeepPublished>", std::nullopt, "<KeepPublished> of the index \"a\" in %1 holds \"three\""},
    };
    for (const Case& c : cases) {
        const QString path = Write(QByteArray("<IndexConfiguration><Index name='ok'/><Index name='a'>") + c.elements +
                                   "</Index></IndexConfiguration>");
        m_config.LoadFromFile(path);
        if (c.settings) {
            m_config.LoadIndex(QStringLiteral("a"));
            EXPECT_EQ(m_config.Settings().publishing, *c.settings) << c.elements;
        } else {
            const Error error = Raised([&] { m_config.LoadIndex(QStringLiteral("a")); });
            EXPECT_TRUE(error.Description().contains(QString::fromUtf8(c.named).arg(QFileInfo(path).absoluteFilePath())))
                << error.Description().toStdString();
        }
    }
}

TEST_F(ConfigTest, ColumnWeightsAreNumbersFrom0AndAnythingElseFailsLoadIndex) {
    const std::pair<const char*, const char*> cases[] = {
        {"", ""},  // weights: none when LoadIndex fails
        {"<ColumnWeights> 10\n 1.50 </ColumnWeights>", "10 1.5"},
        {"<ColumnWeights>0 1e2</ColumnWeights>", "0 100"},
        {"<ColumnWeights>10,1</ColumnWeights>", nullptr},
        {"<ColumnWeights>-1</ColumnWeights>", nullptr},
        {"<ColumnWeights>nan</ColumnWeights>", nullptr},
        {"<ColumnWeights>1 2000000</ColumnWeights>", nullptr},
    };
    for (const auto& [elements, weights] : cases) {
        const QString path = Write(QByteArray("<IndexConfiguration><Index name='a'>") + elements +
                                   "</Index></IndexConfiguration>");
        m_config.LoadFromFile(path);
        if (weights) {
            m_config.LoadIndex(QStringLiteral("a"));
            EXPECT_EQ(m_config.Settings().columnWeights, QString::fromUtf8(weights)) << elements;
        } else {
            const Error error = Raised([&] { m_config.LoadIndex(QStringLiteral("a")); });
            EXPECT_TRUE(error.Description().contains(u"<ColumnWeights> of the index \"a\"")) << elements;
        }
    }
}

struct MalformedCase {
    const char* label;
    const char* text;
    int line;
    int column;
    const char* reason;  // part of the reader's or the loader's message
};

class MalformedTest : public ConfigTest, public testing::WithParamInterface<MalformedCase> {};

TEST_P(MalformedTest, NamesFileLineAndColumn) {
    const auto& c = GetParam();
    const QString path = Write(c.text);
    const Error error = Raised([&] { m_config.LoadFromFile(path); });
    EXPECT_EQ(error.Number(), errnum::kConfigLoad);
    EXPECT_EQ(error.Source(), u"ZarvikIndexing.IndexConfiguration");
    const QString prefix = QStringLiteral("%1(%2,%3): ").arg(path).arg(c.line).arg(c.column);
    EXPECT_TRUE(error.Description().startsWith(prefix))
        << error.Description().toStdString() << " / expected " << prefix.toStdString();
    EXPECT_TRUE(error.Description().contains(QString::fromUtf8(c.reason)))
        << error.Description().toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Table, MalformedTest,
    testing::Values(
        MalformedCase{"tag_mismatch", "<IndexConfiguration>\n  <Index name=\"a\">\n</IndexConfiguration>", 3,
                      21, "mismatch"},
        MalformedCase{"unclosed_leaf",
                      "<IndexConfiguration>\n<Index name=\"a\">\n  <IndexPath>x</IndexSetting1>\n", 3, 30,
                      "mismatch"},
        MalformedCase{"attribute_twice",
                      "<IndexConfiguration>\n <Index name='a' name='b'/></IndexConfiguration>", 2, 27,
                      "redefined"},
        MalformedCase{"undeclared_entity",
                      "<IndexConfiguration>\n<Index name='a'>\n<DbSetting2>&pw;</DbSetting2>", 3, 16,
                      "not declared"},
        MalformedCase{"empty_file", "", 1, 0, "Premature end of document"},
        MalformedCase{"truncated", "<IndexConfiguration>\n  <Index name='a'>\n", 3, 0,
                      "Premature end of document"},
        MalformedCase{"content_after_root", "<IndexConfiguration/>\n<Index name='a'/>", 2, 17,
                      "Extra content"},
        MalformedCase{"wrong_root", "<?xml version=\"1.0\"?>\n<Indexes/>", 2, 10, "<Indexes>"},
        MalformedCase{"index_without_name", "<IndexConfiguration>\n  <Index display='A'/>", 2, 22, "no name"},
        MalformedCase{"element_in_leaf", "<IndexConfiguration><Index name='a'>\n<LastBuilt>x<b/></LastBuilt>",
                      2, 16, "text only"},
        MalformedCase{"not_utf8", "<IndexConfiguration>\n<Index name='\xE4'/>", 2, 13, "UTF-8"},
        MalformedCase{
            "connection_piece_without_value",
            "<IndexConfiguration><Index name='a'><DbDataSources>\n"
            "<DataSource name='Primary'>Provider=SQLite;Database=app.db;ReadOnly</DataSource>",
            2, 80,
            "The data source \"Primary\" of the index \"a\": Invalid connection text: a pair without '='"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(ConfigTest, UnreadableFileRaisesAndKeepsWhatWasLoaded) {
    m_config.LoadFromFile(Write(kFull));
    m_config.LoadIndex(QStringLiteral("titles"));
    const QString missing = m_dir.filePath(QStringLiteral("missing.xml"));
    const QString paths[] = {missing, m_dir.path()};
    for (const auto& path : paths) {
        const Error error = Raised([&] { m_config.LoadFromFile(path); });
        EXPECT_EQ(error.Number(), errnum::kConfigLoad);
        EXPECT_TRUE(error.Description().contains(path)) << error.Description().toStdString();
    }
    const QString malformed = Write("<IndexConfiguration>", QStringLiteral("bad.xml"));
    EXPECT_EQ(Raised([&] { m_config.LoadFromFile(malformed); }).Number(), errnum::kConfigLoad);
    EXPECT_EQ(m_config.IndexName(), u"titles");
    EXPECT_EQ(m_config.GetIndexList().size(), 3);
}

TEST_F(ConfigTest, LoadingAgainReplacesEverything) {
    m_config.LoadFromFile(Write(kFull));
    m_config.LoadIndex(QStringLiteral("catalog"));
    m_config.LoadFromFile(Write("<IndexConfiguration><Index name='other' display='O'/></IndexConfiguration>",
                                QStringLiteral("second.xml")));
    EXPECT_EQ(m_config.GetIndexList(),
              component::IndexList({{QStringLiteral("other"), QStringLiteral("O")}}));
    EXPECT_TRUE(m_config.IndexName().isEmpty());
    EXPECT_EQ(Raised([&] { m_config.LoadIndex(QStringLiteral("catalog")); }).Number(),
              errnum::kConfigNoIndex);
}

struct WriteCase {
    const char* label;
    const char* before;
    bool lastBuilt;  // else NumDocuments
    const char* value;
    const char* after;
};

class WriteBackTest : public ConfigTest, public testing::WithParamInterface<WriteCase> {};

// The whole file is compared, so any byte changed outside the element shows.
TEST_P(WriteBackTest, ChangesOnlyTheElementText) {
    const auto& c = GetParam();
    const QString path = Write(c.before);
    m_config.LoadFromFile(path);
    m_config.LoadIndex(QStringLiteral("b"));
    const QString value = QString::fromUtf8(c.value);
    if (c.lastBuilt) {
        m_config.SetLastBuilt(value);
        EXPECT_EQ(m_config.LastBuilt(), value);
    } else {
        m_config.SetNumDocuments(value);
        EXPECT_EQ(m_config.NumDocuments(), value);
    }
    EXPECT_EQ(ReadBytes(path), QByteArray(c.after));

    zarvik::config::XmlIndexConfiguration reloaded;
    reloaded.LoadFromFile(path);
    reloaded.LoadIndex(QStringLiteral("b"));
    EXPECT_EQ(c.lastBuilt ? reloaded.LastBuilt() : reloaded.NumDocuments(), value);
    // Nothing but the file itself is left in the folder.
    EXPECT_EQ(QDir(m_dir.path()).entryList(QDir::Files),
              QStringList({QStringLiteral("IndexConfiguration.xml")}));
}

INSTANTIATE_TEST_SUITE_P(
    Table, WriteBackTest,
    testing::Values(
        WriteCase{
            "replace_text",
            "<?xml version='1.0'?>\n<!-- keep -->\n<IndexConfiguration>\n <Index display=\"B\"  name='b'>\n"
            "  <LastBuilt>old</LastBuilt>\t<!-- c -->\n  <NumDocuments>1</NumDocuments>\n </Index>\n"
            "</IndexConfiguration>\n",
            true, "06.05.2024 14:03:07",
            "<?xml version='1.0'?>\n<!-- keep -->\n<IndexConfiguration>\n <Index display=\"B\"  name='b'>\n"
            "  <LastBuilt>06.05.2024 14:03:07</LastBuilt>\t<!-- c -->\n  <NumDocuments>1</NumDocuments>\n"
            " </Index>\n</IndexConfiguration>\n"},
        WriteCase{"second_index_of_three",
                  "<IndexConfiguration><Index name='a'><NumDocuments>7</NumDocuments></Index>"
                  "<Index name='b'><NumDocuments>7</NumDocuments></Index>"
                  "<Index name='c'><NumDocuments>7</NumDocuments></Index></IndexConfiguration>",
                  false, "12345",
                  "<IndexConfiguration><Index name='a'><NumDocuments>7</NumDocuments></Index>"
                  "<Index name='b'><NumDocuments>12345</NumDocuments></Index>"
                  "<Index name='c'><NumDocuments>7</NumDocuments></Index></IndexConfiguration>"},
        WriteCase{"empty_element",
                  "<IndexConfiguration><Index name='b'><NumDocuments></NumDocuments ></Index>"
                  "</IndexConfiguration>",
                  false, "3",
                  "<IndexConfiguration><Index name='b'><NumDocuments>3</NumDocuments "
                  "></Index></IndexConfiguration>"},
        WriteCase{
            "entities_and_whitespace_replaced",
            "<IndexConfiguration><Index name='b'><LastBuilt>\n  a &amp; <![CDATA[b]]>\n</LastBuilt></Index>"
            "</IndexConfiguration>",
            true, "x",
            "<IndexConfiguration><Index name='b'><LastBuilt>x</LastBuilt></Index></IndexConfiguration>"},
        WriteCase{"self_closed_element",
                  "<IndexConfiguration><Index name='b'>\n  <LastBuilt />\n</Index></IndexConfiguration>",
                  true, "t",
                  "<IndexConfiguration><Index name='b'>\n  "
                  "<LastBuilt>t</LastBuilt>\n</Index></IndexConfiguration>"},
        WriteCase{
            "missing_element_indented",
            "<IndexConfiguration>\n  <Index name='b'>\n    <IndexPath>p</IndexPath>\n    <!-- end -->\n"
            "  </Index>\n</IndexConfiguration>\n",
            false, "9",
            "<IndexConfiguration>\n  <Index name='b'>\n    <IndexPath>p</IndexPath>\n"
            "    <NumDocuments>9</NumDocuments>\n    <!-- end -->\n  </Index>\n</IndexConfiguration>\n"},
        WriteCase{
            "missing_element_crlf",
            "<IndexConfiguration>\r\n\t<Index name='b'>\r\n\t\t<IndexPath>p</IndexPath>\r\n\t</Index>\r\n"
            "</IndexConfiguration>\r\n",
            true, "t",
            "<IndexConfiguration>\r\n\t<Index name='b'>\r\n\t\t<IndexPath>p</IndexPath>\r\n"
            "\t\t<LastBuilt>t</LastBuilt>\r\n\t</Index>\r\n</IndexConfiguration>\r\n"},
        WriteCase{"missing_element_empty_index",
                  "<IndexConfiguration><Index name='b'> </Index></IndexConfiguration>", false, "0",
                  "<IndexConfiguration><Index name='b'> "
                  "<NumDocuments>0</NumDocuments></Index></IndexConfiguration>"},
        WriteCase{"self_closed_index",
                  "<IndexConfiguration><Index name='b' display='B' /></IndexConfiguration>", true, "t",
                  "<IndexConfiguration><Index name='b' display='B' ><LastBuilt>t</LastBuilt></Index>"
                  "</IndexConfiguration>"},
        WriteCase{
            "escaping", "<IndexConfiguration><Index name='b'><LastBuilt/></Index></IndexConfiguration>", true,
            "a & b < c > ]]> \"q\" 'q'\r\nend",
            "<IndexConfiguration><Index name='b'><LastBuilt>a &amp; b &lt; c &gt; ]]&gt; \"q\" 'q'&#13;\nend"
            "</LastBuilt></Index></IndexConfiguration>"},
        WriteCase{
            "utf8_and_bom",
            "\xEF\xBB\xBF<IndexConfiguration><!-- \xC3\xA4\xF0\x9F\x98\x80 --><Index name='b'>"
            "<LastBuilt>\xC3\xB6</LastBuilt><IndexPath>\xC3\xBC</IndexPath></Index></IndexConfiguration>",
            true, "\xC3\xA9t\xC3\xA9",
            "\xEF\xBB\xBF<IndexConfiguration><!-- \xC3\xA4\xF0\x9F\x98\x80 --><Index name='b'>"
            "<LastBuilt>\xC3\xA9t\xC3\xA9</LastBuilt><IndexPath>\xC3\xBC</IndexPath></Index>"
            "</IndexConfiguration>"},
        WriteCase{
            "first_of_repeated_element",
            "<IndexConfiguration><Index name='b'><LastBuilt>1</LastBuilt><LastBuilt>2</LastBuilt></Index>"
            "</IndexConfiguration>",
            true, "3",
            "<IndexConfiguration><Index name='b'><LastBuilt>3</LastBuilt><LastBuilt>2</LastBuilt></Index>"
            "</IndexConfiguration>"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(ConfigTest, BothWritesInTurnKeepTheRest) {
    const QString path = Write(kFull);
    m_config.LoadFromFile(path);
    m_config.LoadIndex(QStringLiteral("catalog"));
    m_config.SetLastBuilt(QStringLiteral("06.05.2024 14:03:07"));
    m_config.SetNumDocuments(QStringLiteral("126000"));
    QByteArray expected = kFull;
    expected.replace("<LastBuilt>2024-05-01 10:00:00<", "<LastBuilt>06.05.2024 14:03:07<");
    expected.replace("<NumDocuments>42<", "<NumDocuments>126000<");
    EXPECT_EQ(ReadBytes(path), expected);
    // The other properties are as loaded.
    EXPECT_EQ(m_config.DbSetting2(), u"s&cret");
    EXPECT_EQ(m_config.Settings().targets.size(), 5);
}

TEST_F(ConfigTest, ASaveRemovesTheTemporaryFilesOfKilledSaves) {
    const QString path = Write(kFull);
    // Left by a save of a process that no longer runs, and by one of this process
    // (a save here is never running at the same time); pid 1 is alive: its file stays.
    const QString gone = Write("half", QStringLiteral("IndexConfiguration.xml.tmp-2147483646-AbC123"));
    const QString mine =
        Write("half",
              QStringLiteral("IndexConfiguration.xml.tmp-%1-XyZ789").arg(QCoreApplication::applicationPid()));
    const QString alive = Write("half", QStringLiteral("IndexConfiguration.xml.tmp-1-QqQ111"));
    const QString other = Write("keep", QStringLiteral("Other.xml.tmp-2147483646-AbC123"));
    m_config.LoadFromFile(path);
    m_config.LoadIndex(QStringLiteral("catalog"));
    m_config.SetLastBuilt(QStringLiteral("now"));
    EXPECT_FALSE(QFile::exists(gone));
    EXPECT_FALSE(QFile::exists(mine));
    EXPECT_TRUE(QFile::exists(alive));
    EXPECT_TRUE(QFile::exists(other));
    EXPECT_EQ(QDir(m_dir.path()).entryList({QStringLiteral("IndexConfiguration.xml*")}, QDir::Files).size(),
              2);
}

TEST_F(ConfigTest, WriteKeepsAChangeMadeToTheFileSinceLoading) {
    const QString path = Write(kFull);
    m_config.LoadFromFile(path);
    m_config.LoadIndex(QStringLiteral("catalog"));
    QByteArray edited = kFull;
    edited.replace("<IndexSetting2>URL</IndexSetting2>", "<IndexSetting2>URL,DATE</IndexSetting2>");
    WriteBytes(path, edited);
    m_config.SetNumDocuments(QStringLiteral("5"));
    edited.replace("<NumDocuments>42<", "<NumDocuments>5<");
    EXPECT_EQ(ReadBytes(path), edited);
    EXPECT_EQ(m_config.Settings().storedColumns, u"URL,DATE");
}

TEST_F(ConfigTest, WriteKeepsModeAndSymbolicLink) {
    const QString real = Write(kFull, QStringLiteral("real.xml"));
    ASSERT_EQ(::chmod(QFile::encodeName(real).constData(), 0640), 0);
    const QString link = m_dir.filePath(QStringLiteral("IndexConfiguration.xml"));
    ASSERT_TRUE(QFile::link(real, link));
    m_config.LoadFromFile(link);
    m_config.LoadIndex(QStringLiteral("titles"));
    m_config.SetLastBuilt(QStringLiteral("now"));
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    EXPECT_TRUE(ReadBytes(real).contains(
        "<IndexPath>/abs/titles</IndexPath>\n    <LastBuilt>now</LastBuilt>\n  </Index>"));
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(real).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

// The program's folder may hold only a link to the file kept elsewhere (a package
// links /opt/... to /etc/...): a save replaces the file at the end of the link, beside
// it, and the link itself stays exactly as it was.
TEST_F(ConfigTest, SavesThroughSymbolicLinksKeepEveryLink) {
    struct Case {
        const char* label;
        // Relative to the test folder: where the file is, the links to make (link,
        // target text) in order, and the path that is loaded.
        QString file;
        QList<std::pair<QString, QString>> links;
        QString loaded;
    };
    const Case cases[] = {
        {"absolute_link_to_another_folder",
         QStringLiteral("etc/IndexConfiguration.xml"),
         {{QStringLiteral("opt/IndexConfiguration.xml"), QStringLiteral("@/etc/IndexConfiguration.xml")}},
         QStringLiteral("opt/IndexConfiguration.xml")},
        {"relative_link_to_another_folder",
         QStringLiteral("etc/IndexConfiguration.xml"),
         {{QStringLiteral("opt/IndexConfiguration.xml"), QStringLiteral("../etc/IndexConfiguration.xml")}},
         QStringLiteral("opt/IndexConfiguration.xml")},
        {"link_to_a_link",
         QStringLiteral("etc/real.xml"),
         {{QStringLiteral("etc/IndexConfiguration.xml"), QStringLiteral("real.xml")},
          {QStringLiteral("opt/IndexConfiguration.xml"), QStringLiteral("../etc/IndexConfiguration.xml")}},
         QStringLiteral("opt/IndexConfiguration.xml")},
        {"linked_folder",
         QStringLiteral("etc/IndexConfiguration.xml"),
         {{QStringLiteral("opt"), QStringLiteral("etc")}},
         QStringLiteral("opt/IndexConfiguration.xml")},
    };
    for (const Case& c : cases) {
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        const QString root = dir.path();
        ASSERT_TRUE(QDir().mkpath(root + QStringLiteral("/etc")));
        if (c.links.first().first != u"opt") {
            ASSERT_TRUE(QDir().mkpath(root + QStringLiteral("/opt")));
        }
        const QString file = root + u'/' + c.file;
        WriteBytes(file, kFull);
        ASSERT_EQ(::chmod(QFile::encodeName(file).constData(), 0640), 0);
        QStringList linkTexts;
        for (const auto& [link, target] : c.links) {
            QString text = target;
            text.replace(QStringLiteral("@"), root);
            ASSERT_EQ(::symlink(QFile::encodeName(text).constData(),
                                QFile::encodeName(root + u'/' + link).constData()),
                      0)
                << c.label;
            linkTexts << text;
        }
        zarvik::config::XmlIndexConfiguration config;
        config.LoadFromFile(root + u'/' + c.loaded);
        config.LoadIndex(QStringLiteral("titles"));
        config.SetLastBuilt(QStringLiteral("now"));
        config.SetNumDocuments(QStringLiteral("12"));

        for (qsizetype i = 0; i < c.links.size(); ++i) {
            const QString link = root + u'/' + c.links[i].first;
            EXPECT_TRUE(QFileInfo(link).isSymLink()) << c.label << " " << link.toStdString();
            char buffer[4096] = {};
            const ssize_t n = ::readlink(QFile::encodeName(link).constData(), buffer, sizeof buffer - 1);
            EXPECT_EQ(QFile::decodeName(QByteArray(buffer, n < 0 ? 0 : n)), linkTexts[i]) << c.label;
        }
        EXPECT_FALSE(QFileInfo(file).isSymLink()) << c.label;
        const QByteArray saved = ReadBytes(file);
        EXPECT_TRUE(saved.contains("<LastBuilt>now</LastBuilt>\n    <NumDocuments>12</NumDocuments>"))
            << c.label;
        struct stat info {};
        ASSERT_EQ(::stat(QFile::encodeName(file).constData(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0640u) << c.label;
        // Nothing left behind in either folder.
        EXPECT_EQ(QDir(root + QStringLiteral("/etc"))
                      .entryList(QDir::Files | QDir::Hidden)
                      .filter(QStringLiteral(".tmp-")),
                  QStringList())
            << c.label;
        EXPECT_EQ(QDir(root + QStringLiteral("/opt"))
                      .entryList(QDir::Files | QDir::Hidden)
                      .filter(QStringLiteral(".tmp-")),
                  QStringList())
            << c.label;
        // A new configuration object reads the saved values through the link.
        zarvik::config::XmlIndexConfiguration again;
        again.LoadFromFile(root + u'/' + c.loaded);
        again.LoadIndex(QStringLiteral("titles"));
        EXPECT_EQ(again.LastBuilt(), u"now") << c.label;
        EXPECT_EQ(again.NumDocuments(), u"12") << c.label;
    }
}

// Makes a file read-only for whoever runs the test: root writes through file modes,
// so for root the immutable attribute stands in for them.
class ReadOnlyFile {
public:
    explicit ReadOnlyFile(const QString& path) : m_path(path) {
        if (::geteuid() != 0) {
            m_done = ::chmod(QFile::encodeName(path).constData(), 0444) == 0;
            m_how = "mode 0444";
        } else {
            m_done = Chattr(QStringLiteral("+i"));
            m_immutable = m_done;
            m_how = "immutable attribute";
        }
    }
    ~ReadOnlyFile() {
        if (m_immutable) Chattr(QStringLiteral("-i"));
    }
    bool Done() const { return m_done; }
    const char* How() const { return m_how; }

private:
    bool Chattr(const QString& flag) const {
        QProcess p;
        p.start(QStringLiteral("chattr"), {flag, m_path});
        return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    }
    QString m_path;
    bool m_done = false;
    bool m_immutable = false;
    const char* m_how = "none";
};

TEST_F(ConfigTest, ALinkToAReadOnlyFileRaisesAndChangesNothing) {
    ASSERT_TRUE(QDir().mkpath(m_dir.filePath(QStringLiteral("etc"))));
    ASSERT_TRUE(QDir().mkpath(m_dir.filePath(QStringLiteral("opt"))));
    const QString file = m_dir.filePath(QStringLiteral("etc/IndexConfiguration.xml"));
    const QString link = m_dir.filePath(QStringLiteral("opt/IndexConfiguration.xml"));
    WriteBytes(file, kFull);
    ASSERT_TRUE(QFile::link(file, link));
    m_config.LoadFromFile(link);
    m_config.LoadIndex(QStringLiteral("catalog"));

    ReadOnlyFile readOnly(file);
    if (!readOnly.Done())
        GTEST_SKIP() << "this file system cannot make the file read-only (" << readOnly.How() << ")";
    for (const bool lastBuilt : {true, false}) {
        const Error error = Raised([&] {
            if (lastBuilt) {
                m_config.SetLastBuilt(QStringLiteral("now"));
            } else {
                m_config.SetNumDocuments(QStringLiteral("7"));
            }
        });
        EXPECT_EQ(error.Number(), errnum::kConfigSave) << readOnly.How();
        // The description names the file at the end of the link and why it was refused.
        EXPECT_TRUE(error.Description().contains(QFileInfo(file).canonicalFilePath()))
            << error.Description().toStdString();
        EXPECT_TRUE(error.Description().contains(QStringLiteral("Permission denied")) ||
                    error.Description().contains(QStringLiteral("Operation not permitted")))
            << error.Description().toStdString();
        EXPECT_EQ(ReadBytes(file), kFull);
        EXPECT_TRUE(QFileInfo(link).isSymLink());
        EXPECT_EQ(QFileInfo(link).symLinkTarget(), QFileInfo(file).absoluteFilePath());
        EXPECT_EQ(m_config.LastBuilt(), u"2024-05-01 10:00:00");
        EXPECT_EQ(m_config.NumDocuments(), u"42");
        EXPECT_EQ(QDir(m_dir.filePath(QStringLiteral("etc"))).entryList(QDir::Files | QDir::Hidden),
                  QStringList{QStringLiteral("IndexConfiguration.xml")});
    }
}

struct MetricsCase {
    const char* label;
    QByteArray element;  // placed inside the root element, after the indexes
    QString expected;    // relative to the configuration folder; "@" for empty
    const char* warned = nullptr;  // what a warning of this load names, if any
};

TEST_F(ConfigTest, MetricsDirectoryIsOfTheWholeFile) {
    const MetricsCase cases[] = {
        {"absent", "", QStringLiteral("@")},
        {"empty", "<MetricsDirectory></MetricsDirectory>", QStringLiteral("@")},
        {"blank", "<MetricsDirectory>  </MetricsDirectory>", QStringLiteral("@")},
        {"self_closed", "<MetricsDirectory/>", QStringLiteral("@")},
        {"absolute", "<MetricsDirectory>/var/lib/prometheus/node-exporter</MetricsDirectory>",
         QStringLiteral("/var/lib/prometheus/node-exporter")},
        {"relative_and_padded", "<MetricsDirectory>\n  metrics/ </MetricsDirectory>",
         QStringLiteral("metrics")},
        {"first_counts", "<MetricsDirectory>one</MetricsDirectory><MetricsDirectory>two</MetricsDirectory>",
         QStringLiteral("one")},
        {"inside_an_index_is_not_it", "", QStringLiteral("@"), "<MetricsDirectory> in the index \"catalog\""},
        {"misspelt", "<MetricDirectory>/m</MetricDirectory>", QStringLiteral("@"),
         "<MetricDirectory> in <IndexConfiguration> (line 34 of "},
    };
    for (const MetricsCase& c : cases) {
        QByteArray text = kFull;
        text.replace("</IndexConfiguration>", c.element + "\n</IndexConfiguration>");
        if (QByteArray(c.label) == "inside_an_index_is_not_it")
            text.replace(text.indexOf("</Index>"), 8, "<MetricsDirectory>/x</MetricsDirectory></Index>");
        const QString path = Write(text);
        const qsizetype warnedBefore = Warnings().size();
        zarvik::config::XmlIndexConfiguration config;
        config.LoadFromFile(path);
        // kFull's own two, and the one of the case.
        const QStringList warnings = Warnings().mid(warnedBefore);
        EXPECT_EQ(warnings.size(), c.warned ? 3 : 2) << c.label;
        if (c.warned) {
            EXPECT_TRUE(warnings.join('|').contains(QString::fromUtf8(c.warned))) << c.label;
        }
        const QString expected = c.expected == u"@"            ? QString()
                                 : c.expected.startsWith(u'/') ? c.expected
                                                               : Folder() + u'/' + c.expected;
        EXPECT_EQ(config.MetricsDirectory(), expected) << c.label;
        // No index needs to be current, and a save keeps it.
        config.LoadIndex(QStringLiteral("titles"));
        config.SetLastBuilt(QStringLiteral("now"));
        EXPECT_EQ(config.MetricsDirectory(), expected) << c.label;
        EXPECT_TRUE(ReadBytes(path).contains(c.element)) << c.label;
    }
}

TEST_F(ConfigTest, FailedWritesRaiseAndChangeNothing) {
    // The temporary file beside a file whose name is at the length limit cannot be
    // created, whoever runs the test (root included).
    const QString longName = QString(250, u'c') + QStringLiteral(".xml");
    const QString path = Write(kFull, longName);
    m_config.LoadFromFile(path);
    const QByteArray original = ReadBytes(path);

    // No index current yet.
    EXPECT_EQ(Raised([&] { m_config.SetLastBuilt(QStringLiteral("x")); }).Number(), errnum::kConfigNoIndex);

    m_config.LoadIndex(QStringLiteral("catalog"));
    struct Case {
        const char* label;
        QString value;
        bool lastBuilt;
    };
    const Case cases[] = {
        {"save_fails_last_built", QStringLiteral("06.05.2024"), true},
        {"save_fails_num_documents", QStringLiteral("7"), false},
        {"control_character", QStringLiteral("a\x01z"), true},
        {"lone_surrogate", QString(QChar(0xD800)), false},
    };
    for (const auto& c : cases) {
        const Error error = Raised([&] {
            if (c.lastBuilt) {
                m_config.SetLastBuilt(c.value);
            } else {
                m_config.SetNumDocuments(c.value);
            }
        });
        EXPECT_EQ(error.Number(), errnum::kConfigSave) << c.label;
        EXPECT_TRUE(error.Description().contains(path))
            << c.label << ": " << error.Description().toStdString();
        EXPECT_EQ(ReadBytes(path), original) << c.label;
        EXPECT_EQ(m_config.LastBuilt(), u"2024-05-01 10:00:00") << c.label;
        EXPECT_EQ(m_config.NumDocuments(), u"42") << c.label;
    }
    EXPECT_EQ(QDir(m_dir.path()).entryList(QDir::Files), QStringList({longName}));

    // The file gone since loading: raises, the values stay.
    ASSERT_TRUE(QFile::remove(path));
    const Error gone = Raised([&] { m_config.SetNumDocuments(QStringLiteral("8")); });
    EXPECT_EQ(gone.Number(), errnum::kConfigSave);
    EXPECT_EQ(m_config.NumDocuments(), u"42");
    EXPECT_FALSE(QFileInfo::exists(path));
}

// The demo's file is what the demo run builds from.
TEST_F(ConfigTest, DemoConfigurationLoads) {
    const QString path = Write(ReadBytes(QStringLiteral(LUMORA_DEMO_CONFIG)));
    m_config.LoadFromFile(path);
    EXPECT_EQ(m_config.GetIndexList(),
              component::IndexList({{QStringLiteral("catalog"), QStringLiteral("Catalog documents")},
                                    {QStringLiteral("titles"), QStringLiteral("Document titles only")}}));
    const QString folder = m_dir.path();
    const QString database =
        QStringLiteral("Provider=SQLite;Database=") + folder + QStringLiteral("/demo/app.db");
    m_config.LoadIndex(QStringLiteral("catalog"));
    EXPECT_EQ(m_config.IndexPath(), folder + QStringLiteral("/indexes/catalog"));
    EXPECT_EQ(m_config.IndexDataSource(), u"Documents");
    EXPECT_EQ(m_config.DbDataSources(), component::DataSourceList({{QStringLiteral("Primary"), database},
                                                                   {QStringLiteral("RAdozudo"), database},
                                                                   {QStringLiteral("Documents"), database}}));
    EXPECT_EQ(m_config.Settings().query, u"SELECT DOCID, TITLE, BODY, NODEID FROM DOCUMENT");
    EXPECT_EQ(m_config.Settings().storedColumns, u"NODEID");
    EXPECT_EQ(m_config.Settings().prefix, u"2 3");
    EXPECT_EQ(m_config.Settings().targets, QStringList({folder + QStringLiteral("/replicas/one/catalog")}));
    EXPECT_TRUE(m_config.LastBuilt().isEmpty());
    m_config.LoadIndex(QStringLiteral("titles"));
    EXPECT_EQ(m_config.DbDataSources(), component::DataSourceList({{QStringLiteral("RAdozudo"), database}}));
    EXPECT_EQ(m_config.Settings().query, u"SELECT DOCID, TITLE FROM DOCUMENT");
    EXPECT_TRUE(m_config.Settings().targets.isEmpty());
}

// The example the package installs in /etc: it loads without a warning, every path in
// it is absolute (read through the link in /opt, relative ones would point there), and
// a build's results can be written back into it.
TEST_F(ConfigTest, PackagedExampleLoadsWithEveryPathInFull) {
    const QString path = Write(ReadBytes(QStringLiteral(LUMORA_PACKAGED_CONFIG)));
    m_config.LoadFromFile(path);
    EXPECT_EQ(Warnings(), QStringList());
    ASSERT_EQ(m_config.GetIndexList(),
              component::IndexList({{QStringLiteral("catalog"), QStringLiteral("Catalog documents")}}));
    m_config.LoadIndex(QStringLiteral("catalog"));
    EXPECT_EQ(m_config.IndexPath(), u"/var/lib/lumora-index-manager/indexes/catalog");
    EXPECT_EQ(m_config.MetricsDirectory(), u"/var/lib/lumora-index-manager/metrics");
    const QString database =
        QStringLiteral("Provider=SQLite;Database=/var/lib/lumora-index-manager/example/app.db");
    EXPECT_EQ(m_config.DbDataSources(), component::DataSourceList({{QStringLiteral("Primary"), database},
                                                                   {QStringLiteral("RAdozudo"), database}}));
    m_config.SetLastBuilt(QStringLiteral("now"));
    m_config.SetNumDocuments(QStringLiteral("3"));
    zarvik::config::XmlIndexConfiguration again;
    again.LoadFromFile(path);
    again.LoadIndex(QStringLiteral("catalog"));
    EXPECT_EQ(again.NumDocuments(), u"3");
}

// --- <Verify> -----------------------------------------------------------------------

using testsupport::Verify;

struct VerifyCase {
    const char* name;
    const char* verify;  // what stands inside <Index>
    component::VerifySettings expected;
    const char* refused;  // element and value the refusal names; null when it loads
    const char* warned = nullptr;  // the one warning of the load names this element
};

class VerifyTest : public ConfigTest, public testing::WithParamInterface<VerifyCase> {};

TEST_P(VerifyTest, DefaultsValuesAndRefusals) {
    const VerifyCase& c = GetParam();
    const QString path =
        Write(QByteArray("<IndexConfiguration><Index name='other'><IndexPath>y</IndexPath></Index>"
                         "<Index name='catalog'>") +
              c.verify + "<IndexPath>x</IndexPath></Index></IndexConfiguration>");
    m_config.LoadFromFile(path);
    const QStringList warnings = Warnings();
    EXPECT_EQ(warnings.size(), c.warned ? 1 : 0) << warnings.join('\n').toStdString();
    if (c.warned) {
        EXPECT_TRUE(warnings[0].contains(QString::fromUtf8(c.warned))) << warnings[0].toStdString();
        EXPECT_TRUE(warnings[0].contains(QStringLiteral("(line 1 of ") + path)) << warnings[0].toStdString();
    }
    m_config.LoadIndex(QStringLiteral("other"));
    if (!c.refused) {
        m_config.LoadIndex(QStringLiteral("catalog"));
        EXPECT_EQ(m_config.Settings().verify, c.expected);
        return;
    }
    const Error error = Raised([&] { m_config.LoadIndex(QStringLiteral("catalog")); });
    EXPECT_EQ(error.Number(), errnum::kConfigLoad);
    EXPECT_EQ(error.Source(), QStringLiteral("ZarvikIndexing.IndexConfiguration"));
    EXPECT_TRUE(error.Description().contains(QString::fromUtf8(c.refused)))
        << error.Description().toStdString();
    EXPECT_TRUE(error.Description().contains(path)) << error.Description().toStdString();
    // The index that was current stays current; the others stay usable.
    EXPECT_EQ(m_config.IndexName(), QStringLiteral("other"));
    EXPECT_EQ(m_config.Settings().verify, component::VerifySettings());
}

INSTANTIATE_TEST_SUITE_P(
    Values, VerifyTest,
    testing::Values(
        VerifyCase{"Missing", "", Verify(0, 50), nullptr},
        VerifyCase{"EmptyElement", "<Verify/>", Verify(0, 50), nullptr},
        VerifyCase{"EmptyValues",
                   "<Verify><MinDocuments></MinDocuments><MaxShrinkPercent> </MaxShrinkPercent>"
                   "<CheckQuery/></Verify>",
                   Verify(0, 50), nullptr},
        VerifyCase{"AllSet",
                   "<Verify><MinDocuments> 100 </MinDocuments><MaxShrinkPercent>20</MaxShrinkPercent>"
                   "<CheckQuery>ocean OR sea</CheckQuery><Unknown>7</Unknown><CheckQuery>title:a &amp; "
                   "b</CheckQuery></Verify>",
                   Verify(100, 20, {"ocean OR sea", "title:a & b"}), nullptr,
                   "<Unknown> in <Verify> of the index \"catalog\""},
        VerifyCase{"MisspeltSettingIsNamed", "<Verify><MinDocument>1000</MinDocument></Verify>",
                   Verify(0, 50), nullptr, "<MinDocument> in <Verify>"},
        VerifyCase{"MisspeltIndexElementIsNamed", "<IndexPth>y</IndexPth>", Verify(0, 50), nullptr,
                   "<IndexPth> in the index \"catalog\""},
        VerifyCase{"BuildSettingsAreKnown",
                   "<BuildMode>changes</BuildMode><MaxChangedPercent>30</MaxChangedPercent>", Verify(0, 50),
                   nullptr},
        VerifyCase{"Bounds",
                   "<Verify><MinDocuments>0</MinDocuments><MaxShrinkPercent>100</MaxShrinkPercent></Verify>",
                   Verify(0, 100), nullptr},
        VerifyCase{"ZeroShrink", "<Verify><MaxShrinkPercent>0</MaxShrinkPercent></Verify>", Verify(0, 0),
                   nullptr},
        VerifyCase{"FirstOfRepeatedCounts",
                   "<Verify><MinDocuments>5</MinDocuments><MinDocuments>x</MinDocuments></Verify>",
                   Verify(5, 50), nullptr},
        VerifyCase{"NegativePercent",
                   "<Verify><MaxShrinkPercent>-5</MaxShrinkPercent></Verify>",
                   {},
                   "\"-5\" of <Verify><MaxShrinkPercent>"},
        VerifyCase{"PercentOver100",
                   "<Verify><MaxShrinkPercent>101</MaxShrinkPercent></Verify>",
                   {},
                   "\"101\" of <Verify><MaxShrinkPercent>"},
        VerifyCase{"PercentNotANumber",
                   "<Verify><MaxShrinkPercent>half</MaxShrinkPercent></Verify>",
                   {},
                   "\"half\" of <Verify><MaxShrinkPercent>"},
        VerifyCase{"PercentWithSign",
                   "<Verify><MaxShrinkPercent>50%</MaxShrinkPercent></Verify>",
                   {},
                   "\"50%\" of <Verify><MaxShrinkPercent>"},
        VerifyCase{"PercentFraction",
                   "<Verify><MaxShrinkPercent>12.5</MaxShrinkPercent></Verify>",
                   {},
                   "\"12.5\" of <Verify><MaxShrinkPercent>"},
        VerifyCase{"NegativeMinimum",
                   "<Verify><MinDocuments>-1</MinDocuments></Verify>",
                   {},
                   "\"-1\" of <Verify><MinDocuments>"},
        VerifyCase{"MinimumNotANumber",
                   "<Verify><MinDocuments>many</MinDocuments></Verify>",
                   {},
                   "\"many\" of <Verify><MinDocuments>"},
        VerifyCase{"MinimumTooLarge",
                   "<Verify><MinDocuments>99999999999999999999</MinDocuments></Verify>",
                   {},
                   "\"99999999999999999999\" of <Verify><MinDocuments>"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
