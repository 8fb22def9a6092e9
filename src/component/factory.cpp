// The installed component factory.
#include "component/factory.h"

#include <utility>

namespace component {
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
