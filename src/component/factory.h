// The one place component objects are made. Start-up installs the component
// library's factory; tests install scripted ones.
#pragma once

#include "component/interfaces.h"

#include <memory>

namespace component {

class ComponentFactory {
public:
    virtual ~ComponentFactory() = default;
    virtual std::shared_ptr<IndexConfiguration> NewIndexConfiguration() = 0;
    virtual std::shared_ptr<IndexingServices> NewIndexingServices() = 0;
    virtual std::shared_ptr<IndexBuilder> NewIndexBuilder() = 0;
    virtual std::shared_ptr<IndexPropagator> NewIndexPropagator() = 0;
    virtual std::shared_ptr<MetricsFile> NewMetricsFile() = 0;
};

void InstallFactory(std::shared_ptr<ComponentFactory> factory);
// Raises when no factory is installed.
ComponentFactory& Factory();

}  // namespace component
