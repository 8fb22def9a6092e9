// Recomputes which catalog nodes each user may see (USERNODE). No widgets: the main
// dialog forwards to this class.
#pragma once

#include <QString>
#include <exception>
#include <functional>

#include "component/configuration.h"
#include "component/services.h"

namespace usernodes {

// What a run takes from the index's configuration, read once by whoever starts it.
struct RunSettings {
    component::UserNodeMethod method = component::UserNodeMethod::Memory;
    // The "RAdozudo" data source with the two database settings in place; empty when
    // the index has none, and the run then fails naming it. The run never falls back
    // to "Primary", unlike the build.
    QString connectionText;
};

// The current index's settings for a run, looked up through `services`. Raises what
// the configuration raises.
RunSettings ReadRunSettings(const component::IndexConfiguration& configuration,
                            component::IndexingServices& services);

// Doubles every apostrophe, for a text placed inside an N'...' literal.
QString QuoteSql(const QString& text);

class UserNodeRun {
public:
    // abortBuild is called whenever a computation fails (it marks the running build
    // as aborted).
    UserNodeRun(RunSettings settings, std::function<void()> abortBuild);

    // Rewrites one user's USERNODE rows, by one query per step whatever the index's
    // method (reading the whole catalog for one user would cost more than it saves).
    // Shows nothing and raises nothing: false on any failure, after abortBuild.
    bool PopulateUserNodes(const QString& userID);
    // Every user with assignments, stopping at the first that fails, by the settings'
    // method (the index's <UserNodeMethod>): the catalog read once (users in USERID order, their rewrites
    // sent in groups) or one query per step (users in the order the user query
    // lists them). Both write the same rows and fail on the same data.
    bool PopulateAllUserNodes();
    // Users whose rows the last PopulateAllUserNodes rewrote.
    qint64 UsersRewritten() const { return m_usersRewritten; }
    // Why the last run failed, in one sentence naming the user, the step and the
    // database's message (or the missing "RAdozudo" data source); empty after a run
    // that succeeded.
    QString FailureReason() const { return m_failureReason; }
    // Users that still have USERNODE rows but no ISPROFILE = 0 assignment, counted at
    // the end of the last PopulateAllUserNodes; -1 when it was not counted (the run
    // failed, or so did the count).
    qint64 UnlistedUsers() const { return m_unlistedUsers; }

private:
    bool RunInMemory();
    bool RunByQueries();
    // Keeps the reason and marks the build as aborted.
    void Fail(const QString& step, const std::exception& failure);

    RunSettings m_settings;
    std::function<void()> m_abortBuild;
    qint64 m_usersRewritten = 0;
    QString m_failureReason;
    qint64 m_unlistedUsers = -1;
};

}  // namespace usernodes
