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

QString Q1(const QString& userID) {
    return QStringLiteral("SELECT DISTINCT CATALOGID FROM CATALOGNODEBYUSER WHERE USERID=N'") %
           QuoteSql(userID) % QStringLiteral("' AND ISPROFILE=0");
}
QString Q2(const QString& userID) {
    return QStringLiteral("DELETE FROM USERNODE WHERE USERID=N'") % QuoteSql(userID) % QStringLiteral("' ");
}
QString Q3(const QString& userID) {
    return QStringLiteral("SELECT * FROM USERNODE WHERE USERID=N'") % QuoteSql(userID) % QStringLiteral("' ");
}
QString Q4(std::int32_t catalogID, const QString& userID) {
    return QStringLiteral("SELECT MIN(LEVEL) AS LEVEL FROM CATALOGNODEBYUSER ") %
           QStringLiteral(" WHERE CATALOGID = ") % Num(catalogID) % QStringLiteral(" AND USERID = N'") %
           QuoteSql(userID) % QStringLiteral("' ") % QStringLiteral(" AND ISPROFILE=0");
}
QString Q5(std::int32_t catalogID) {
    return QStringLiteral("SELECT NODEID FROM CATALOGNODE ") % QStringLiteral(" WHERE CATALOGID = ") %
           Num(catalogID);
}
QString Q6(std::int32_t catalogID, const QString& userID, std::int16_t level) {
    return QStringLiteral("SELECT NODEID FROM CATALOGNODEBYUSER ") % QStringLiteral(" WHERE CATALOGID = ") %
           Num(catalogID) % QStringLiteral(" AND USERID = N'") % QuoteSql(userID) % QStringLiteral("' ") %
           QStringLiteral(" AND LEVEL = ") % Num(level) % QStringLiteral(" AND ISPROFILE=0");
}
QString Q7(std::int32_t catalogID, const QString& userID, std::int16_t level) {
    return QStringLiteral("SELECT NODEID FROM CATALOGNODEBYUSER WHERE ") % QStringLiteral(" CATALOGID =") %
           Num(catalogID) % QStringLiteral(" AND USERID = N'") % QuoteSql(userID) % QStringLiteral("' ") %
           QStringLiteral(" AND ISPROFILE = 0 ") % QStringLiteral(" AND LEVEL > ") % Num(level) %
           QStringLiteral(" ");
}
QString Q8(std::int32_t catalogID, std::int32_t nodeID) {
    return QStringLiteral("SELECT NODEID, PARENTNODEID FROM CATALOGNODE WHERE ") %
           QStringLiteral(" CATALOGID =") % Num(catalogID) % QStringLiteral(" AND NODEID = ") % Num(nodeID) %
           QStringLiteral(" ");
}
QString Q9(std::int32_t catalogID, const QString& chain, const QString& userID) {
    return QStringLiteral("SELECT TOP 1 CNU.NODEID AS NODEID, CN.NODENAME AS NODENAME ") %
           QStringLiteral(" FROM CATALOGNODEBYUSER CNU, CATALOGNODE CN WHERE ") %
           QStringLiteral(" CNU.CATALOGID =") % Num(catalogID) % QStringLiteral(" AND CNU.NODEID IN (") %
           chain % QStringLiteral(") ") % QStringLiteral(" AND CNU.USERID = N'") % QuoteSql(userID) %
           QStringLiteral("' ") % QStringLiteral(" AND CNU.NODEID = CN.NODEID") %
           QStringLiteral(" AND CNU.ISPROFILE = 0 ") % QStringLiteral(" ORDER BY CNU.LEVEL ");
}
QString Q10(const QString& levelList) {
    return QStringLiteral("SELECT NODEID FROM CATALOGNODE WHERE PARENTNODEID IN (") % levelList %
           QStringLiteral(") ORDER BY NODEID");
}
const QString kUserQuery = QStringLiteral("SELECT DISTINCT USERID FROM CATALOGNODEBYUSER  WHERE ISPROFILE=0");

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

    QVariantList CatalogsOfUser() override { return WholeColumn(Q1(m_userID)); }
    QVariant SmallestLevel(std::int32_t catalogID) override {
        // One row always: no test for the end.
        return Open(Q4(catalogID, m_userID))->Field(QStringLiteral("LEVEL"));
    }
    QVariantList NodesOfCatalog(std::int32_t catalogID) override { return WholeColumn(Q5(catalogID)); }
    QVariantList NodesAtLevel(std::int32_t catalogID, std::int16_t level) override {
        QVariantList nodes;
        auto rs = Open(Q6(catalogID, m_userID, level));
        while (!rs->IsEOF()) {
            nodes.append(rs->Field(QStringLiteral("NODEID")));
            rs->MoveNext();
        }
        return nodes;
    }
    QVariantList DeeperNodes(std::int32_t catalogID, std::int16_t level) override {
        return WholeColumn(Q7(catalogID, m_userID, level));
    }
    std::optional<NodeRow> NodeAndParent(std::int32_t catalogID, std::int32_t nodeID) override {
        auto rs = Open(Q8(catalogID, nodeID));
        if (rs->IsEOF()) return std::nullopt;
        return NodeRow{rs->Field(QStringLiteral("NODEID")), rs->Field(QStringLiteral("PARENTNODEID"))};
    }
    std::optional<QVariant> HighestAssigned(std::int32_t catalogID,
                                            const std::vector<std::int32_t>& chain) override {
        auto rs = Open(Q9(catalogID, Joined(chain), m_userID));
        if (rs->IsEOF()) return std::nullopt;
        return rs->Field(QStringLiteral("NODEID"));
    }
    QVariantList Children(const std::vector<std::int32_t>& parents) override {
        QVariantList children;
        auto rs = Open(Q10(Joined(parents)));
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

// Rewrites go to the database in groups of about this many users or rows: a round
// trip per group rather than per user, and a bounded amount held in memory.
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

}  // namespace

