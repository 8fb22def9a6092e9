// Copying a finished index to its targets.
//
// Every operation may raise component::Error (number, source, description); the
// notes say when an operation raises in its normal use.
#pragma once

#include <QList>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

#include "component/configuration.h"
#include "component/error.h"
#include "component/statushandler.h"

namespace component {

// What a propagation sent to one target: the bytes over the link for a target on
// another machine, the bytes copied for a local folder; and the objects uploaded
// for a target that stores objects (0 for the others).
// What a store target holds after a run: the version `current` names, the objects the
// run uploaded (0: the store already held this file), and whether it published the
// whole file rather than a pack.
struct PublishedVersion {
    std::int64_t version = 0;
    std::int64_t objects = 0;
    bool whole = false;
};

struct TargetBytes {
    QString target;
    std::int64_t sent = 0;                      // what reached the target
    std::optional<PublishedVersion> published;  // a store target's version
};

// Whether a target text names its kind ("ssh://...", "kind:..."): such a text goes to
// the propagator as written; any other text is a local folder.
inline bool NamesTargetKind(const QString& text) {
    static const QRegularExpression kKind(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]+:"));
    return kKind.match(text).hasMatch();
}

class IndexPropagator {
public:
    virtual ~IndexPropagator() = default;
    virtual void SetStatusHandler(StatusHandler* statusHandler) = 0;
    // Copies the index at settings.path to settings.targets; a target's kind may read
    // other settings of the index. False when one or more targets failed (each
    // failure is in the event log).
    virtual bool Propagate(const IndexSettings& settings) = 0;
    // How many targets the last Propagate could not update (0 before any).
    virtual std::int32_t FailedTargets() const = 0;
    // Per target of the last Propagate that was copied, in the order of the targets.
    virtual QList<TargetBytes> BytesSent() const = 0;
};

}  // namespace component
