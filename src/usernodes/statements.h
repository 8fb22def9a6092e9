// The statements of the user-node computation, as the program writes them (SQL
// Server's dialect; the data layer rewrites them for the other databases). Each
// names what it asks.
#pragma once

#include <QString>
#include <cstdint>
#include <vector>

namespace usernodes {

// The users with assignments (ISPROFILE = 0), each once.
inline const QString kSelectListedUsers =
    QStringLiteral("SELECT DISTINCT USERID FROM CATALOGNODEBYUSER  WHERE ISPROFILE=0");

// The assignments of every listed user, the users as the user query lists them and
// the rows matched to them by the database's own comparison of USERID, sorted so
// that each user's rows come together and, within a catalog, in the order of LEVEL
// that the per-step query for the highest assigned node would use.
inline const QString kAssignmentQuery = QStringLiteral(
    "SELECT U.USERID AS USERID, CNU.CATALOGID AS CATALOGID, CNU.NODEID AS NODEID, CNU.LEVEL AS LEVEL "
    "FROM (SELECT DISTINCT USERID FROM CATALOGNODEBYUSER WHERE ISPROFILE=0) U "
    "LEFT JOIN CATALOGNODEBYUSER CNU ON CNU.USERID = U.USERID AND CNU.ISPROFILE = 0 "
    "ORDER BY U.USERID, CNU.CATALOGID, CNU.LEVEL");

// Users that keep USERNODE rows although no assignment lists them any more; rows
// without a USERID are no user. Each user of USERNODE is looked up once, not once per
// row: the distinct users come from the table's index on USERID, and the run's last
// read costs milliseconds where a lookup per row took as long as a tenth of the run.
inline const QString kUnlistedUsersQuery = QStringLiteral(
    "SELECT COUNT(UN.USERID) AS UNLISTED FROM (SELECT DISTINCT USERID FROM USERNODE) UN WHERE NOT EXISTS "
    "(SELECT 1 FROM CATALOGNODEBYUSER CNU WHERE CNU.USERID = UN.USERID AND CNU.ISPROFILE = 0)");

QString SelectCatalogsOfUser(const QString& userID);
QString DeleteRowsOfUser(const QString& userID);
QString SelectRowsOfUser(const QString& userID);
QString SelectSmallestLevel(std::int32_t catalogID, const QString& userID);
QString SelectNodesOfCatalog(std::int32_t catalogID);
QString SelectAssignedNodesAtLevel(std::int32_t catalogID, const QString& userID, std::int16_t level);
QString SelectAssignedNodesBelowLevel(std::int32_t catalogID, const QString& userID, std::int16_t level);
QString SelectNodeAndParent(std::int32_t catalogID, std::int32_t nodeID);
// `chain`: the node IDs separated by commas.
QString SelectHighestAssignedInChain(std::int32_t catalogID, const QString& chain, const QString& userID);
// `levelList`: the parents' node IDs separated by commas.
QString SelectChildren(const QString& levelList);
// The IDs separated by commas.
QString Joined(const std::vector<std::int32_t>& ids);

}  // namespace usernodes
