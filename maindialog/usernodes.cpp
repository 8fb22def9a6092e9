// Recomputes which catalog nodes each user may see (USERNODE).
#include "maindialog/usernodes.h"

#include <utility>

namespace usernodes {

QString QuoteSql(const QString& text) {
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QStringLiteral("''"));
    return quoted;
}

UserNodePropagation::UserNodePropagation(const component::IndexConfiguration& configuration,
                                         std::function<void()> abortBuild)
    : m_configuration(configuration), m_abortBuild(std::move(abortBuild)) {}

// Not implemented yet: both report failure and request the abort, so no build can
// end as if the user nodes had been recomputed.
bool UserNodePropagation::PopulateUserNodes(const QString&) {
    if (m_abortBuild) m_abortBuild();
    return false;
}

bool UserNodePropagation::PopulateAllUserNodes() {
    if (m_abortBuild) m_abortBuild();
    return false;
}

}  // namespace usernodes
