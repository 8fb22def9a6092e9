// The search window on a small real index: results in rank order, the query syntax,
// errors shown in the window.
#include "search/searchdialog.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

#include "support/qt_printers.h"
#include "support/smallindex.h"
#include "zarvik/index/engine.h"

namespace {

class SearchWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new QTemporaryDir;
        indexPath = new QString(testsupport::BuildSmallIndex(dir->path()));
    }
    static void TearDownTestSuite() {
        delete indexPath;
        delete dir;
    }

    // Types the query and starts the search the way the user does.
    void Search(search::SearchDialog& window, const QString& query, bool withEnter = false) {
        auto* edit = window.findChild<QLineEdit*>(QStringLiteral("QueryEdit"));
        ASSERT_NE(edit, nullptr);
        edit->clear();
        QTest::keyClicks(edit, query);
        if (withEnter)
            QTest::keyClick(edit, Qt::Key_Return);
        else
            QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("SearchButton")), Qt::LeftButton);
    }

    static QStringList Column(const search::SearchDialog& window, int column) {
        const auto* table = window.findChild<QTableWidget*>(QStringLiteral("ResultsTable"));
        QStringList values;
        for (int row = 0; row < table->rowCount(); ++row) values.append(table->item(row, column)->text());
        return values;
    }

    static QString Matches(const search::SearchDialog& window) {
        return window.findChild<QLabel*>(QStringLiteral("MatchesLabel"))->text();
    }

    std::shared_ptr<component::SearchEngine> engine =
        std::make_shared<zarvik::index::Fts5Engine>(QString(), QString(), false);
    static QTemporaryDir* dir;
    static QString* indexPath;
};

QTemporaryDir* SearchWindowTest::dir = nullptr;
QString* SearchWindowTest::indexPath = nullptr;

struct QueryCase {
    const char* name;
    const char* query;
    QStringList keys;
    const char* matches;
};

class SearchWindowQueryTest : public SearchWindowTest, public ::testing::WithParamInterface<QueryCase> {};

TEST_P(SearchWindowQueryTest, ShowsTheKeysInRankOrder) {
    search::SearchDialog window(engine, QStringLiteral("docs"), *indexPath);
    window.show();
    Search(window, QString::fromUtf8(GetParam().query), true);
    EXPECT_EQ(Matches(window), QString::fromUtf8(GetParam().matches));
    EXPECT_EQ(Column(window, 1), GetParam().keys);
}

INSTANTIATE_TEST_SUITE_P(
    Queries, SearchWindowQueryTest,
    ::testing::Values(QueryCase{"Word", "garden", {QStringLiteral("5"), QStringLiteral("4")}, "2 matches"},
                      QueryCase{"Phrase", "\"quick run\"", {QStringLiteral("2")}, "1 match"},
                      // Stemmed: "Running shoes" matches too, its longer title ranks it last.
                      QueryCase{"Field", "title:run", {QStringLiteral("2"), QStringLiteral("5"), QStringLiteral("1")},
                                "3 matches"},
                      QueryCase{"Nothing", "zebra", {}, "0 matches"}),
    [](const ::testing::TestParamInfo<QueryCase>& info) { return std::string(info.param.name); });

TEST_F(SearchWindowTest, ShowsStoredColumnsAndMarkedSnippets) {
    search::SearchDialog window(engine, QStringLiteral("docs"), *indexPath);
    window.show();
    Search(window, QStringLiteral("dawn"));
    const auto* table = window.findChild<QTableWidget*>(QStringLiteral("ResultsTable"));
    ASSERT_EQ(table->rowCount(), 1);
    ASSERT_EQ(table->columnCount(), 5);
    EXPECT_EQ(table->horizontalHeaderItem(2)->text(), QStringLiteral("TITLE"));
    EXPECT_EQ(table->item(0, 2)->text(), QStringLiteral("Garden run"));
    EXPECT_EQ(table->horizontalHeaderItem(3)->text(), QStringLiteral("URL"));
    EXPECT_EQ(table->item(0, 3)->text(), QStringLiteral("https://example.org/5"));
    const auto* snippet = qobject_cast<QLabel*>(table->cellWidget(0, 4));
    ASSERT_NE(snippet, nullptr);
    EXPECT_TRUE(snippet->text().contains(QStringLiteral("<b>dawn</b>"))) << snippet->text().toStdString();
}

