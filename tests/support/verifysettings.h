// A <Verify> as a test writes it: at least `min` documents, at most `shrink` percent
// fewer than the live index, and the check queries.
#pragma once

#include <QStringList>
#include <cstdint>
#include <utility>

#include "component/configuration.h"

namespace testsupport {

inline component::VerifySettings Verify(std::int64_t min, int shrink, QStringList queries = {}) {
    component::VerifySettings v;
    v.minDocuments = min;
    v.maxShrinkPercent = shrink;
    v.checkQueries = std::move(queries);
    return v;
}

}  // namespace testsupport
