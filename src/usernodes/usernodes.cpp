// Recomputes which catalog nodes each user may see (USERNODE).
#include "usernodes/usernodes.h"

#include <QSet>
#include <QStringBuilder>
#include <cmath>
#include <limits>
#include <utility>

#include "component/factory.h"
#include "component/texts.h"
#include "usernodes/catalogsource.h"
#include "usernodes/memorycatalog.h"
#include "usernodes/nodeidset.h"
#include "usernodes/numberkind.h"

namespace usernodes {

QString QuoteSql(const QString& text) {
    // Never null: the result is pasted into statements.
    QString quoted = text.isNull() ? QString(QLatin1String("")) : text;
    quoted.replace(QLatin1Char('\''), QStringLiteral("''"));
    return quoted;
}

namespace {

using component::Error;
namespace errnum = component::errnum;

const QString kSource = QStringLiteral("UserNodePropagation");
const QString kDataSource = QStringLiteral("RAdozudo");

// ---- reading values ------------------------------------------------------------

// A whole number from a database value, rounding like the database's own integer
// conversion would (half to even). NULL and values that are not numbers raise.
qint64 ToWhole(const QVariant& value, const QString& column, qint64 low, qint64 high) {
    if (value.isNull())
        throw Error(errnum::kConversion, kSource,
                    QStringLiteral("Invalid use of Null (column %1)").arg(column));
    bool ok = false;
    double asDouble = 0;
    qint64 whole = 0;
    bool isWhole = false;
    switch (NumberKindOf(value.typeId())) {
        case NumberKind::Signed:
            whole = value.toLongLong();
            isWhole = true;
            break;
        case NumberKind::Unsigned: {
            const qulonglong u = value.toULongLong();
            if (u > static_cast<qulonglong>(high))
                throw Error(errnum::kOverflow, kSource, QStringLiteral("Overflow (column %1)").arg(column));
            whole = static_cast<qint64>(u);
            isWhole = true;
            break;
        }
        case NumberKind::Boolean:
            whole = value.toBool() ? -1 : 0;
            isWhole = true;
            break;
        case NumberKind::Floating:
            asDouble = value.toDouble();
            break;
        case NumberKind::Other: {
            const QString text = value.toString().trimmed();
            whole = text.toLongLong(&ok);
            if (ok) {
                isWhole = true;
                break;
            }
            asDouble = text.toDouble(&ok);
            if (!ok)
                throw Error(
                    errnum::kTypeMismatch, kSource,
                    QStringLiteral("Type mismatch (column %1): \"%2\"").arg(column, value.toString()));
        }
    }
    if (!isWhole) {
        if (!std::isfinite(asDouble) || asDouble < static_cast<double>(low) - 0.5 ||
            asDouble > static_cast<double>(high) + 0.5)
            throw Error(errnum::kOverflow, kSource, QStringLiteral("Overflow (column %1)").arg(column));
        whole = static_cast<qint64>(std::nearbyint(asDouble));
    }
    if (whole < low || whole > high)
        throw Error(errnum::kOverflow, kSource,
                    QStringLiteral("Overflow (column %1): %2").arg(column).arg(whole));
    return whole;
}

std::int32_t ToInt32(const QVariant& value, const QString& column) {
    return static_cast<std::int32_t>(ToWhole(value, column, std::numeric_limits<std::int32_t>::min(),
                                             std::numeric_limits<std::int32_t>::max()));
}

std::int16_t ToInt16(const QVariant& value, const QString& column) {
    return static_cast<std::int16_t>(ToWhole(value, column, std::numeric_limits<std::int16_t>::min(),
                                             std::numeric_limits<std::int16_t>::max()));
}

QString ToText(const QVariant& value, const QString& column) {
    if (value.isNull())
        throw Error(errnum::kConversion, kSource,
                    QStringLiteral("Invalid use of Null (column %1)").arg(column));
    return value.toString();
}

template <typename T>
T& Require(const std::unique_ptr<T>& result, const QString& what) {
    if (!result) throw Error(errnum::kDatabase, kSource, what + QStringLiteral(" returned no result"));
    return *result;
}

// What the lookup of the "RAdozudo" connection text needs from the configuration.
struct DatabaseSettings {
    QString setting1;
    QString setting2;
    component::DataSourceList dataSources;
};

DatabaseSettings ReadDatabaseSettings(const component::IndexConfiguration& configuration) {
    DatabaseSettings settings;
    settings.setting1 = configuration.DbSetting1();
    settings.setting2 = configuration.DbSetting2();
    settings.dataSources = configuration.DbDataSources();
    return settings;
}

// The opening steps both computations share: the connection text of "RAdozudo".
// The propagation never falls back to "Primary", unlike the build.
QString RAdozudoConnectionText(const DatabaseSettings& settings, component::IndexingServices& services) {
    const QString text =
        services.GetConnectionString(settings.setting1, settings.setting2, kDataSource, settings.dataSources);
    if (text.isEmpty()) throw Error(errnum::kAppBase, kSource, component::kNoDataSourceText);
    return text;
}

// ---- the queries, piece by piece -----------------------------------------------

QString Num(qint64 n) {
    return QString::number(n);
}

QString SelectCatalogsOfUser(const QString& userID) {
    return QStringLiteral("SELECT DISTINCT CATALOGID FROM CATALOGNODEBYUSER WHERE USERID=N'") %
           QuoteSql(userID) % QStringLiteral("' AND ISPROFILE=0");
}
QString DeleteRowsOfUser(const QString& userID) {
    return QStringLiteral("DELETE FROM USERNODE WHERE USERID=N'") % QuoteSql(userID) % QStringLiteral("' ");
}
QString SelectRowsOfUser(const QString& userID) {
    return QStringLiteral("SELECT * FROM USERNODE WHERE USERID=N'") % QuoteSql(userID) % QStringLiteral("' ");
}
QString SelectSmallestLevel(std::int32_t catalogID, const QString& userID) {
    return QStringLiteral("SELECT MIN(LEVEL) AS LEVEL FROM CATALOGNODEBYUSER ") %
           QStringLiteral(" WHERE CATALOGID = ") % Num(catalogID) % QStringLiteral(" AND USERID = N'") %
           QuoteSql(userID) % QStringLiteral("' ") % QStringLiteral(" AND ISPROFILE=0");
}
QString SelectNodesOfCatalog(std::int32_t catalogID) {
    return QStringLiteral("SELECT NODEID FROM CATALOGNODE ") % QStringLiteral(" WHERE CATALOGID = ") %
           Num(catalogID);
}
QString SelectAssignedNodesAtLevel(std::int32_t catalogID, const QString& userID, std::int16_t level) {
    return QStringLiteral("SELECT NODEID FROM CATALOGNODEBYUSER ") % QStringLiteral(" WHERE CATALOGID = ") %
           Num(catalogID) % QStringLiteral(" AND USERID = N'") % QuoteSql(userID) % QStringLiteral("' ") %
           QStringLiteral(" AND LEVEL = ") % Num(level) % QStringLiteral(" AND ISPROFILE=0");
}
QString SelectAssignedNodesBelowLevel(std::int32_t catalogID, const QString& userID, std::int16_t level) {
    return QStringLiteral("SELECT NODEID FROM CATALOGNODEBYUSER WHERE ") % QStringLiteral(" CATALOGID =") %
           Num(catalogID) % QStringLiteral(" AND USERID = N'") % QuoteSql(userID) % QStringLiteral("' ") %
           QStringLiteral(" AND ISPROFILE = 0 ") % QStringLiteral(" AND LEVEL > ") % Num(level) %
           QStringLiteral(" ");
}
QString SelectNodeAndParent(std::int32_t catalogID, std::int32_t nodeID) {
    return QStringLiteral("SELECT NODEID, PARENTNODEID FROM CATALOGNODE WHERE ") %
           QStringLiteral(" CATALOGID =") % Num(catalogID) % QStringLiteral(" AND NODEID = ") % Num(nodeID) %
           QStringLiteral(" ");
}
QString SelectHighestAssignedInChain(std::int32_t catalogID, const QString& chain, const QString& userID) {
    return QStringLiteral("SELECT TOP 1 CNU.NODEID AS NODEID, CN.NODENAME AS NODENAME ") %
           QStringLiteral(" FROM CATALOGNODEBYUSER CNU, CATALOGNODE CN WHERE ") %
           QStringLiteral(" CNU.CATALOGID =") % Num(catalogID) % QStringLiteral(" AND CNU.NODEID IN (") %
           chain % QStringLiteral(") ") % QStringLiteral(" AND CNU.USERID = N'") % QuoteSql(userID) %
           QStringLiteral("' ") % QStringLiteral(" AND CNU.NODEID = CN.NODEID") %
           QStringLiteral(" AND CNU.ISPROFILE = 0 ") % QStringLiteral(" ORDER BY CNU.LEVEL ");
}
QString SelectChildren(const QString& levelList) {
    return QStringLiteral("SELECT NODEID FROM CATALOGNODE WHERE PARENTNODEID IN (") % levelList %
           QStringLiteral(") ORDER BY NODEID");
}
const QString kSelectListedUsers =
    QStringLiteral("SELECT DISTINCT USERID FROM CATALOGNODEBYUSER  WHERE ISPROFILE=0");

void Append(QString& list, std::int32_t id) {
    if (!list.isEmpty()) list += QLatin1Char(',');
    list += Num(id);
}

// ---- the rules -------------------------------------------------------------------

// Where the rows of one user go.
class RowSink {
public:
    virtual ~RowSink() = default;
    virtual void Add(std::int32_t catalogID, std::int32_t nodeID) = 0;
};

// Which nodes of a catalog a user sees, from what the source answers. Every value is
// converted here, so a value that cannot be read fails the user whichever way the
// data was read.
class UserRules {
public:
    UserRules(CatalogSource& source, RowSink& output) : m_source(source), m_output(output) {}

