// The installed component factory and the program-wide objects it made.
#include "component/factory.h"
#include "component/globals.h"

#include <utility>

namespace component {

std::shared_ptr<IndexConfiguration> g_indexConfiguration;
std::shared_ptr<SearchEngine> g_searchEngine;

namespace {
std::shared_ptr<ComponentFactory>& Installed() {
    static std::shared_ptr<ComponentFactory> factory;
    return factory;
}
}  // namespace

void InstallFactory(std::shared_ptr<ComponentFactory> factory) { Installed() = std::move(factory); }

ComponentFactory& Factory() {
    if (!Installed()) {
        throw Error(errnum::kAppBase + 1, QStringLiteral("ZarvikIndexing"),
                    QStringLiteral("The indexing component is not available."));
    }
    return *Installed();
}

}  // namespace component
