// Recomputes which catalog nodes each user may see (USERNODE).
#include "usernodes/usernodes.h"

#include <QSet>
#include <QStringBuilder>
#include <cmath>
#include <limits>
#include <utility>

#include "component/factory.h"
#include "component/texts.h"
#include "usernodes/nodeidset.h"

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
    switch (value.typeId()) {
        case QMetaType::Int:
        case QMetaType::Short:
        case QMetaType::Long:
        case QMetaType::LongLong:
        case QMetaType::Char:
        case QMetaType::SChar:
            whole = value.toLongLong();
            isWhole = true;
            break;
        case QMetaType::UInt:
        case QMetaType::UShort:
        case QMetaType::ULong:
        case QMetaType::ULongLong:
        case QMetaType::UChar: {
            const qulonglong u = value.toULongLong();
            if (u > static_cast<qulonglong>(high))
                throw Error(errnum::kOverflow, kSource, QStringLiteral("Overflow (column %1)").arg(column));
            whole = static_cast<qint64>(u);
            isWhole = true;
            break;
        }
        case QMetaType::Bool:
            whole = value.toBool() ? -1 : 0;
            isWhole = true;
            break;
        case QMetaType::Double:
        case QMetaType::Float:
            asDouble = value.toDouble();
            break;
        default: {
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
    if (text.isEmpty())
        throw Error(
            errnum::kAppBase, kSource,
            component::kNoDataSourceText);
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

// ---- one user's computation ----------------------------------------------------

class UserComputation {
public:
    UserComputation(component::IndexingServices& services, component::Connection& read,
                    component::UpdatableRecordset& output, QString userID)
        : m_services(services), m_read(read), m_output(output), m_userID(std::move(userID)) {}

    void Catalog(std::int32_t catalogID) {
        m_catalogID = catalogID;
        const std::int16_t level = [&] {
            auto rs = Open(Q4(catalogID, m_userID));
            return ToInt16(rs->Field(QStringLiteral("LEVEL")), QStringLiteral("LEVEL"));
        }();

        if (level == 0) {
            // The whole catalog is granted; the deeper assignments do not matter.
            for (const QVariant& node : WholeColumn(Q5(catalogID)))
                AddRow(ToInt32(node, QStringLiteral("NODEID")));
        } else {
            {
                auto rs = Open(Q6(catalogID, m_userID, level));
                while (!rs->IsEOF()) {
                    m_set.Add(ToInt32(rs->Field(QStringLiteral("NODEID")), QStringLiteral("NODEID")));
                    rs->MoveNext();
                }
            }
            for (const QVariant& node : WholeColumn(Q7(catalogID, m_userID, level)))
                WalkUp(ToInt32(node, QStringLiteral("NODEID")));
            for (std::int32_t node : m_set.Keys()) {
                AddRow(node);
                ExpandDown(node);
            }
        }
        m_set.RemoveAll();
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

    void AddRow(std::int32_t nodeID) {
        m_output.AddNew();
        m_output.SetField(QStringLiteral("CATALOGID"), QVariant(m_catalogID));
        m_output.SetField(QStringLiteral("USERID"), QVariant(m_userID));
        m_output.SetField(QStringLiteral("NODEID"), QVariant(nodeID));
    }

    // Finds the highest assigned node on the way from a deeper assigned node up to
    // (not including) the catalog's top node. A node met twice means the parents
    // form a cycle and there is no top node: nothing is added for it.
    void WalkUp(std::int32_t deeper) {
        QString chain;
        QSet<std::int32_t> met;
        auto current = Open(Q8(m_catalogID, deeper));
        while (!current->IsEOF() && !current->Field(QStringLiteral("PARENTNODEID")).isNull()) {
            const std::int32_t node =
                ToInt32(current->Field(QStringLiteral("NODEID")), QStringLiteral("NODEID"));
            const std::int32_t parent =
                ToInt32(current->Field(QStringLiteral("PARENTNODEID")), QStringLiteral("PARENTNODEID"));
            Append(chain, node);
            met.insert(node);
            if (met.contains(parent)) return;
            current = Open(Q8(m_catalogID, parent));
        }
        if (current->IsEOF()) return;  // the node or an ancestor is missing
        const std::int32_t top = ToInt32(current->Field(QStringLiteral("NODEID")), QStringLiteral("NODEID"));
        if (m_set.Exists(top) || chain.isEmpty()) return;
        auto highest = Open(Q9(m_catalogID, chain, m_userID));
        if (highest->IsEOF()) return;
        const std::int32_t node = ToInt32(highest->Field(QStringLiteral("NODEID")), QStringLiteral("NODEID"));
        if (!m_set.Exists(node)) m_set.Add(node);
    }

    // Breadth-first, one query per level. A node already met in this expansion is
    // not expanded again, so a cycle in the parents ends the expansion.
    void ExpandDown(std::int32_t node) {
        QSet<std::int32_t> met{node};
        QString levelList = Num(node);
        while (!levelList.isEmpty()) {
            auto rs = Open(Q10(levelList));
            levelList.clear();
            if (!(rs->IsBOF() && rs->IsEOF())) rs->MoveFirst();
            while (!rs->IsEOF()) {
                const std::int32_t child =
                    ToInt32(rs->Field(QStringLiteral("NODEID")), QStringLiteral("NODEID"));
                if (!met.contains(child)) {
                    met.insert(child);
                    Append(levelList, child);
                    AddRow(child);
                }
                rs->MoveNext();
            }
        }
    }

    component::IndexingServices& m_services;
    component::Connection& m_read;
    component::UpdatableRecordset& m_output;
    const QString m_userID;
    std::int32_t m_catalogID = 0;
    NodeIdSet m_set;
};

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

bool UserNodePropagation::PopulateUserNodes(const QString& i_sUserID) {
    const QString userID = i_sUserID;
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

        auto catalogs = services->OpenRecordset(*read, Q1(userID));
        Require(catalogs, QStringLiteral("The query"));
        // The delete and the new rows are one unit: a failure keeps the old rows.
        write->BeginTrans();
        inTransaction = true;
        write->Execute(Q2(userID));
        output = services->OpenUpdatableRecordset(*write, Q3(userID));
        Require(output, QStringLiteral("The query"));

        if (!(catalogs->IsBOF() && catalogs->IsEOF())) {
            const QList<QVariantList> rows = catalogs->GetRows();
            catalogs.reset();
            UserComputation computation(*services, *read, *output, userID);
            for (const QVariant& catalog : rows.value(0))
                computation.Catalog(ToInt32(catalog, QStringLiteral("CATALOGID")));
        }

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
