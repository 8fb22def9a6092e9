// IndexPropagator: copies a built index folder to its targets.
#pragma once

#include "component/interfaces.h"

namespace zarvik {

class FolderPropagator final : public component::IndexPropagator {
public:
    void SetStatusHandler(component::IStatusHandler* statusHandler) override { m_statusHandler = statusHandler; }
    bool Propagate(const QString& indexPath, const QStringList& targets) override;

private:
    component::IStatusHandler* m_statusHandler = nullptr;
};

}  // namespace zarvik
