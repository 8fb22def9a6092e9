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

    // Rewrites one user's USERNODE rows. Shows nothing and raises nothing: false on
    // any failure, after abortBuild.
    bool PopulateUserNodes(const QString& i_sUserID);
    // Every user with assignments, stopping at the first that fails.
    bool PopulateAllUserNodes();
    // Users whose rows the last PopulateAllUserNodes rewrote.
    qint64 UsersRewritten() const { return m_usersRewritten; }

private:
    const component::IndexConfiguration& m_configuration;
    std::function<void()> m_abortBuild;
    qint64 m_usersRewritten = 0;
};

}  // namespace usernodes
