// The program-wide component objects. Start-up creates both once; they live until
// the process ends.
#pragma once

#include "component/interfaces.h"

#include <memory>

namespace component {
extern std::shared_ptr<component::IndexConfiguration> g_indexConfiguration;
extern std::shared_ptr<component::SearchEngine> g_searchEngine;
}  // namespace component
