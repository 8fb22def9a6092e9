// The component library's factory, installed by start-up.
#pragma once

#include "component/factory.h"

#include <memory>

namespace zarvik {
std::shared_ptr<component::ComponentFactory> NewComponentFactory();
}