    void Catalog(std::int32_t catalogID) {
        m_catalogID = catalogID;
        const std::int16_t level = ToInt16(m_source.SmallestLevel(catalogID), QStringLiteral("LEVEL"));
        if (level == 0) {
            // The whole catalog is granted; the deeper assignments do not matter.
            for (const QVariant& node : m_source.NodesOfCatalog(catalogID))
                m_output.Add(m_catalogID, ToInt32(node, QStringLiteral("NODEID")));
        } else {
            for (const QVariant& node : m_source.NodesAtLevel(catalogID, level))
                m_set.Add(ToInt32(node, QStringLiteral("NODEID")));
            for (const QVariant& node : m_source.DeeperNodes(catalogID, level))
                WalkUp(ToInt32(node, QStringLiteral("NODEID")));
            for (std::int32_t node : m_set.Keys()) {
                m_output.Add(m_catalogID, node);
                ExpandDown(node);
            }
        }
        m_set.RemoveAll();
    }

private:
    // Finds the highest assigned node on the way from a deeper assigned node up to
    // (not including) the catalog's top node. A node met twice means the parents
    // form a cycle and there is no top node: nothing is added for it.
    void WalkUp(std::int32_t deeper) {
        std::vector<std::int32_t> chain;
        QSet<std::int32_t> met;
        auto current = m_source.NodeAndParent(m_catalogID, deeper);
        while (current && !current->parent.isNull()) {
            const std::int32_t node = ToInt32(current->node, QStringLiteral("NODEID"));
            const std::int32_t parent = ToInt32(current->parent, QStringLiteral("PARENTNODEID"));
            chain.push_back(node);
            met.insert(node);
            if (met.contains(parent)) return;
            current = m_source.NodeAndParent(m_catalogID, parent);
        }
        if (!current) return;  // the node or an ancestor is missing
        const std::int32_t top = ToInt32(current->node, QStringLiteral("NODEID"));
        if (m_set.Exists(top) || chain.empty()) return;
        const std::optional<QVariant> highest = m_source.HighestAssigned(m_catalogID, chain);
        if (!highest) return;
        const std::int32_t node = ToInt32(*highest, QStringLiteral("NODEID"));
        if (!m_set.Exists(node)) m_set.Add(node);
    }

