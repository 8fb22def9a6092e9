// User IDs as an attacker or an unusual directory would write them: the all-users run
// on SQLite and PostgreSQL must give every user exactly their own rows and leave
// every other user's rows as they were. The data is set up and checked with bound
// values, so the test shares no quoting with the code under test.
#include <gtest/gtest.h>

#include <QSet>
#include <QSqlQuery>
#include <random>

#include "component/factory.h"
#include "usernodes/usernodes.h"
#include "support/datasourceconfiguration.h"
#include "support/sqlbackends.h"
#include "zarvik/factory.h"

namespace {

using testsupport::Backend;

// The pieces IDs are made of: quoting and comment syntax of every dialect involved,
// statement ends, LIKE wildcards, escapes, and text outside ASCII.
const char* const kPieces[] = {
    "'",
    "''",
    "N'",
    "n'",
    "--",
    ";",
    "\\",
    "\\'",
    "\"",
    "/*",
    "*/",
    "%",
    "_",
    "[",
    "]",
    " ",
    "\t",
    "\n",
    "\r\n",
    "$$",
    "$tag$",
    "E'",
    "` ",
    "ü",
    "日本",
    "😀",
    "\u202e",
    "\xc2\xa0",
    "' OR '1'='1",
    "'; DELETE FROM USERNODE; --",
    "') OR 1=1 --",
    "alice",
    "Bob",
    "0x27",
    "%27",
    "{fn x}",
};

// Several hundred distinct IDs: the fixed hostile ones, then random joins of pieces,
// a few of them very long.
QStringList GenerateIds(std::mt19937& random) {
    QStringList ids = {QStringLiteral("O'Brien"),
                       QStringLiteral("N'x"),
                       QStringLiteral("x'; DROP TABLE USERNODE; --"),
                       QStringLiteral("a\\"),
                       QStringLiteral("\\'"),
                       QStringLiteral("'"),
                       QStringLiteral("''"),
                       QStringLiteral("--"),
                       QStringLiteral(";"),
                       QStringLiteral("\"quoted\""),
                       QStringLiteral("ünïcødé"),
                       QStringLiteral("trailing "),
                       QStringLiteral(" leading"),
                       QStringLiteral("' OR ''='")};
    QSet<QString> seen(ids.begin(), ids.end());
    std::uniform_int_distribution<int> pieceCount(1, 6);
    std::uniform_int_distribution<std::size_t> piece(0, std::size(kPieces) - 1);
    while (ids.size() < 400) {
        QString id;
        const int n = pieceCount(random);
        for (int i = 0; i < n; ++i) id += QString::fromUtf8(kPieces[piece(random)]);
        if (ids.size() % 50 == 0) {  // very long
            id = id.repeated(1500 / id.size() + 1).left(1500);
            // Half an emoji is no text a database can store.
            if (id.back().isHighSurrogate()) id.chop(1);
        }
        if (!seen.contains(id)) {
            seen.insert(id);
            ids.append(id);
        }
    }
    return ids;
}

// Catalog 1: 100 ─┬─ 110 ── 111      Catalog 2: 200 ─┬─ 210 ── 211
//                 └─ 120                             └─ 220
struct Grant {
    int catalog;
    int node;
    QStringList rows;  // what the user then holds
};
const Grant kGrants[] = {
    {1, 110, {"1/110", "1/111"}},
    {1, 100, {"1/100", "1/110", "1/111", "1/120"}},
    {2, 210, {"2/210", "2/211"}},
    {2, 220, {"2/220"}},
};

class InjectionTest : public ::testing::TestWithParam<std::tuple<Backend, component::UserNodeMethod>> {};

TEST_P(InjectionTest, EveryUserGetsExactlyTheirOwnRows) {
    testsupport::TestDatabase db(std::get<0>(GetParam()));
    LUMORA_REQUIRE_DATABASE(db);
    db.Exec(
        QStringLiteral("CREATE TABLE CATALOGNODE (NODEID INTEGER NOT NULL, PARENTNODEID INTEGER NULL, "
                       "CATALOGID INTEGER NOT NULL, NODENAME VARCHAR(100) NOT NULL)"));
    db.Exec(QStringLiteral(
        "CREATE TABLE CATALOGNODEBYUSER (USERID VARCHAR(2000) NOT NULL, CATALOGID INTEGER NOT NULL, "
        "NODEID INTEGER NOT NULL, LEVEL SMALLINT NULL, ISPROFILE INTEGER NOT NULL)"));
    db.Exec(
        QStringLiteral("CREATE TABLE USERNODE (USERID VARCHAR(2000) NOT NULL, CATALOGID INTEGER NOT NULL, "
                       "NODEID INTEGER NOT NULL)"));
    db.Exec(QStringLiteral(
        "INSERT INTO CATALOGNODE VALUES (100, NULL, 1, 'n'), (110, 100, 1, 'n'), (111, 110, 1, 'n'), "
        "(120, 100, 1, 'n'), (200, NULL, 2, 'n'), (210, 200, 2, 'n'), (211, 210, 2, 'n'), "
        "(220, 200, 2, 'n')"));

    // LUMORA_INJECTION_SEED repeats the IDs of a failed run.
    const unsigned seed = qEnvironmentVariableIsSet("LUMORA_INJECTION_SEED")
                              ? qEnvironmentVariable("LUMORA_INJECTION_SEED").toUInt()
                              : std::random_device{}();
    std::mt19937 random(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    const QStringList ids = GenerateIds(random);
    // Every other ID has assignments; the rest only hold rows of their own, which no
    // run may touch. Every user starts with a row the run must replace or keep.
    QHash<QString, QStringList> expected;
    ASSERT_TRUE(db.Handle().transaction());
    QSqlQuery grant(db.Handle()), old(db.Handle());
    grant.prepare(QStringLiteral("INSERT INTO CATALOGNODEBYUSER VALUES (?, ?, ?, 1, 0)"));
    old.prepare(QStringLiteral("INSERT INTO USERNODE VALUES (?, 9, 999)"));
    for (qsizetype i = 0; i < ids.size(); ++i) {
        old.addBindValue(ids[i]);
        ASSERT_TRUE(old.exec());
        if (i % 2 == 1) {
            expected.insert(ids[i], {QStringLiteral("9/999")});
            continue;
        }
        const Grant& g = kGrants[(i / 2) % std::size(kGrants)];
        grant.addBindValue(ids[i]);
        grant.addBindValue(g.catalog);
        grant.addBindValue(g.node);
        ASSERT_TRUE(grant.exec());
        expected.insert(ids[i], g.rows);
    }
    ASSERT_TRUE(db.Handle().commit());

    testsupport::DataSourceConfiguration configuration;
    configuration.sources = {{QStringLiteral("RAdozudo"), db.ConnectionText()}};
    configuration.method = std::get<1>(GetParam());
    component::InstallFactory(zarvik::NewComponentFactory());
    int aborts = 0;
    usernodes::UserNodeRun propagation(
        usernodes::ReadRunSettings(configuration, *component::Factory().NewIndexingServices()),
        [&] { ++aborts; });
    EXPECT_TRUE(propagation.PopulateAllUserNodes());
    EXPECT_EQ(aborts, 0);

    QHash<QString, QStringList> found;
    for (const QVariantList& row : db.Rows(QStringLiteral("SELECT USERID, CATALOGID, NODEID FROM USERNODE")))
        found[row[0].toString()].append(row[1].toString() + QLatin1Char('/') + row[2].toString());
    int wrong = 0;
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        QStringList rows = found.take(it.key());
        rows.sort();
        QStringList want = it.value();
        want.sort();
        if (rows != want && ++wrong <= 5)
            ADD_FAILURE() << "user \"" << it.key().left(80).toStdString()
                          << "\": " << rows.join(' ').toStdString() << " instead of "
                          << want.join(' ').toStdString();
    }
    EXPECT_EQ(wrong, 0) << "of " << ids.size() << " users";
    EXPECT_TRUE(found.isEmpty()) << found.size() << " rows of users that do not exist, e.g. \""
                                 << (found.isEmpty() ? std::string() : found.begin().key().toStdString())
                                 << "\"";
    // The catalog itself is intact.
    EXPECT_EQ(db.Rows(QStringLiteral("SELECT COUNT(*) FROM CATALOGNODE")).at(0).at(0).toInt(), 8);
    EXPECT_EQ(db.Rows(QStringLiteral("SELECT COUNT(*) FROM CATALOGNODEBYUSER")).at(0).at(0).toInt(),
              ids.size() / 2);
}

INSTANTIATE_TEST_SUITE_P(Backends, InjectionTest,
                         ::testing::Combine(::testing::Values(Backend::SQLite, Backend::PostgreSQL),
                                            ::testing::Values(component::UserNodeMethod::Memory,
                                                              component::UserNodeMethod::Queries)),
                         [](const auto& info) {
                             return testsupport::BackendName(std::get<0>(info.param)) +
                                    (std::get<1>(info.param) == component::UserNodeMethod::Memory
                                         ? "_memory"
                                         : "_queries");
                         });

}  // namespace
