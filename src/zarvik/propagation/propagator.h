// IndexPropagator: copies a built index folder to its targets.
#pragma once

#include "component/interfaces.h"

namespace zarvik {

class FolderPropagator final : public component::IndexPropagator {
public:
    void SetStatusHandler(component::IStatusHandler* statusHandler) override { m_statusHandler = statusHandler; }
    bool Propagate(const QString& indexPath, const QStringList& targets) override;
    std::int32_t FailedTargets() const override { return m_failedTargets; }

private:
    component::IStatusHandler* m_statusHandler = nullptr;
    std::int32_t m_failedTargets = 0;
};

}  // namespace zarvik