    // Breadth-first, level by level. A node already met in this expansion is not
    // expanded again, so a cycle in the parents ends the expansion.
    void ExpandDown(std::int32_t node) {
        QSet<std::int32_t> met{node};
        std::vector<std::int32_t> level{node};
        std::vector<std::int32_t> next;
        while (!level.empty()) {
            next.clear();
            for (const QVariant& value : m_source.Children(level)) {
                const std::int32_t child = ToInt32(value, QStringLiteral("NODEID"));
                if (met.contains(child)) continue;
                met.insert(child);
                next.push_back(child);
                m_output.Add(m_catalogID, child);
            }
            level.swap(next);
        }
    }

    CatalogSource& m_source;
    RowSink& m_output;
    std::int32_t m_catalogID = 0;
    NodeIdSet m_set;
};

// ---- reading by one query per step --------------------------------------------------

QString Joined(const std::vector<std::int32_t>& ids) {
    QString list;
    for (std::int32_t id : ids) Append(list, id);
    return list;
}

class QueriesSource final : public CatalogSource {
public:
    QueriesSource(component::IndexingServices& services, component::Connection& read, QString userID)
        : m_services(services), m_read(read), m_userID(std::move(userID)) {}

    QVariantList CatalogsOfUser() override { return WholeColumn(SelectCatalogsOfUser(m_userID)); }
    QVariant SmallestLevel(std::int32_t catalogID) override {
        // One row always: no test for the end.
        return Open(SelectSmallestLevel(catalogID, m_userID))->Field(QStringLiteral("LEVEL"));
    }
    QVariantList NodesOfCatalog(std::int32_t catalogID) override {
        return WholeColumn(SelectNodesOfCatalog(catalogID));
    }
    QVariantList NodesAtLevel(std::int32_t catalogID, std::int16_t level) override {
        QVariantList nodes;
        auto rs = Open(SelectAssignedNodesAtLevel(catalogID, m_userID, level));
        while (!rs->IsEOF()) {
            nodes.append(rs->Field(QStringLiteral("NODEID")));
            rs->MoveNext();
        }
        return nodes;
    }
    QVariantList DeeperNodes(std::int32_t catalogID, std::int16_t level) override {
        return WholeColumn(SelectAssignedNodesBelowLevel(catalogID, m_userID, level));
    }
    std::optional<NodeRow> NodeAndParent(std::int32_t catalogID, std::int32_t nodeID) override {
        auto rs = Open(SelectNodeAndParent(catalogID, nodeID));
        if (rs->IsEOF()) return std::nullopt;
        return NodeRow{rs->Field(QStringLiteral("NODEID")), rs->Field(QStringLiteral("PARENTNODEID"))};
    }
    std::optional<QVariant> HighestAssigned(std::int32_t catalogID,
                                            const std::vector<std::int32_t>& chain) override {
        auto rs = Open(SelectHighestAssignedInChain(catalogID, Joined(chain), m_userID));
        if (rs->IsEOF()) return std::nullopt;
        return rs->Field(QStringLiteral("NODEID"));
    }
    QVariantList Children(const std::vector<std::int32_t>& parents) override {
        QVariantList children;
        auto rs = Open(SelectChildren(Joined(parents)));
        if (!(rs->IsBOF() && rs->IsEOF())) rs->MoveFirst();
        while (!rs->IsEOF()) {
            children.append(rs->Field(QStringLiteral("NODEID")));
            rs->MoveNext();
        }
        return children;
    }

private:
    std::unique_ptr<component::Recordset> Open(const QString& sql) {
        auto rs = m_services.OpenRecordset(m_read, sql);
        Require(rs, QStringLiteral("The query"));
        return rs;
    }

