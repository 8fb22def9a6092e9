// The statements of the user-node computation, as the program writes them (SQL
// Server's dialect; the data layer rewrites them for the other databases).
#include "usernodes/statements.h"

#include <QStringBuilder>

#include "usernodes/usernodes.h"

namespace usernodes {

QString QuoteSql(const QString& text) {
    // Never null: the result is pasted into statements.
    QString quoted = text.isNull() ? QString(QLatin1String("")) : text;
    quoted.replace(QLatin1Char('\''), QStringLiteral("''"));
    return quoted;
}

namespace {

QString Num(qint64 n) {
    return QString::number(n);
}

void Append(QString& list, std::int32_t id) {
    if (!list.isEmpty()) list += QLatin1Char(',');
    list += Num(id);
}

}  // namespace

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

QString Joined(const std::vector<std::int32_t>& ids) {
    QString list;
    for (std::int32_t id : ids) Append(list, id);
    return list;
}

}  // namespace usernodes
