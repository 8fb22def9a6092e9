// The monitoring file of an index, replaced whole through the library's one durable
// write so that a collector never reads half of it.
#pragma once

#include "component/metricsfile.h"

namespace zarvik::files {

// Errors raised (source "ZarvikIndexing.MetricsFile"):
// - Write: errnum::kMetricsWrite naming the file and the reason (a missing folder, a
//   folder that cannot be written, a full disk); the old file then stays as it was.
class DurableMetricsFile final : public component::MetricsFile {
public:
    QByteArray Read(const QString& path) override;
    void Write(const QString& path, const QByteArray& text) override;
};

}  // namespace zarvik::files
