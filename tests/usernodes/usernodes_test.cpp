// The user-node computation against real databases (an SQLite file, the test
// PostgreSQL server, the SQLite file through ODBC) with the component library's own
// services, wrapped so that every statement that reaches a connection is recorded.
#include "usernodes/usernodes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "component/factory.h"
#include "support/datasourceconfiguration.h"
#include "support/sqlbackends.h"
#include "usernodes/nodeidset.h"
#include "zarvik/factory.h"

namespace {

using testsupport::Backend;
namespace errnum = component::errnum;

std::vector<std::string> Std(const QStringList& list) {
    std::vector<std::string> out;
    for (const QString& s : list) out.push_back(s.toStdString());
    return out;
}

// ---- configuration and recording services -----------------------------------------

struct Log {
    QStringList calls;        // "c2 OpenRecordset: SELECT ..."
    QStringList rows;         // "catalog/user/node" per added row, in the order of adding
    QStringList fieldOrders;  // the columns set on each added row, in order
    QStringList order;        // settings read and services objects made, in order
    int connections = 0;
};

class RecordingConnection final : public component::Connection {
public:
    RecordingConnection(std::unique_ptr<component::Connection> real, QString name, Log& log)
        : real(std::move(real)), name(std::move(name)), m_log(log) {}
    void Execute(const QString& sql) override {
        m_log.calls.append(name + QStringLiteral(" Execute: ") + sql);
        real->Execute(sql);
    }
    void BeginTrans() override {
        m_log.calls.append(name + QStringLiteral(" BeginTrans"));
        real->BeginTrans();
    }
    void CommitTrans() override {
        m_log.calls.append(name + QStringLiteral(" CommitTrans"));
        real->CommitTrans();
    }
    void RollbackTrans() override {
        m_log.calls.append(name + QStringLiteral(" RollbackTrans"));
        real->RollbackTrans();
    }
    void Close() override {
        m_log.calls.append(name + QStringLiteral(" Close"));
        real->Close();
    }
    std::unique_ptr<component::Connection> real;
    const QString name;

private:
    Log& m_log;
};

class RecordingBatch final : public component::UpdatableRecordset {
public:
    RecordingBatch(std::unique_ptr<component::UpdatableRecordset> real, QString name, Log& log)
        : m_real(std::move(real)), m_name(std::move(name)), m_log(log) {}
    void AddNew() override {
        Finish();
        m_current.emplace();
        m_real->AddNew();
    }
    void SetField(const QString& column, const QVariant& value) override {
        if (m_current) m_current->append({column, value});
        m_real->SetField(column, value);
    }
    void UpdateBatch() override {
        Finish();
        m_log.calls.append(m_name + QStringLiteral(" UpdateBatch"));
        m_real->UpdateBatch();
    }
    void CancelBatch() override {
        m_current.reset();
        m_log.calls.append(m_name + QStringLiteral(" CancelBatch"));
        m_real->CancelBatch();
    }

private:
    void Finish() {
        if (!m_current) return;
        QStringList columns, values;
        for (const auto& [column, value] : *m_current) {
            columns.append(column);
            values.append(value.toString());
        }
        m_log.fieldOrders.append(columns.join(QLatin1Char(',')));
        m_log.rows.append(values.join(QLatin1Char('/')));
        m_current.reset();
    }
    std::unique_ptr<component::UpdatableRecordset> m_real;
    QString m_name;
    Log& m_log;
    std::optional<QList<std::pair<QString, QVariant>>> m_current;
};

class RecordingRewriteBatch final : public component::RewriteBatch {
public:
    RecordingRewriteBatch(std::unique_ptr<component::RewriteBatch> real, QString name, Log& log)
        : m_real(std::move(real)), m_name(std::move(name)), m_log(log) {}
    void BeginUnit(const QString& deleteSql) override {
        m_log.calls.append(m_name + QStringLiteral(" BeginUnit: ") + deleteSql);
        m_real->BeginUnit(deleteSql);
    }
    void AddRow(const QVariantList& values) override {
        QStringList texts;
        for (const QVariant& value : values) texts.append(value.toString());
        m_log.rows.append(texts.join(QLatin1Char('/')));
        m_real->AddRow(values);
    }
    qsizetype PendingUnits() const override { return m_real->PendingUnits(); }
    qsizetype PendingRows() const override { return m_real->PendingRows(); }
    void Send() override {
        m_log.calls.append(m_name + QStringLiteral(" Send"));
        m_real->Send();
    }
    qsizetype UnitsCommitted() const override { return m_real->UnitsCommitted(); }
    void Cancel() override {
        m_log.calls.append(m_name + QStringLiteral(" Cancel"));
        m_real->Cancel();
    }

private:
    std::unique_ptr<component::RewriteBatch> m_real;
    QString m_name;
    Log& m_log;
};

class RecordingServices final : public component::IndexingServices {
public:
    RecordingServices(std::shared_ptr<component::IndexingServices> real, Log& log)
        : m_real(std::move(real)), m_log(log) {}

