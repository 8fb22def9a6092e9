// Searching a real index built by the component: totals, paging, stored columns,
// stemming, the query syntax and its errors.
#include "zarvik/index/engine.h"
#include "support/qt_printers.h"
#include "support/smallindex.h"

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QTemporaryDir>

namespace {

class SearchTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new QTemporaryDir;
        indexPath = new QString(testsupport::BuildSmallIndex(dir->path()));
        engine = new zarvik::index::Fts5Engine(dir->path(), dir->path(), false);
    }
    static void TearDownTestSuite() {
        delete engine;
        delete indexPath;
        delete dir;
    }
    static QString IndexPath() { return *indexPath; }

    static QStringList Keys(const component::SearchResults& results) {
        QStringList keys;
        for (const auto& hit : results.hits) keys.append(hit.key);
        return keys;
    }

    static QTemporaryDir* dir;
    static QString* indexPath;
    static zarvik::index::Fts5Engine* engine;
};

QTemporaryDir* SearchTest::dir = nullptr;
QString* SearchTest::indexPath = nullptr;
zarvik::index::Fts5Engine* SearchTest::engine = nullptr;

struct QueryCase {
    const char* name;
    const char* query;
    std::int64_t total;
    QStringList keys;  // in rank order; empty: only the set is checked by total
};

class SearchQueryTest : public SearchTest, public ::testing::WithParamInterface<QueryCase> {};

TEST_P(SearchQueryTest, FindsTheExpectedDocuments) {
    const QueryCase& c = GetParam();
    const component::SearchResults results = engine->Search(IndexPath(), QString::fromUtf8(c.query), 0, 20);
    EXPECT_EQ(results.total, c.total);
    if (!c.keys.isEmpty()) {
        EXPECT_EQ(Keys(results), c.keys);
    }
    EXPECT_EQ(results.hits.size(), c.total);
}

INSTANTIATE_TEST_SUITE_P(
    Queries, SearchQueryTest,
    ::testing::Values(
        // Stemming: "runs" finds run and running.
        QueryCase{"Stemming", "runs", 3, {}},
        QueryCase{"Phrase", "\"quick run\"", 1, {QStringLiteral("2")}},
        QueryCase{"FieldQuery", "title:garden", 1, {QStringLiteral("5")}},
        QueryCase{"And", "garden AND run", 1, {QStringLiteral("5")}},
        QueryCase{"Or", "dessert OR furniture", 2, {}},
        QueryCase{"Not", "garden NOT run", 1, {QStringLiteral("4")}},
        QueryCase{"Prefix", "break*", 1, {QStringLiteral("2")}},
        QueryCase{"Diacritics", "creme", 1, {QStringLiteral("3")}},
        QueryCase{"Near", "NEAR(quick breakfast, 3)", 1, {QStringLiteral("2")}},
        // Stored, unsearched columns do not match.
        QueryCase{"StoredColumnIsNotSearched", "example", 0, {}}),
    [](const ::testing::TestParamInfo<QueryCase>& info) { return std::string(info.param.name); });

TEST_F(SearchTest, RanksByRelevanceAndCarriesStoredColumnsAndSnippet) {
    const component::SearchResults results = engine->Search(IndexPath(), QStringLiteral("garden"), 0, 20);
    ASSERT_EQ(results.hits.size(), 2);
    // "Garden run" has the word in its short title as well as its body.
    EXPECT_EQ(results.hits.at(0).key, QStringLiteral("5"));
    EXPECT_LE(results.hits.at(0).rank, results.hits.at(1).rank);
    EXPECT_EQ(results.storedColumns, QStringList{QStringLiteral("URL")});
    EXPECT_EQ(results.hits.at(0).stored, QStringList{QStringLiteral("https://example.org/5")});
    EXPECT_TRUE(results.hits.at(0).snippet.contains(QString(component::kMatchStart) + QStringLiteral("Garden") +
                                                    QString(component::kMatchEnd)))
        << results.hits.at(0).snippet.toStdString();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^Built \\d{4}-\\d\\d-\\d\\dT[0-9:+Z-]+ in full\\. "
                                                     "Tokenizer: porter unicode61 remove_diacritics 2\\.$"))
                    .match(results.howBuilt)
                    .hasMatch())
        << results.howBuilt.toStdString();
}

TEST_F(SearchTest, PagesThroughTheMatches) {
    const component::SearchResults all = engine->Search(IndexPath(), QStringLiteral("run OR garden"), 0, 20);
    ASSERT_EQ(all.total, 4);
    const component::SearchResults page = engine->Search(IndexPath(), QStringLiteral("run OR garden"), 1, 2);
    EXPECT_EQ(page.total, 4);
    EXPECT_EQ(Keys(page), Keys(all).mid(1, 2));
    EXPECT_TRUE(engine->Search(IndexPath(), QStringLiteral("run OR garden"), 10, 5).hits.isEmpty());
}

struct FailureCase {
    const char* name;
    const char* query;
    bool missingIndex;
    const char* inMessage;
};

class SearchFailureTest : public SearchTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(SearchFailureTest, RaisesWithAClearMessage) {
    const FailureCase& c = GetParam();
    const QString path = c.missingIndex ? dir->filePath(QStringLiteral("nothing-here")) : IndexPath();
    try {
        engine->Search(path, QString::fromUtf8(c.query), 0, 20);
        FAIL() << "expected an error";
    } catch (const component::Error& e) {
        EXPECT_EQ(e.Number(), component::errnum::kIndexSearch);
        EXPECT_TRUE(e.Description().contains(QString::fromUtf8(c.inMessage))) << e.Description().toStdString();
        if (c.missingIndex) {
            EXPECT_TRUE(e.Description().contains(path)) << e.Description().toStdString();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Failures, SearchFailureTest,
                         ::testing::Values(FailureCase{"Syntax", "run AND", false, "syntax error"},
                                           FailureCase{"UnknownColumn", "nosuch:run", false, "no such column"},
                                           FailureCase{"MissingIndex", "run", true, "build it first"}),
                         [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

}  // namespace
