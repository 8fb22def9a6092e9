// IndexPropagator: copies a built index folder to its targets.
#include "zarvik/propagator.h"

namespace zarvik {

bool FolderPropagator::Propagate(const QString&, const QStringList&) {
    component::ThrowNotImplemented(QStringLiteral("ZarvikIndexing.IndexPropagator"), QStringLiteral("Propagate"));
}

}  // namespace zarvik