    // Column 0 of a whole result; an empty result asks for no rows at all.
    QVariantList WholeColumn(const QString& sql) {
        auto rs = Open(sql);
        if (rs->IsBOF() && rs->IsEOF()) return {};
        QList<QVariantList> rows = rs->GetRows();
        return rows.isEmpty() ? QVariantList() : rows.first();
    }

    component::IndexingServices& m_services;
    component::Connection& m_read;
    const QString m_userID;
};

// The rows of a user as the batch of the output recordset.
class RecordsetSink final : public RowSink {
public:
    RecordsetSink(component::UpdatableRecordset& output, QString userID)
        : m_output(output), m_userID(std::move(userID)) {}
    void Add(std::int32_t catalogID, std::int32_t nodeID) override {
        m_output.AddNew();
        m_output.SetField(QStringLiteral("CATALOGID"), QVariant(catalogID));
        m_output.SetField(QStringLiteral("USERID"), QVariant(m_userID));
        m_output.SetField(QStringLiteral("NODEID"), QVariant(nodeID));
    }

private:
    component::UpdatableRecordset& m_output;
    const QString m_userID;
};

// The rows of a user kept until the user is done: a user that fails adds nothing.
class CollectingSink final : public RowSink {
public:
    void Add(std::int32_t catalogID, std::int32_t nodeID) override { rows.emplace_back(catalogID, nodeID); }
    std::vector<std::pair<std::int32_t, std::int32_t>> rows;
};

// ---- the catalog read once ----------------------------------------------------------

// The assignments of every listed user, the users as the user query lists them and
// the rows matched to them by the database's own comparison of USERID, sorted so
// that each user's rows come together and, within a catalog, in the order of LEVEL
// that the per-step query for the highest assigned node would use.
const QString kAssignmentQuery = QStringLiteral(
    "SELECT U.USERID AS USERID, CNU.CATALOGID AS CATALOGID, CNU.NODEID AS NODEID, CNU.LEVEL AS LEVEL "
    "FROM (SELECT DISTINCT USERID FROM CATALOGNODEBYUSER WHERE ISPROFILE=0) U "
    "LEFT JOIN CATALOGNODEBYUSER CNU ON CNU.USERID = U.USERID AND CNU.ISPROFILE = 0 "
    "ORDER BY U.USERID, CNU.CATALOGID, CNU.LEVEL");

// Users that keep USERNODE rows although no assignment lists them any more.
const QString kUnlistedUsersQuery = QStringLiteral(
    "SELECT COUNT(DISTINCT UN.USERID) AS UNLISTED FROM USERNODE UN WHERE NOT EXISTS "
    "(SELECT 1 FROM CATALOGNODEBYUSER CNU WHERE CNU.USERID = UN.USERID AND CNU.ISPROFILE = 0)");

// Rewrites go to the database in groups of about this many users or rows: one
// transaction and one round trip per group rather than per user, and a bounded
// amount held in memory.
constexpr qsizetype kUsersPerSend = 256;
constexpr qsizetype kRowsPerSend = 32768;

void CloseQuietly(std::unique_ptr<component::Connection>& connection) {
    if (!connection) return;
    try {
        connection->Close();
    } catch (const std::exception&) {
        // Closing after a failure; the failure is what counts.
    }
}

QString Quoted(const QString& userID) {
    return QLatin1Char('"') + userID + QLatin1Char('"');
}

// The steps a failure reason names.
const QString kStepDataSource = QStringLiteral("Looking up the data source");
const QString kStepConnecting = QStringLiteral("Connecting to the database");
const QString kStepCatalog = QStringLiteral("Reading the catalog");
const QString kStepAssignments = QStringLiteral("Reading the users' assignments");
const QString kStepUsers = QStringLiteral("Listing the users");

QString ComputingStep(const QString& userID) {
    return QStringLiteral("Computing the user nodes of user ") + Quoted(userID);
}
QString WritingStep(const QString& userID) {
    return QStringLiteral("Writing the user nodes of user ") + Quoted(userID);
}

// One sentence: the step, then the first line of what the database or the
// conversion said.
QString FailureSentence(const QString& step, const std::exception& failure) {
    if (step == kStepDataSource)
        return QStringLiteral(
                   "The data source \"%1\" is missing from the index's DbDataSources, so no user "
                   "nodes were computed.")
            .arg(kDataSource);
    const auto* error = dynamic_cast<const Error*>(&failure);
    QString message = error ? error->Description() : QString::fromLocal8Bit(failure.what());
    message = message.section(QLatin1Char('\n'), 0, 0).trimmed();
    while (message.endsWith(QLatin1Char('.'))) message.chop(1);
    return step + QStringLiteral(" failed: ") + message + QLatin1Char('.');
}

// The users with rows but no assignment, or -1 when the count fails (it is told, it
// fails nothing).
qint64 CountUnlistedUsers(component::IndexingServices& services, component::Connection& read) {
    try {
        auto result = services.OpenRecordset(read, kUnlistedUsersQuery);
        if (!result || result->IsEOF()) return -1;
        return ToWhole(result->Field(QStringLiteral("UNLISTED")), QStringLiteral("UNLISTED"), 0,
                       std::numeric_limits<qint64>::max());
    } catch (const std::exception&) {
        return -1;
    }
}

// The run over every listed user with the catalog in memory, step by step. `step`
// always says what it was doing, for the failure reason.
class MemoryRun {
public:
    explicit MemoryRun(QString& step) : m_step(step) {}