UserNodePropagation::UserNodePropagation(const component::IndexConfiguration& configuration,
                                         std::function<void()> abortBuild)
    : m_configuration(configuration), m_abortBuild(std::move(abortBuild)) {}

bool UserNodePropagation::PopulateUserNodes(const QString& userID) {
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
        read = services->OpenConnection(connectionText);
        Require(read, QStringLiteral("OpenConnection"));
        write = services->OpenConnection(connectionText);
        Require(write, QStringLiteral("OpenConnection"));

        QueriesSource source(*services, *read, userID);
        const QVariantList catalogs = source.CatalogsOfUser();
        // The delete and the new rows are one unit: a failure keeps the old rows.
        write->BeginTrans();
        inTransaction = true;
        write->Execute(Q2(userID));
        output = services->OpenUpdatableRecordset(*write, Q3(userID));
        Require(output, QStringLiteral("The query"));

        RecordsetSink sink(*output, userID);
        UserRules rules(source, sink);
        for (const QVariant& catalog : catalogs) rules.Catalog(ToInt32(catalog, QStringLiteral("CATALOGID")));

        output->UpdateBatch();
        write->CommitTrans();
        inTransaction = false;
        output.reset();
        read->Close();
        write->Close();
        return true;
    } catch (const std::exception&) {
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
        if (m_abortBuild) m_abortBuild();
        return false;
    }
}

bool UserNodePropagation::PopulateAllUserNodes() {
    component::UserNodeMethod method = component::UserNodeMethod::Memory;
    try {
        method = m_configuration.GetUserNodeMethod();
    } catch (const std::exception&) {
        if (m_abortBuild) m_abortBuild();
        return false;
    }
    return method == component::UserNodeMethod::Queries ? RunByQueries() : RunInMemory();
}

