// Recomputes which catalog nodes each user may see (USERNODE): the run chooses its
// way by the index's method (memoryrun.cpp, queriesrun.cpp).
#include "usernodes/usernodes.h"

#include "usernodes/runsupport.h"

namespace usernodes {

RunSettings ReadRunSettings(const component::IndexConfiguration& configuration,
                            component::IndexingServices& services) {
    RunSettings settings;
    settings.method = configuration.GetUserNodeMethod();
    // Each value is read into its own local first, in the order stated here.
    const QString setting1 = configuration.DbSetting1();
    const QString setting2 = configuration.DbSetting2();
    const component::DataSourceList dataSources = configuration.DbDataSources();
    settings.connectionText = services.GetConnectionString(setting1, setting2, kDataSource, dataSources);
    return settings;
}

UserNodeRun::UserNodeRun(RunSettings settings, std::function<void()> abortBuild)
    : m_settings(std::move(settings)), m_abortBuild(std::move(abortBuild)) {}

void UserNodeRun::Fail(const QString& step, const std::exception& failure) {
    m_failureReason = FailureSentence(step, failure);
    if (m_abortBuild) m_abortBuild();
}

bool UserNodeRun::PopulateAllUserNodes() {
    m_failureReason.clear();
    m_unlistedUsers = -1;
    return m_settings.method == component::UserNodeMethod::Queries ? RunByQueries() : RunInMemory();
}

}  // namespace usernodes