    ~MemoryRun() {
        m_assignments.reset();
        m_batch.reset();
        CloseQuietly(m_read);
        CloseQuietly(m_write);
    }

    void Open(const component::IndexConfiguration& configuration) {
        m_step = kStepDataSource;
        m_services = component::Factory().NewIndexingServices();
        const QString connectionText =
            RAdozudoConnectionText(ReadDatabaseSettings(configuration), *m_services);
        m_step = kStepConnecting;
        m_read = m_services->OpenConnection(connectionText);
        Require(m_read, QStringLiteral("OpenConnection"));
        m_write = m_services->OpenConnection(connectionText);
        Require(m_write, QStringLiteral("OpenConnection"));
    }

    void ReadCatalog() {
        m_step = kStepCatalog;
        auto nodes = m_services->OpenRowStream(*m_read, MemoryCatalog::kQuery);
        Require(nodes, QStringLiteral("The catalog query"));
        m_catalog.Read(*nodes);
    }

    void OpenAssignmentsAndBatch() {
        m_step = kStepAssignments;
        m_assignments = m_services->OpenRowStream(*m_read, kAssignmentQuery);
        Require(m_assignments, QStringLiteral("The user query"));
        m_batch = m_services->OpenRewriteBatch(
            *m_write, QStringLiteral("USERNODE"),
            {QStringLiteral("CATALOGID"), QStringLiteral("USERID"), QStringLiteral("NODEID")});
        Require(m_batch, QStringLiteral("OpenRewriteBatch"));
    }