bool UserNodePropagation::RunInMemory() {
    m_usersRewritten = 0;
    std::shared_ptr<component::IndexingServices> services;
    std::unique_ptr<component::Connection> read;
    std::unique_ptr<component::Connection> write;
    std::unique_ptr<component::RowStream> assignments;
    std::unique_ptr<component::RewriteBatch> batch;
    try {
        services = component::Factory().NewIndexingServices();
        const QString connectionText =
            RAdozudoConnectionText(ReadDatabaseSettings(m_configuration), *services);
        read = services->OpenConnection(connectionText);
        Require(read, QStringLiteral("OpenConnection"));
        write = services->OpenConnection(connectionText);
        Require(write, QStringLiteral("OpenConnection"));

        MemoryCatalog catalog;
        {
            auto nodes = services->OpenRowStream(*read, MemoryCatalog::kQuery);
            Require(nodes, QStringLiteral("The catalog query"));
            catalog.Read(*nodes);
        }
        assignments = services->OpenRowStream(*read, kAssignmentQuery);
        Require(assignments, QStringLiteral("The user query"));
        batch = services->OpenRewriteBatch(
            *write, QStringLiteral("USERNODE"),
            {QStringLiteral("CATALOGID"), QStringLiteral("USERID"), QStringLiteral("NODEID")});
        Require(batch, QStringLiteral("OpenRewriteBatch"));

        // A user counts as rewritten once its transaction is committed.
        auto send = [&] {
            try {
                batch->Send();
            } catch (const std::exception&) {
                m_usersRewritten += batch->UnitsCommitted();
                throw;
            }
            m_usersRewritten += batch->UnitsCommitted();
        };
        MemorySource source(catalog);
        QString user;
        bool haveUser = false;
        QSet<QString> done;
        // The rows of one user go into the batch only once the whole user succeeded.
        auto finishUser = [&] {
            CollectingSink sink;
            UserRules rules(source, sink);
            for (const QVariant& catalogID : source.CatalogsOfUser())
                rules.Catalog(ToInt32(catalogID, QStringLiteral("CATALOGID")));
            batch->BeginUnit(Q2(user));
            QVariantList row{QVariant(), QVariant(user), QVariant()};
            for (const auto& [catalogID, nodeID] : sink.rows) {
                row[0] = catalogID;
                row[2] = nodeID;
                batch->AddRow(row);
            }
            if (batch->PendingUnits() >= kUsersPerSend || batch->PendingRows() >= kRowsPerSend) send();
        };
        QVariantList row;
        while (assignments->Next(row)) {
            // The user before a USERID that cannot be read is done before it fails,
            // as it would be when the users are listed one by one.
            const QVariant id = row.value(0);
            if (haveUser && (id.isNull() || id.toString() != user)) {
                finishUser();
                haveUser = false;
            }
            const QString userID = ToText(id, QStringLiteral("USERID"));
            if (!haveUser) {
                // The rows of a user come together; a user met again would lose the
                // rows of its first part.
                if (done.contains(userID))
                    throw Error(
                        errnum::kDatabase, kSource,
                        QStringLiteral("The assignments of user %1 did not come together").arg(userID));
                done.insert(userID);
                user = userID;
                haveUser = true;
                source.Clear();
            }
            source.Add(row.value(1), row.value(2), row.value(3));
        }
        if (haveUser) finishUser();
        send();
        assignments.reset();
        batch.reset();
        read->Close();
        write->Close();
        return true;
    } catch (const std::exception&) {
        // The users before the failing one keep their new rows.
        if (batch) {
            try {
                batch->Send();
            } catch (const std::exception&) {
                batch->Cancel();
            }
            m_usersRewritten += batch->UnitsCommitted();
        }
        assignments.reset();
        batch.reset();
        CloseQuietly(read);
        CloseQuietly(write);
        if (m_abortBuild) m_abortBuild();
        return false;
    }
}

bool UserNodePropagation::RunByQueries() {
    bool result = true;
    m_usersRewritten = 0;
    std::shared_ptr<component::IndexingServices> services;
    std::unique_ptr<component::Connection> users;
    try {
        services = component::Factory().NewIndexingServices();
        const QString connectionText =
            RAdozudoConnectionText(ReadDatabaseSettings(m_configuration), *services);
        users = services->OpenConnection(connectionText);
        Require(users, QStringLiteral("OpenConnection"));
        auto list = services->OpenRecordset(*users, kUserQuery);
        Require(list, QStringLiteral("The user query"));
        while (!list->IsEOF()) {
            const QString userID = ToText(list->Field(QStringLiteral("USERID")), QStringLiteral("USERID"));
            // A failing user has already discarded its rows and asked for the abort.
            result = PopulateUserNodes(userID);
            if (!result) break;
            ++m_usersRewritten;
            list->MoveNext();
        }
        users->Close();
        return result;
    } catch (const std::exception&) {
        CloseQuietly(users);
        if (m_abortBuild) m_abortBuild();
        return false;
    }
}

}  // namespace usernodes
