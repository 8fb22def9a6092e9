// Recomputes which catalog nodes each user may see (USERNODE). No widgets: the main
// dialog forwards to this class.
#pragma once

#include "component/interfaces.h"

#include <QString>
#include <functional>

namespace usernodes {

// Doubles every apostrophe, for a text placed inside an N'...' literal.
QString QuoteSql(const QString& text);

class UserNodePropagation {
public:
    // abortBuild is called whenever a computation fails (it marks the running build
    // as aborted). The configuration must outlive this object.
    UserNodePropagation(const component::IndexConfiguration& configuration, std::function<void()> abortBuild);

    // Rewrites one user's USERNODE rows, by one query per step whatever the index's
    // method (reading the whole catalog for one user would cost more than it saves).
    // Shows nothing and raises nothing: false on any failure, after abortBuild.
    bool PopulateUserNodes(const QString& userID);
    // Every user with assignments, stopping at the first that fails, by the index's
    // <UserNodeMethod>: the catalog read once (users in USERID order, their rewrites
    // sent in groups) or one query per step (users in the order the user query
    // lists them). Both write the same rows and fail on the same data.
    bool PopulateAllUserNodes();
    // Users whose rows the last PopulateAllUserNodes rewrote.
    qint64 UsersRewritten() const { return m_usersRewritten; }

private:
    bool RunInMemory();
    bool RunByQueries();

    const component::IndexConfiguration& m_configuration;
    std::function<void()> m_abortBuild;
    qint64 m_usersRewritten = 0;
};

}  // namespace usernodes