    // Every user of the assignments, in their order, each computed once its rows are
    // all read.
    void RewriteEveryUser() {
        QVariantList row;
        while (NextAssignment(row)) m_source.Add(row.value(1), row.value(2), row.value(3));
        if (m_haveUser) FinishUser();
        Send();
        m_assignments.reset();
    }

    // Closes what the run opened; raises what closing raises.
    void Close() {
        m_batch.reset();
        m_read->Close();
        m_write->Close();
    }

    qint64 CountUnlisted() { return CountUnlistedUsers(*m_services, *m_read); }

    // After a failure: the users finished before it are sent, so that they keep their
    // new rows.
    void SendFinishedUsers() {
        if (!m_batch) return;
        const QString step = m_step;
        try {
            Send();
        } catch (const std::exception&) {
            m_batch->Cancel();
        }
        m_step = step;  // the first failure is the one reported
    }

    qint64 UsersRewritten() const { return m_usersRewritten; }

private:
    // The next assignment row into `row`, after finishing the user before it when
    // the row starts another one; false at the end.
    bool NextAssignment(QVariantList& row) {
        m_step = m_haveUser ? ComputingStep(m_user) : kStepAssignments;
        if (!m_assignments->Next(row)) return false;
        // The user before a USERID that cannot be read is done before it fails, as
        // it would be when the users are listed one by one.
        const QVariant id = row.value(0);
        if (m_haveUser && (id.isNull() || id.toString() != m_user)) {
            FinishUser();
            m_haveUser = false;
            m_step = kStepAssignments;
        }
        const QString userID = ToText(id, QStringLiteral("USERID"));
        if (!m_haveUser) StartUser(userID);
        return true;
    }