    QString GetConnectionString(const QString& s1, const QString& s2, const QString& name,
                                const component::DataSourceList& sources) override {
        m_log.order.append(QStringLiteral("GetConnectionString ") + name);
        return m_real->GetConnectionString(s1, s2, name, sources);
    }
    std::unique_ptr<component::Connection> OpenConnection(const QString& text) override {
        const QString name = QStringLiteral("c%1").arg(++m_log.connections);
        m_log.calls.append(QStringLiteral("OpenConnection ") + name);
        return std::make_unique<RecordingConnection>(m_real->OpenConnection(text), name, m_log);
    }
    std::unique_ptr<component::Recordset> OpenRecordset(component::Connection& connection,
                                                        const QString& sql) override {
        auto& recording = dynamic_cast<RecordingConnection&>(connection);
        m_log.calls.append(recording.name + QStringLiteral(" OpenRecordset: ") + sql);
        return m_real->OpenRecordset(*recording.real, sql);
    }
    std::unique_ptr<component::UpdatableRecordset> OpenUpdatableRecordset(component::Connection& connection,
                                                                          const QString& sql) override {
        auto& recording = dynamic_cast<RecordingConnection&>(connection);
        m_log.calls.append(recording.name + QStringLiteral(" OpenUpdatableRecordset: ") + sql);
        return std::make_unique<RecordingBatch>(m_real->OpenUpdatableRecordset(*recording.real, sql),
                                                recording.name, m_log);
    }
    std::unique_ptr<component::RowStream> OpenRowStream(component::Connection& connection,
                                                        const QString& sql) override {
        auto& recording = dynamic_cast<RecordingConnection&>(connection);
        m_log.calls.append(recording.name + QStringLiteral(" OpenRowStream: ") + sql);
        return m_real->OpenRowStream(*recording.real, sql);
    }
    std::unique_ptr<component::RewriteBatch> OpenRewriteBatch(component::Connection& connection,
                                                              const QString& table,
                                                              const QStringList& columns) override {
        auto& recording = dynamic_cast<RecordingConnection&>(connection);
        m_log.calls.append(recording.name + QStringLiteral(" OpenRewriteBatch: ") + table);
        return std::make_unique<RecordingRewriteBatch>(
            m_real->OpenRewriteBatch(*recording.real, table, columns), recording.name, m_log);
    }
    QString ResolveDataSource(const QString& name, const component::DataSourceList& sources) override {
        return m_real->ResolveDataSource(name, sources);
    }
    void WriteEventLog(const QString& source, const QString& message, std::int32_t type) override {
        ADD_FAILURE() << "the propagation writes no event log";
        m_real->WriteEventLog(source, message, type);
    }
    std::shared_ptr<component::SearchEngine> CreateEngine(const QString& a, const QString& b,
                                                          bool log) override {
        return m_real->CreateEngine(a, b, log);
    }

private:
    std::shared_ptr<component::IndexingServices> m_real;
    Log& m_log;
};

class RecordingFactory final : public component::ComponentFactory {
public:
    explicit RecordingFactory(Log& log) : m_log(log) {}
    std::shared_ptr<component::IndexConfiguration> NewIndexConfiguration() override {
        return m_real->NewIndexConfiguration();
    }
    std::shared_ptr<component::IndexingServices> NewIndexingServices() override {
        m_log.order.append(QStringLiteral("NewIndexingServices"));
        return std::make_shared<RecordingServices>(m_real->NewIndexingServices(), m_log);
    }
    std::shared_ptr<component::IndexBuilder> NewIndexBuilder() override { return m_real->NewIndexBuilder(); }
    std::shared_ptr<component::IndexPropagator> NewIndexPropagator() override {
        return m_real->NewIndexPropagator();
    }
    std::shared_ptr<component::MetricsFile> NewMetricsFile() override { return m_real->NewMetricsFile(); }

private:
    std::shared_ptr<component::ComponentFactory> m_real = zarvik::NewComponentFactory();
    Log& m_log;
};

// ---- the catalog data every scenario starts from ----------------------------------

// Catalog 1:  100 ─┬─ 110 ─┬─ 111 ── 1111     Catalog 2:  200 ─┬─ 210 ── 211
//                  │       └─ 112                                └─ 220
//                  └─ 120 ─┬─ 121
//                          └─ 122
// Catalog 3 is a cycle 300 → 301 → 302 → 300 (each the parent of the next), with a
// leaf 303 below 301. Catalog 4: top 400 with child 420; 410 hangs below 405,
// which is missing, and 411 below 410.
const char* const kNodes[] = {
    "(100, NULL, 1)", "(110, 100, 1)",  "(111, 110, 1)", "(1111, 111, 1)", "(112, 110, 1)",
    "(120, 100, 1)",  "(121, 120, 1)",  "(122, 120, 1)", "(200, NULL, 2)", "(210, 200, 2)",
    "(211, 210, 2)",  "(220, 200, 2)",  "(300, 302, 3)", "(301, 300, 3)",  "(302, 301, 3)",
    "(303, 301, 3)",  "(400, NULL, 4)", "(420, 400, 4)", "(410, 405, 4)",  "(411, 410, 4)",
};
const QStringList kCatalog1 = {"1/100", "1/110", "1/111", "1/1111", "1/112", "1/120", "1/121", "1/122"};

struct Assignment {
    const char* user;
    int catalog;
    int node;
    std::optional<int> level;
    int isProfile = 0;
};

class Fixture {
public:
    explicit Fixture(Backend backend) : db(backend) {}