TEST_F(SearchWindowTest, RejectedQueryShowsTheEngineMessage) {
    search::SearchDialog window(engine, QStringLiteral("docs"), *indexPath);
    window.show();
    Search(window, QStringLiteral("run AND"));
    EXPECT_TRUE(Matches(window).contains(QStringLiteral("syntax error"))) << Matches(window).toStdString();
    EXPECT_EQ(window.findChild<QTableWidget*>(QStringLiteral("ResultsTable"))->rowCount(), 0);
}

TEST_F(SearchWindowTest, MissingIndexNamesThePath) {
    const QString missing = dir->filePath(QStringLiteral("not-built"));
    search::SearchDialog window(engine, QStringLiteral("docs"), missing);
    window.show();
    Search(window, QStringLiteral("run"));
    EXPECT_TRUE(Matches(window).contains(missing)) << Matches(window).toStdString();
}

// An index file of its own: `count` documents titled "<word> <n>", all holding `word`.
void MakeIndexFile(const QString& file, const QString& word, int count) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(file).constData(), &db), SQLITE_OK);
    QString sql = QStringLiteral(
        "CREATE VIRTUAL TABLE documents USING fts5(key UNINDEXED, TITLE, BODY, URL UNINDEXED);"
        "CREATE TABLE index_info(name TEXT PRIMARY KEY, value TEXT);"
        "INSERT INTO index_info VALUES('unindexed', 'URL');");
    for (int i = 1; i <= count; ++i)
        sql += QStringLiteral("INSERT INTO documents VALUES(%1, '%2 %1', 'a body with %2', 'u%1');")
                   .arg(i)
                   .arg(word);
    ASSERT_EQ(sqlite3_exec(db, sql.toUtf8().constData(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_close(db);
}

TEST_F(SearchWindowTest, ScoreGrowsWithRelevanceAndTitlesStandApart) {
    QTemporaryDir folder;
    const QString file = folder.filePath(QStringLiteral("index.db"));
    MakeIndexFile(file, QStringLiteral("filler"), 30);
    // Three documents of the same length that hold the rare word once, twice and three times.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(file).constData(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "INSERT INTO documents VALUES(101, 'Once', 'needle a b c d e', 'u');"
                           "INSERT INTO documents VALUES(102, 'Twice', 'needle needle a b c d', 'u');"
                           "INSERT INTO documents VALUES(103, 'Thrice', 'needle needle needle a b c', 'u');",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    search::SearchDialog window(engine, QStringLiteral("docs"), folder.path());
    window.show();
    Search(window, QStringLiteral("needle"));
    const auto* table = window.findChild<QTableWidget*>(QStringLiteral("ResultsTable"));
    EXPECT_EQ(table->horizontalHeaderItem(0)->text(), QStringLiteral("Score"));
    EXPECT_EQ(table->horizontalHeaderItem(2)->text(), QStringLiteral("TITLE"));
    EXPECT_EQ(Column(window, 2), (QStringList{"Thrice", "Twice", "Once"}));
    const QStringList scores = Column(window, 0);
    ASSERT_EQ(scores.size(), 3);
    for (qsizetype i = 0; i < scores.size(); ++i) {
        EXPECT_GT(scores[i].toDouble(), 0.0) << scores[i].toStdString();
        if (i > 0) {
            EXPECT_LT(scores[i].toDouble(), scores[i - 1].toDouble()) << "a better match scores higher";
        }
    }
}

struct KeptCase {
    const char* name;
    bool previous;
    bool rejected;
    QStringList choices;
};

class SearchWindowKeptTest : public SearchWindowTest, public ::testing::WithParamInterface<KeptCase> {};

TEST_P(SearchWindowKeptTest, OffersTheKeptIndexesThatExist) {
    const KeptCase& c = GetParam();
    QTemporaryDir folder;
    MakeIndexFile(folder.filePath(QStringLiteral("index.db")), QStringLiteral("live"), 3);
    if (c.previous)
        MakeIndexFile(folder.filePath(QStringLiteral("index.previous.db")), QStringLiteral("previous"), 2);
    if (c.rejected)
        MakeIndexFile(folder.filePath(QStringLiteral("index.rejected.db")), QStringLiteral("refused"), 1);
    search::SearchDialog window(engine, QStringLiteral("docs"), folder.path());
    window.show();
    auto* choice = window.findChild<QComboBox*>(QStringLiteral("IndexChoice"));
    ASSERT_NE(choice, nullptr);
    QStringList shown;
    for (int i = 0; i < choice->count(); ++i) shown << choice->itemText(i);
    EXPECT_EQ(shown, c.choices);
    EXPECT_EQ(choice->isEnabled(), c.choices.size() > 1);
    // Each choice searches its own file: its documents, its titles.
    const char* words[] = {"live", "previous", "refused"};
    for (int i = 0; i < choice->count(); ++i) {
        choice->setCurrentIndex(i);
        const QString word =
            QString::fromLatin1(words[c.choices[i].startsWith(QStringLiteral("Previous"))  ? 1
                                      : c.choices[i].startsWith(QStringLiteral("Refused")) ? 2
                                                                                           : 0]);
        Search(window, QStringLiteral("body"));
        const QStringList titles = Column(window, 2);
        ASSERT_FALSE(titles.isEmpty()) << Matches(window).toStdString();
        for (const QString& title : titles) EXPECT_TRUE(title.startsWith(word)) << title.toStdString();
        // Another choice clears the results that belong to this one.
        if (i + 1 < choice->count()) {
            choice->setCurrentIndex(i + 1);
            EXPECT_EQ(window.findChild<QTableWidget*>(QStringLiteral("ResultsTable"))->rowCount(), 0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Kept, SearchWindowKeptTest,
    ::testing::Values(
        KeptCase{"None", false, false, {"Live index (index.db)"}},
        KeptCase{"Previous", true, false, {"Live index (index.db)", "Previous index (index.previous.db)"}},
        KeptCase{"Refused", false, true, {"Live index (index.db)", "Refused index (index.rejected.db)"}},
        KeptCase{"Both",
                 true,
                 true,
                 {"Live index (index.db)", "Previous index (index.previous.db)",
                  "Refused index (index.rejected.db)"}}),
    [](const ::testing::TestParamInfo<KeptCase>& info) { return std::string(info.param.name); });

TEST_F(SearchWindowTest, AFullPageFitsWithoutScrolling) {
    QTemporaryDir folder;
    MakeIndexFile(folder.filePath(QStringLiteral("index.db")), QStringLiteral("many"), 35);
    search::SearchDialog window(engine, QStringLiteral("docs"), folder.path());
    window.show();
    Search(window, QStringLiteral("body"));
    QCoreApplication::processEvents();
    const auto* table = window.findChild<QTableWidget*>(QStringLiteral("ResultsTable"));
    ASSERT_EQ(table->rowCount(), search::SearchDialog::kPageSize);
    EXPECT_EQ(Matches(window), QStringLiteral("35 matches, the first 20 shown"));
    EXPECT_EQ(table->verticalScrollBar()->maximum(), 0)
        << "the table scrolls at " << window.width() << "x" << window.height();
}

TEST(SnippetHtml, MarksTermsAndEscapesTheRest) {
    const QString snippet = QStringLiteral("a <tag> & ") + component::kMatchStart + QStringLiteral("run") +
                            component::kMatchEnd + QStringLiteral(" end");
    EXPECT_EQ(search::SearchDialog::SnippetHtml(snippet), QStringLiteral("a &lt;tag&gt; &amp; <b>run</b> end"));
}

}  // namespace
