// Copying a finished index to its targets.
//
// Every operation may raise component::Error (number, source, description); the
// notes say when an operation raises in its normal use.
#pragma once

#include "component/configuration.h"
#include "component/error.h"
#include "component/statushandler.h"

#include <QList>
#include <QRegularExpression>
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