    void SetUpSchema() {
        db.Exec(
            QStringLiteral("CREATE TABLE CATALOGNODE (NODEID INTEGER NOT NULL, PARENTNODEID INTEGER NULL, "
                           "CATALOGID INTEGER NOT NULL, NODENAME VARCHAR(100) NOT NULL)"));
        db.Exec(QStringLiteral(
            "CREATE TABLE CATALOGNODEBYUSER (USERID VARCHAR(100) NOT NULL, CATALOGID INTEGER NOT "
            "NULL, NODEID INTEGER NOT NULL, LEVEL SMALLINT NULL, ISPROFILE INTEGER NOT NULL)"));
        // ORIGIN tells the rows written before a run ('old') from the rows it adds.
        db.Exec(
            QStringLiteral("CREATE TABLE USERNODE (USERID VARCHAR(100) NOT NULL, CATALOGID INTEGER NOT NULL, "
                           "NODEID INTEGER NOT NULL, ORIGIN VARCHAR(10) DEFAULT 'new')"));
        db.Exec(QStringLiteral("CREATE INDEX IX_CN_PARENT ON CATALOGNODE (PARENTNODEID)"));
        db.Exec(QStringLiteral("CREATE INDEX IX_CN_CATALOG ON CATALOGNODE (CATALOGID, NODEID)"));
        db.Exec(QStringLiteral("CREATE INDEX IX_CNU_USER ON CATALOGNODEBYUSER (USERID, CATALOGID)"));
        db.Exec(QStringLiteral("CREATE INDEX IX_UN_USER ON USERNODE (USERID)"));
        QStringList values;
        for (const char* node : kNodes) {
            QString v = QString::fromUtf8(node);
            v.insert(v.size() - 1, QStringLiteral(", 'node'"));
            values.append(v);
        }
        db.Exec(
            QStringLiteral("INSERT INTO CATALOGNODE (NODEID, PARENTNODEID, CATALOGID, NODENAME) VALUES ") +
            values.join(QStringLiteral(", ")));
    }

    static QString Literal(const QString& text) {
        return QLatin1Char('\'') + usernodes::QuoteSql(text) + QLatin1Char('\'');
    }

