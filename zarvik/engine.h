// The SearchEngine: SQLite FTS5.
#pragma once

#include "component/interfaces.h"

#include <memory>

namespace zarvik {
std::shared_ptr<component::SearchEngine> NewEngine(const QString& programDir, const QString& dataDir, bool log);
}
