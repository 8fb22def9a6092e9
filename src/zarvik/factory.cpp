// The component library's factory.
#include "zarvik/factory.h"

#include "snowball/snowball.h"

#include "zarvik/index/fts5indexbuilder.h"
#include "zarvik/config/indexconfiguration.h"
#include "zarvik/indexingservices.h"
#include "zarvik/files/durablemetricsfile.h"
#include "zarvik/propagation/targetpropagator.h"

namespace zarvik {
namespace {
class Factory final : public component::ComponentFactory {
public:
    std::shared_ptr<component::IndexConfiguration> NewIndexConfiguration() override {
        return std::make_shared<config::XmlIndexConfiguration>();
    }
    std::shared_ptr<component::IndexingServices> NewIndexingServices() override {
        return std::make_shared<Services>();
    }
    std::shared_ptr<component::IndexBuilder> NewIndexBuilder() override {
        return std::make_shared<index::Fts5IndexBuilder>();
    }
    std::shared_ptr<component::IndexPropagator> NewIndexPropagator() override {
        return std::make_shared<propagation::TargetPropagator>();
    }
    std::shared_ptr<component::MetricsFile> NewMetricsFile() override {
        return std::make_shared<files::DurableMetricsFile>();
    }
};
}  // namespace

std::shared_ptr<component::ComponentFactory> NewComponentFactory() {
    // The tokenizer snowball and lumora_match for every SQLite connection the program
    // opens from now on: the build's, its checks', the Search window's.
    lumora_snowball_register_everywhere();
    return std::make_shared<Factory>();
}

}  // namespace zarvik
