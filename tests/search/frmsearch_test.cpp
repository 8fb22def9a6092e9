// The search window on a small real index: results in rank order, the query syntax,
// errors shown in the window.
#include "search/frmsearch.h"
#include "support/qt_printers.h"
#include "support/smallindex.h"
#include "zarvik/index/engine.h"

#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

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
    void Search(frmSearch& window, const QString& query, bool withEnter = false) {
        auto* edit = window.findChild<QLineEdit*>(QStringLiteral("QueryEdit"));
        ASSERT_NE(edit, nullptr);
        edit->clear();
        QTest::keyClicks(edit, query);
        if (withEnter)
            QTest::keyClick(edit, Qt::Key_Return);
        else
            QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("cmdSearch")), Qt::LeftButton);
    }

    static QStringList Column(const frmSearch& window, int column) {
        const auto* table = window.findChild<QTableWidget*>(QStringLiteral("ResultsTable"));
        QStringList values;
        for (int row = 0; row < table->rowCount(); ++row) values.append(table->item(row, column)->text());
        return values;
    }

    static QString Matches(const frmSearch& window) {
        return window.findChild<QLabel*>(QStringLiteral("lblMatches"))->text();
    }

    std::shared_ptr<component::SearchEngine> engine =
        std::make_shared<zarvik::Fts5Engine>(QString(), QString(), false);
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
    frmSearch window(engine, QStringLiteral("docs"), *indexPath);
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
    frmSearch window(engine, QStringLiteral("docs"), *indexPath);
    window.show();
    Search(window, QStringLiteral("dawn"));
    const auto* table = window.findChild<QTableWidget*>(QStringLiteral("ResultsTable"));
    ASSERT_EQ(table->rowCount(), 1);
    ASSERT_EQ(table->columnCount(), 4);
    EXPECT_EQ(table->horizontalHeaderItem(2)->text(), QStringLiteral("URL"));
    EXPECT_EQ(table->item(0, 2)->text(), QStringLiteral("https://example.org/5"));
    const auto* snippet = qobject_cast<QLabel*>(table->cellWidget(0, 3));
    ASSERT_NE(snippet, nullptr);
    EXPECT_TRUE(snippet->text().contains(QStringLiteral("<b>dawn</b>"))) << snippet->text().toStdString();
}

TEST_F(SearchWindowTest, RejectedQueryShowsTheEngineMessage) {
    frmSearch window(engine, QStringLiteral("docs"), *indexPath);
    window.show();
    Search(window, QStringLiteral("run AND"));
    EXPECT_TRUE(Matches(window).contains(QStringLiteral("syntax error"))) << Matches(window).toStdString();
    EXPECT_EQ(window.findChild<QTableWidget*>(QStringLiteral("ResultsTable"))->rowCount(), 0);
}

TEST_F(SearchWindowTest, MissingIndexNamesThePath) {
    const QString missing = dir->filePath(QStringLiteral("not-built"));
    frmSearch window(engine, QStringLiteral("docs"), missing);
    window.show();
    Search(window, QStringLiteral("run"));
    EXPECT_TRUE(Matches(window).contains(missing)) << Matches(window).toStdString();
}

TEST(SnippetHtml, MarksTermsAndEscapesTheRest) {
    const QString snippet = QStringLiteral("a <tag> & ") + component::kMatchStart + QStringLiteral("run") +
                            component::kMatchEnd + QStringLiteral(" end");
    EXPECT_EQ(frmSearch::SnippetHtml(snippet), QStringLiteral("a &lt;tag&gt; &amp; <b>run</b> end"));
}

}  // namespace