    void Assign(const Assignment& a) {
        db.Exec(QStringLiteral(
                    "INSERT INTO CATALOGNODEBYUSER (USERID, CATALOGID, NODEID, LEVEL, ISPROFILE) VALUES "
                    "(%1, %2, %3, %4, %5)")
                    .arg(Literal(QString::fromUtf8(a.user)))
                    .arg(a.catalog)
                    .arg(a.node)
                    .arg(a.level ? QString::number(*a.level) : QStringLiteral("NULL"))
                    .arg(a.isProfile));
    }
    void OldRow(const QString& user, int catalog, int node) {
        db.Exec(QStringLiteral(
                    "INSERT INTO USERNODE (USERID, CATALOGID, NODEID, ORIGIN) VALUES (%1, %2, %3, 'old')")
                    .arg(Literal(user))
                    .arg(catalog)
                    .arg(node));
    }
    // The user's USERNODE rows as sorted "catalog/node" texts, old ones marked.
    QStringList RowsOf(const QString& user) {
        QStringList rows;
        for (const QVariantList& row :
             db.Rows(QStringLiteral("SELECT CATALOGID, NODEID, ORIGIN FROM USERNODE WHERE USERID = %1")
                         .arg(Literal(user)))) {
            QString text = row[0].toString() + QLatin1Char('/') + row[1].toString();
            if (row[2].toString() == QStringLiteral("old")) text += QStringLiteral(" old");
            rows.append(text);
        }
        rows.sort();
        return rows;
    }
    // The order in which the run takes the users: as the user query lists them, or
    // (memory) by USERID.
    QStringList UserOrder() {
        QStringList users;
        const QString query =
            configuration.method == component::UserNodeMethod::Memory
                ? QStringLiteral(
                      "SELECT DISTINCT USERID FROM CATALOGNODEBYUSER WHERE "
                      "ISPROFILE=0 ORDER BY USERID")
                : QStringLiteral("SELECT DISTINCT USERID FROM CATALOGNODEBYUSER  WHERE ISPROFILE=0");
        for (const QVariantList& row : db.Rows(query)) users.append(row[0].toString());
        return users;
    }

    // Without "RAdozudo", "Primary" names the database: it would serve a build.
    usernodes::UserNodeRun Propagation(bool withRAdozudo = true) {
        configuration.sources =
            withRAdozudo
                ? component::DataSourceList{{QStringLiteral("Primary"),
                                             QStringLiteral("Provider=SQLite;Database=/nonexistent.db")},
                                            {QStringLiteral("RAdozudo"), db.ConnectionText()}}
                : component::DataSourceList{{QStringLiteral("Primary"), db.ConnectionText()}};
        configuration.setting1 = QStringLiteral("appuser");
        configuration.setting2 = QStringLiteral("secret");
        configuration.order = &log.order;
        component::InstallFactory(std::make_shared<RecordingFactory>(log));
        return usernodes::UserNodeRun(
            usernodes::ReadRunSettings(configuration, *component::Factory().NewIndexingServices()),
            [this] { ++aborts; });
    }