    void StartUser(const QString& userID) {
        // The rows of a user come together; a user met again would lose the rows of
        // its first part.
        if (m_done.contains(userID))
            throw Error(errnum::kDatabase, kSource,
                        QStringLiteral("The assignments of user %1 did not come together").arg(userID));
        m_done.insert(userID);
        m_user = userID;
        m_haveUser = true;
        m_step = ComputingStep(userID);
        m_source.Clear();
    }

    // The rows of one user go into the batch only once the whole user succeeded.
    void FinishUser() {
        m_step = ComputingStep(m_user);
        CollectingSink sink;
        UserRules rules(m_source, sink);
        for (const QVariant& catalogID : m_source.CatalogsOfUser())
            rules.Catalog(ToInt32(catalogID, QStringLiteral("CATALOGID")));
        m_batch->BeginUnit(DeleteRowsOfUser(m_user));
        m_pendingUsers.append(m_user);
        QVariantList row{QVariant(), QVariant(m_user), QVariant()};
        for (const auto& [catalogID, nodeID] : sink.rows) {
            row[0] = catalogID;
            row[2] = nodeID;
            m_batch->AddRow(row);
        }
        if (m_batch->PendingUnits() >= kUsersPerSend || m_batch->PendingRows() >= kRowsPerSend) Send();
    }

    // A user counts as rewritten once its group is committed.
    void Send() {
        try {
            m_batch->Send();
        } catch (const Error& error) {
            const qsizetype committed = m_batch->UnitsCommitted();
            m_usersRewritten += committed;
            m_step = SendStep(error, committed);
            m_pendingUsers.clear();
            throw;
        }
        m_usersRewritten += m_batch->UnitsCommitted();
        m_pendingUsers.clear();
    }

    // The user whose rows the database refused, or the group whose commit failed.
    QString SendStep(const Error& error, qsizetype committed) const {
        if (committed < m_pendingUsers.size() &&
            error.Description().startsWith(QStringLiteral("Rewriting the rows of")))
            return WritingStep(m_pendingUsers[committed]);
        if (m_pendingUsers.isEmpty()) return kStepAssignments;
        return QStringLiteral("Committing the user nodes of users %1 to %2")
            .arg(Quoted(m_pendingUsers.first()), Quoted(m_pendingUsers.last()));
    }

