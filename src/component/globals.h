// The program-wide component objects. Start-up creates both once; they live until
// the process ends.
#pragma once

#include "component/configuration.h"
#include "component/searchengine.h"

#include <memory>

namespace component {
extern std::shared_ptr<IndexConfiguration> g_indexConfiguration;
extern std::shared_ptr<SearchEngine> g_searchEngine;
}  // namespace component
