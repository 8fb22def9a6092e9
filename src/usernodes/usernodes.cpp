// Recomputes which catalog nodes each user may see (USERNODE): the run chooses its
// way by the index's method (memoryrun.cpp, queriesrun.cpp).
#include "usernodes/usernodes.h"

#include "usernodes/runsupport.h"

namespace usernodes {

UserNodeRun::UserNodeRun(const component::IndexConfiguration& configuration,
                                         std::function<void()> abortBuild)
    : m_configuration(configuration), m_abortBuild(std::move(abortBuild)) {}

void UserNodeRun::Fail(const QString& step, const std::exception& failure) {
    m_failureReason = FailureSentence(step, failure);
    if (m_abortBuild) m_abortBuild();
}

bool UserNodeRun::PopulateAllUserNodes() {
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

}  // namespace usernodes
