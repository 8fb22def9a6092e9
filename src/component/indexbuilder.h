// The builder of one index.
//
// Every operation may raise component::Error (number, source, description); the
// notes say when an operation raises in its normal use.
#pragma once

#include "component/error.h"
#include "component/configuration.h"
#include "component/statushandler.h"
#include "component/searchengine.h"

#include <QString>
#include <cstdint>
#include <memory>

namespace component {

// What the last Build did: Changes when it applied the changes to a copy of the live
// index, else Full (with the reason when the index's mode is Changes), and how many
// documents it added, replaced and deleted (a full build adds them all).
struct BuildReport {
    BuildMode mode = BuildMode::Full;
    QString fullBuildReason;
    std::int64_t added = 0;
    std::int64_t replaced = 0;
    std::int64_t deleted = 0;
    // Milliseconds of the build's phases: reading the source (with the writing of what
    // was read into the new index, which goes on beside it), the rest of the writing
    // (the changes applied, the commit and the merges) and the checks.
    std::int64_t readMs = 0;
    std::int64_t applyMs = 0;
    std::int64_t checksMs = 0;
};

class IndexBuilder {
public:
    virtual ~IndexBuilder() = default;
    virtual bool Aborted() const = 0;
    virtual void SetAborted(bool aborted) = 0;
    // Number of documents in the index the last build produced.
    virtual std::int32_t DocumentCount() const = 0;
    // The index the next Build makes, and the connection text its documents are read
    // through. The handler must outlive the build.
    virtual void Configure(StatusHandler* statusHandler, std::shared_ptr<SearchEngine> engine,
                           const IndexSettings& settings, const QString& connectionText) = 0;
    // After a successful Build; the defaults before one.
    virtual BuildReport LastBuild() const = 0;
    // True on success; false when aborted. Raises on failure, and when the new index
    // fails a check (the live index then stays as it was).
    virtual bool Build() = 0;
};

}  // namespace component