    QString& m_step;
    std::shared_ptr<component::IndexingServices> m_services;
    std::unique_ptr<component::Connection> m_read;
    std::unique_ptr<component::Connection> m_write;
    std::unique_ptr<component::RowStream> m_assignments;
    std::unique_ptr<component::RewriteBatch> m_batch;
    MemoryCatalog m_catalog;
    MemorySource m_source{m_catalog};
    QString m_user;
    bool m_haveUser = false;
    QSet<QString> m_done;
    QStringList m_pendingUsers;  // the users of the batch's units, in order
    qint64 m_usersRewritten = 0;
};

}  // namespace

UserNodePropagation::UserNodePropagation(const component::IndexConfiguration& configuration,
                                         std::function<void()> abortBuild)
    : m_configuration(configuration), m_abortBuild(std::move(abortBuild)) {}

void UserNodePropagation::Fail(const QString& step, const std::exception& failure) {
    m_failureReason = FailureSentence(step, failure);
    if (m_abortBuild) m_abortBuild();
}

bool UserNodePropagation::PopulateUserNodes(const QString& i_sUserID) {
    const QString userID = i_sUserID;
    m_failureReason.clear();
    QString step = kStepDataSource;
    std::shared_ptr<component::IndexingServices> services;
    std::unique_ptr<component::Connection> read;
    std::unique_ptr<component::Connection> write;
    std::unique_ptr<component::UpdatableRecordset> output;
    bool inTransaction = false;
    try {
        // One user's run reads its settings before it makes its services object; the
        // all-users run makes its object first.
        const DatabaseSettings settings = ReadDatabaseSettings(m_configuration);
        services = component::Factory().NewIndexingServices();
        const QString connectionText = RAdozudoConnectionText(settings, *services);
        step = kStepConnecting;
        read = services->OpenConnection(connectionText);
        Require(read, QStringLiteral("OpenConnection"));
        write = services->OpenConnection(connectionText);
        Require(write, QStringLiteral("OpenConnection"));

        step = ComputingStep(userID);
        QueriesSource source(*services, *read, userID);
        const QVariantList catalogs = source.CatalogsOfUser();
        // The delete and the new rows are one unit: a failure keeps the old rows.
        step = WritingStep(userID);
        write->BeginTrans();
        inTransaction = true;
        write->Execute(DeleteRowsOfUser(userID));
        output = services->OpenUpdatableRecordset(*write, SelectRowsOfUser(userID));
        Require(output, QStringLiteral("The query"));

        step = ComputingStep(userID);
        RecordsetSink sink(*output, userID);
        UserRules rules(source, sink);
        for (const QVariant& catalog : catalogs) rules.Catalog(ToInt32(catalog, QStringLiteral("CATALOGID")));

        step = WritingStep(userID);
        output->UpdateBatch();
        write->CommitTrans();
        inTransaction = false;
        output.reset();
        read->Close();
        write->Close();
        return true;
    } catch (const std::exception& failure) {
        if (output) {
            try {
                output->CancelBatch();
            } catch (const std::exception&) {
            }
        }
        output.reset();
        if (inTransaction) {
            try {
                write->RollbackTrans();
            } catch (const std::exception&) {
                // Closing the connection discards the transaction as well.
            }
        }
        CloseQuietly(read);
        CloseQuietly(write);
        Fail(step, failure);
        return false;
    }
}

bool UserNodePropagation::PopulateAllUserNodes() {
    m_failureReason.clear();
    m_unlistedUsers = -1;
    component::UserNodeMethod method = component::UserNodeMethod::Memory;
    try {
        method = m_configuration.GetUserNodeMethod();
    } catch (const std::exception& failure) {
        Fail(QStringLiteral("Reading the index's user-node method"), failure);
        return false;
    }
    return method == component::UserNodeMethod::Queries ? RunByQueries() : RunInMemory();
}

bool UserNodePropagation::RunInMemory() {
    m_usersRewritten = 0;
    QString step;
    MemoryRun run(step);
    try {
        run.Open(m_configuration);
        run.ReadCatalog();
        run.OpenAssignmentsAndBatch();
        run.RewriteEveryUser();
        m_usersRewritten = run.UsersRewritten();
        m_unlistedUsers = run.CountUnlisted();
        run.Close();
        return true;
    } catch (const std::exception& failure) {
        // The users before the failing one keep their new rows.
        run.SendFinishedUsers();
        m_usersRewritten = run.UsersRewritten();
        Fail(step, failure);
        return false;
    }
}

bool UserNodePropagation::RunByQueries() {
    m_usersRewritten = 0;
    QString step = kStepDataSource;
    std::shared_ptr<component::IndexingServices> services;
    std::unique_ptr<component::Connection> users;
    try {
        services = component::Factory().NewIndexingServices();
        const QString connectionText =
            RAdozudoConnectionText(ReadDatabaseSettings(m_configuration), *services);
        step = kStepConnecting;
        users = services->OpenConnection(connectionText);
        Require(users, QStringLiteral("OpenConnection"));
        step = kStepUsers;
        auto list = services->OpenRecordset(*users, kSelectListedUsers);
        Require(list, QStringLiteral("The user query"));
        while (!list->IsEOF()) {
            const QString userID = ToText(list->Field(QStringLiteral("USERID")), QStringLiteral("USERID"));
            // A failing user has already discarded its rows, told its reason and
            // asked for the abort.
            if (!PopulateUserNodes(userID)) {
                CloseQuietly(users);
                return false;
            }
            ++m_usersRewritten;
            list->MoveNext();
        }
        list.reset();
        m_unlistedUsers = CountUnlistedUsers(*services, *users);
        users->Close();
        return true;
    } catch (const std::exception& failure) {
        CloseQuietly(users);
        Fail(step, failure);
        return false;
    }
}

}  // namespace usernodes