    testsupport::TestDatabase db;
    testsupport::DataSourceConfiguration configuration;
    Log log;
    int aborts = 0;
};

QStringList Sorted(QStringList list) {
    list.sort();
    return list;
}

// ---- one user's computation, scenario by scenario ---------------------------------

struct Scenario {
    const char* name;
    const char* user;
    std::vector<Assignment> assignments;  // the user's, unless another user is named
    bool result;
    QStringList rows;                 // the user's rows afterwards ("old" marks rows kept from before)
    const char* neighbour = "other";  // a user whose rows must stay as they are
};

const Scenario kScenarios[] = {
    {"NoCatalogRows", "u", {{"u", 1, 110, 1, 1}}, true, {}},
    {"SmallestLevelZero",
     "u",
     {{"u", 1, 100, 0}, {"u", 1, 122, 2}, {"u", 2, 210, 1}},
     true,
     kCatalog1 + QStringList{"2/210", "2/211"}},
    {"AncestorAndDescendant",
     "u",
     {{"u", 1, 110, 1}, {"u", 1, 1111, 3}},
     true,
     {"1/110", "1/111", "1/1111", "1/112"}},
    {"TwoBranches",
     "u",
     {{"u", 1, 110, 1}, {"u", 1, 121, 2}},
     true,
     {"1/110", "1/111", "1/1111", "1/112", "1/121"}},
    {"DeeperNodeWithoutAssignedAncestor",
     "u",
     {{"u", 1, 112, 2}, {"u", 1, 1111, 3}},
     true,
     {"1/1111", "1/112"}},
    {"TopNodeInTheSet", "u", {{"u", 1, 100, 1}, {"u", 1, 121, 2}, {"u", 1, 1111, 3}}, true, kCatalog1},
    {"DeeperNodeThatIsATopNode", "u", {{"u", 2, 210, 1}, {"u", 2, 200, 2}}, true, {"2/210", "2/211"}},
    {"MissingNodeOrAncestor", "u", {{"u", 4, 420, 1}, {"u", 4, 411, 2}, {"u", 4, 499, 2}}, true, {"4/420"}},
    {"SameNodeTwiceAtTheSmallestLevel",
     "u",
     {{"u", 2, 220, 1}, {"u", 1, 110, 1}, {"u", 1, 110, 1}},
     false,
     {"1/999 old"}},
    {"NullLevel", "u", {{"u", 1, 110, std::nullopt}}, false, {"1/999 old"}},
    {"ApostropheInUserID",
     "O'Brien",
     {{"O'Brien", 1, 120, 1}},
     true,
     {"1/120", "1/121", "1/122"},
     "O''Brien"},
    {"NationalPrefixAndBackslashInUserID",
     "N'x\\y",
     {{"N'x\\y", 2, 210, 1}},
     true,
     {"2/210", "2/211"},
     "x\\y"},
    {"TrailingBlankInUserID", "abc ", {{"abc ", 2, 220, 1}, {"abc", 2, 210, 1}}, true, {"2/220"}, "abc"},
    {"ProfileRowsTakeNoPart",
     "u",
     {{"u", 1, 110, 1}, {"u", 1, 100, 0, 1}, {"u", 1, 121, 2, 1}, {"u", 2, 200, 0, -1}},
     true,
     {"1/110", "1/111", "1/1111", "1/112"}},
    {"CycleEnds", "u", {{"u", 3, 300, 1}, {"u", 3, 302, 3}}, true, {"3/300", "3/301", "3/302", "3/303"}},
};

void PrintTo(const Scenario& scenario, std::ostream* os) {
    *os << scenario.name;
}

class UserNodesScenario : public ::testing::TestWithParam<std::tuple<Scenario, Backend>> {};

TEST_P(UserNodesScenario, RewritesTheUsersRows) {
    const auto& [scenario, backend] = GetParam();
    Fixture f(backend);
    LUMORA_REQUIRE_DATABASE(f.db);
    f.SetUpSchema();
    for (const Assignment& a : scenario.assignments) f.Assign(a);
    const QString user = QString::fromUtf8(scenario.user);
    const QString neighbour = QString::fromUtf8(scenario.neighbour);
    f.OldRow(user, 1, 999);
    f.OldRow(neighbour, 2, 998);

    EXPECT_EQ(f.Propagation().PopulateUserNodes(user), scenario.result);

    EXPECT_EQ(Std(f.RowsOf(user)), Std(Sorted(scenario.rows)));
    EXPECT_EQ(Std(f.RowsOf(neighbour)), Std({QStringLiteral("2/998 old")}));
    EXPECT_EQ(f.aborts, scenario.result ? 0 : 1);
    // The user ID goes into USERNODE as it was passed, and every row sets the three
    // columns in this order.
    for (const QString& row : f.log.rows)
        EXPECT_EQ(row.section(QLatin1Char('/'), 1, -2), user) << row.toStdString();
    for (const QString& order : f.log.fieldOrders) EXPECT_EQ(order.toStdString(), "CATALOGID,USERID,NODEID");
    // Every connection opened is closed, on failure too.
    EXPECT_EQ(f.log.calls.filter(QStringLiteral(" Close")).size(), f.log.connections);
    if (!scenario.result) {
        EXPECT_TRUE(f.log.calls.contains(QStringLiteral("c2 CancelBatch")) ||
                    !f.log.calls.filter(QStringLiteral("OpenUpdatableRecordset")).size());
        EXPECT_TRUE(f.log.calls.contains(QStringLiteral("c2 RollbackTrans")));
    }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, UserNodesScenario,
                         ::testing::Combine(::testing::ValuesIn(kScenarios),
                                            ::testing::Values(Backend::SQLite, Backend::PostgreSQL,
                                                              Backend::ODBC)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    testsupport::BackendName(std::get<1>(info.param));
                         });

// ---- the all-users run ------------------------------------------------------------

// Each database, each way of reading the catalog.
class UserNodesRun : public ::testing::TestWithParam<std::tuple<Backend, component::UserNodeMethod>> {
protected:
    void SetUp() override {
        m_f = std::make_unique<Fixture>(std::get<0>(GetParam()));
        LUMORA_REQUIRE_DATABASE(m_f->db);
        m_f->configuration.method = std::get<1>(GetParam());
        m_f->SetUpSchema();
    }
    bool Memory() const { return std::get<1>(GetParam()) == component::UserNodeMethod::Memory; }
    std::unique_ptr<Fixture> m_f;
};

TEST_P(UserNodesRun, StopsAtTheFirstFailingUser) {
    Fixture& f = *m_f;
    const QStringList users = {"u1", "u2", "u3", "u4", "u5"};
    for (const QString& u : users) {
        const std::string name = u.toStdString();
        f.Assign({name.c_str(), 2, 210, 1});
        f.Assign({name.c_str(), 2, 220, 1});
        f.OldRow(u, 1, 999);
    }
    const QStringList order = f.UserOrder();
    ASSERT_EQ(order.size(), 5);
    // The third user in the database's own order gets the same node twice.
    const std::string failing = order[2].toStdString();
    f.Assign({failing.c_str(), 2, 220, 1});
    ASSERT_EQ(f.UserOrder(), order);

    auto run = f.Propagation();
    EXPECT_FALSE(run.PopulateAllUserNodes());
    EXPECT_EQ(f.aborts, 1);
    EXPECT_EQ(run.FailureReason(),
              QStringLiteral("Computing the user nodes of user \"%1\" failed: This key is "
                             "already associated with an element of this collection (node 220).")
                  .arg(order[2]));
    EXPECT_EQ(run.UnlistedUsers(), -1);
    for (int i = 0; i < 5; ++i) {
        const QStringList expected =
            i < 2 ? QStringList{"2/210", "2/211", "2/220"} : QStringList{"1/999 old"};
        EXPECT_EQ(Std(f.RowsOf(order[i])), Std(expected)) << "user " << i + 1;
    }
    EXPECT_EQ(f.log.calls.filter(QStringLiteral(" Close")).size(), f.log.connections);
    // Per step: the list, then two per user up to the failing one; read once: a
    // reading and a writing connection.
    EXPECT_EQ(f.log.connections, Memory() ? 2 : 1 + 3 * 2);
}

TEST_P(UserNodesRun, ListsEachUserWithAssignmentsOnce) {
    Fixture& f = *m_f;
    f.Assign({"a", 2, 210, 1});
    f.Assign({"a", 2, 220, 1});
    f.Assign({"a", 1, 121, 1});
    f.Assign({"profile", 1, 110, 1, 1});  // profile rows only: not listed
    for (const char* u : {"a", "profile", "nothing"}) f.OldRow(QString::fromUtf8(u), 1, 999);
    f.OldRow(QStringLiteral("nothing"), 2, 998);  // counted once

    auto run = f.Propagation();
    EXPECT_TRUE(run.PopulateAllUserNodes());
    EXPECT_EQ(f.aborts, 0);
    EXPECT_EQ(run.FailureReason(), QString());
    EXPECT_EQ(run.UnlistedUsers(), 2);  // "profile" and "nothing"
    EXPECT_EQ(Std(f.RowsOf(QStringLiteral("a"))), Std({"1/121", "2/210", "2/211", "2/220"}));
    EXPECT_EQ(Std(f.RowsOf(QStringLiteral("profile"))), Std({"1/999 old"}));
    EXPECT_EQ(Std(f.RowsOf(QStringLiteral("nothing"))), Std({"1/999 old", "2/998 old"}));
    EXPECT_EQ(f.log.calls.filter(QStringLiteral("DELETE FROM USERNODE")).size(), 1);
}

TEST_P(UserNodesRun, NoUserListedIsSuccess) {
    Fixture& f = *m_f;
    f.Assign({"profile", 1, 110, 1, 1});
    f.OldRow(QStringLiteral("profile"), 1, 999);
    auto run = f.Propagation();
    EXPECT_TRUE(run.PopulateAllUserNodes());
    EXPECT_EQ(f.aborts, 0);
    EXPECT_EQ(run.UnlistedUsers(), 1);
    EXPECT_EQ(Std(f.RowsOf(QStringLiteral("profile"))), Std({"1/999 old"}));
}

TEST_P(UserNodesRun, MissingRAdozudoTouchesNoUser) {
    Fixture& f = *m_f;
    f.Assign({"u", 2, 210, 1});
    f.OldRow(QStringLiteral("u"), 1, 999);
    // "Primary" would serve a build, but the propagation looks up "RAdozudo" only.
    auto propagation = f.Propagation(false);
    EXPECT_FALSE(propagation.PopulateAllUserNodes());
    EXPECT_EQ(f.aborts, 1);
    const QString missing = QStringLiteral(
        "The data source \"RAdozudo\" is missing from the index's DbDataSources, so no user nodes were "
        "computed.");
    EXPECT_EQ(propagation.FailureReason(), missing);
    EXPECT_EQ(propagation.UnlistedUsers(), -1);
    EXPECT_FALSE(propagation.PopulateUserNodes(QStringLiteral("u")));
    EXPECT_EQ(f.aborts, 2);
    EXPECT_EQ(propagation.FailureReason(), missing);
    EXPECT_EQ(f.log.connections, 0);
    EXPECT_EQ(Std(f.RowsOf(QStringLiteral("u"))), Std({"1/999 old"}));
}

TEST_P(UserNodesRun, ANullUserIdEndsTheRun) {
    Fixture& f = *m_f;
    // A USERID that cannot become text is a failure of the run itself.
    f.db.Exec(QStringLiteral("DROP TABLE CATALOGNODEBYUSER"));
    f.db.Exec(
        QStringLiteral("CREATE TABLE CATALOGNODEBYUSER (USERID VARCHAR(100) NULL, CATALOGID INTEGER, NODEID "
                       "INTEGER, LEVEL SMALLINT, ISPROFILE INTEGER)"));
    f.db.Exec(QStringLiteral("INSERT INTO CATALOGNODEBYUSER VALUES (NULL, 2, 210, 1, 0)"));
    auto run = f.Propagation();
    EXPECT_FALSE(run.PopulateAllUserNodes());
    EXPECT_EQ(f.aborts, 1);
    EXPECT_EQ(run.FailureReason(), (Memory() ? QStringLiteral("Reading the users' assignments")
                                             : QStringLiteral("Listing the users")) +
                                       QStringLiteral(" failed: Invalid use of Null (column USERID)."));
    EXPECT_EQ(f.log.calls.filter(QStringLiteral(" Close")).size(), f.log.connections);
}

INSTANTIATE_TEST_SUITE_P(
    Backends, UserNodesRun,
    ::testing::Combine(::testing::Values(Backend::SQLite, Backend::PostgreSQL, Backend::ODBC),
                       ::testing::Values(component::UserNodeMethod::Memory,
                                         component::UserNodeMethod::Queries)),
    [](const auto& info) {
        return testsupport::BackendName(std::get<0>(info.param)) +
               (std::get<1>(info.param) == component::UserNodeMethod::Memory ? "_memory" : "_queries");
    });

// ---- the statements as they reach the connections ---------------------------------

TEST(UserNodesStatements, TheSettingsAreReadOncePerRun) {
    Fixture f(Backend::SQLite);
    f.SetUpSchema();
    f.Assign({"u", 2, 210, 1});
    EXPECT_TRUE(f.Propagation().PopulateAllUserNodes());
    // The lookup before the run, then only the services objects of the run and its user.
    const QStringList expected = {
        "NewIndexingServices",          "DbSetting1",          "DbSetting2",         "DbDataSources",
        "GetConnectionString RAdozudo", "NewIndexingServices", "NewIndexingServices"};
    EXPECT_EQ(Std(f.log.order), Std(expected));
}

TEST(UserNodesStatements, ExactTextsOfEveryQuery) {
    Fixture f(Backend::SQLite);
    f.SetUpSchema();
    f.Assign({"O'B", 1, 110, 1});
    f.Assign({"O'B", 1, 122, 2});
    f.Assign({"O'B", 2, 200, 0});

    EXPECT_TRUE(f.Propagation().PopulateAllUserNodes());

    const QStringList expected = {
        "OpenConnection c1",
        "c1 OpenRecordset: SELECT DISTINCT USERID FROM CATALOGNODEBYUSER  WHERE ISPROFILE=0",
        "OpenConnection c2",
        "OpenConnection c3",
        "c2 OpenRecordset: SELECT DISTINCT CATALOGID FROM CATALOGNODEBYUSER WHERE USERID=N'O''B' AND "
        "ISPROFILE=0",
        "c3 BeginTrans",
        "c3 Execute: DELETE FROM USERNODE WHERE USERID=N'O''B' ",
        "c3 OpenUpdatableRecordset: SELECT * FROM USERNODE WHERE USERID=N'O''B' ",
        "c2 OpenRecordset: SELECT MIN(LEVEL) AS LEVEL FROM CATALOGNODEBYUSER  WHERE CATALOGID = 1 AND USERID "
        "= "
        "N'O''B'  AND ISPROFILE=0",
        "c2 OpenRecordset: SELECT NODEID FROM CATALOGNODEBYUSER  WHERE CATALOGID = 1 AND USERID = N'O''B'  "
        "AND "
        "LEVEL = 1 AND ISPROFILE=0",
        "c2 OpenRecordset: SELECT NODEID FROM CATALOGNODEBYUSER WHERE  CATALOGID =1 AND USERID = N'O''B'  "
        "AND "
        "ISPROFILE = 0  AND LEVEL > 1 ",
        "c2 OpenRecordset: SELECT NODEID, PARENTNODEID FROM CATALOGNODE WHERE  CATALOGID =1 AND NODEID = "
        "122 ",
        "c2 OpenRecordset: SELECT NODEID, PARENTNODEID FROM CATALOGNODE WHERE  CATALOGID =1 AND NODEID = "
        "120 ",
        "c2 OpenRecordset: SELECT NODEID, PARENTNODEID FROM CATALOGNODE WHERE  CATALOGID =1 AND NODEID = "
        "100 ",
        "c2 OpenRecordset: SELECT TOP 1 CNU.NODEID AS NODEID, CN.NODENAME AS NODENAME  FROM "
        "CATALOGNODEBYUSER CNU, "
        "CATALOGNODE CN WHERE  CNU.CATALOGID =1 AND CNU.NODEID IN (122,120)  AND CNU.USERID = N'O''B'  AND "
        "CNU.NODEID = CN.NODEID AND CNU.ISPROFILE = 0  ORDER BY CNU.LEVEL ",
        "c2 OpenRecordset: SELECT NODEID FROM CATALOGNODE WHERE PARENTNODEID IN (110) ORDER BY NODEID",
        "c2 OpenRecordset: SELECT NODEID FROM CATALOGNODE WHERE PARENTNODEID IN (111,112) ORDER BY NODEID",
        "c2 OpenRecordset: SELECT NODEID FROM CATALOGNODE WHERE PARENTNODEID IN (1111) ORDER BY NODEID",
        "c2 OpenRecordset: SELECT NODEID FROM CATALOGNODE WHERE PARENTNODEID IN (122) ORDER BY NODEID",
        "c2 OpenRecordset: SELECT MIN(LEVEL) AS LEVEL FROM CATALOGNODEBYUSER  WHERE CATALOGID = 2 AND USERID "
        "= "
        "N'O''B'  AND ISPROFILE=0",
        "c2 OpenRecordset: SELECT NODEID FROM CATALOGNODE  WHERE CATALOGID = 2",
        "c3 UpdateBatch",
        "c3 CommitTrans",
        "c2 Close",
        "c3 Close",
        "c1 OpenRecordset: SELECT COUNT(UN.USERID) AS UNLISTED FROM (SELECT DISTINCT USERID FROM USERNODE) "
        "UN "
        "WHERE NOT EXISTS "
        "(SELECT 1 FROM CATALOGNODEBYUSER CNU WHERE CNU.USERID = UN.USERID AND CNU.ISPROFILE = 0)",
        "c1 Close",
    };
    EXPECT_EQ(Std(f.log.calls), Std(expected));
    // The set in the order of finding (110, then 122), each node followed by its
    // descendants level by level; then catalog 2 in the order the database gives.
    EXPECT_EQ(Std(f.log.rows), Std({"1/O'B/110", "1/O'B/111", "1/O'B/112", "1/O'B/1111", "1/O'B/122",
                                    "2/O'B/200", "2/O'B/210", "2/O'B/211", "2/O'B/220"}));
}

// ---- small pieces -----------------------------------------------------------------

TEST(QuoteSql, DoublesEveryApostrophe) {
    const std::pair<const char*, const char*> cases[] = {
        {"", ""}, {"plain", "plain"}, {"O'Brien", "O''Brien"}, {"''", "''''"}, {"'a'b'", "''a''b''"}};
    for (const auto& [in, out] : cases)
        EXPECT_EQ(usernodes::QuoteSql(QString::fromUtf8(in)).toStdString(), out);
    EXPECT_FALSE(usernodes::QuoteSql(QString()).isNull());
}

TEST(NodeIdSet, KeepsTheOrderOfAddingAndRefusesAPresentKey) {
    usernodes::NodeIdSet set;
    for (int id : {30, -5, 10}) set.Add(id);
    EXPECT_EQ(set.Keys(), (std::vector<std::int32_t>{30, -5, 10}));
    EXPECT_TRUE(set.Exists(-5));
    EXPECT_FALSE(set.Exists(5));
    try {
        set.Add(30);
        ADD_FAILURE() << "no error for a present key";
    } catch (const component::Error& e) {
        EXPECT_EQ(e.Number(), errnum::kKeyExists);
    }
    EXPECT_EQ(set.Keys().size(), 3u);
    set.RemoveAll();
    EXPECT_TRUE(set.Keys().empty());
    set.Add(30);  // allowed again after emptying
    EXPECT_TRUE(set.Exists(30));
}

}  // namespace
