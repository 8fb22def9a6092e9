// Copying a finished index to its targets.
//
// Every operation may raise component::Error (number, source, description); the
// notes say when an operation raises in its normal use.
#pragma once

#include "component/error.h"
#include "component/statushandler.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <cstdint>

namespace component {

// What a propagation sent to one target: the bytes over the link for a target on
// another machine, the bytes copied for a local folder; and the objects uploaded
// for a target that stores objects (0 for the others).
struct TargetBytes {
    QString target;
    std::int64_t bytes = 0;
    std::int64_t objects = 0;
    // A store target: the version `current` names after the run (0: none published
    // yet, or another kind), and whether that publish uploaded the whole file or a pack.
    std::int64_t publishedVersion = 0;
    bool whole = false;
};

// How a store target publishes: a whole file at least every fullEvery versions, and
// keepPublished whole files kept with the packs after the oldest of them.
struct PublishSettings {
    int fullEvery = 10;     // <FullEvery>
    int keepPublished = 3;  // <KeepPublished>
    bool operator==(const PublishSettings&) const = default;
};

class IndexPropagator {
public:
    virtual ~IndexPropagator() = default;
    // For the store targets of the next Propagate; the defaults until called.
    virtual void SetPublishing(const PublishSettings& publishing) = 0;
    virtual void SetStatusHandler(StatusHandler* statusHandler) = 0;
    // False when one or more targets failed (each failure is in the event log).
    virtual bool Propagate(const QString& indexPath, const QStringList& targets) = 0;
    // How many targets the last Propagate could not update (0 before any).
    virtual std::int32_t FailedTargets() const = 0;
    // Per target of the last Propagate that was copied, in the order of the targets.
    virtual QList<TargetBytes> BytesSent() const = 0;
};

}  // namespace component
