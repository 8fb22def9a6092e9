// IndexPropagator: copies a built index folder to its targets, of whatever kind
// (target.h), several at a time.
#pragma once

#include <QString>
#include <functional>

#include "component/propagator.h"
#include "component/statushandler.h"

namespace zarvik::propagation {

class TargetPropagator final : public component::IndexPropagator {
public:
    void SetStatusHandler(component::StatusHandler* statusHandler) override {
        m_statusHandler = statusHandler;
    }
    // Copies every index file to every target, at most kParallelTargets at once; each
    // target's kind (target.h) checks its copy before the copy replaces what the
    // target held.
    // Returns false when a target failed; each failed target has one event-log entry.
    // The status handler is called on the calling thread only. Raises nothing.
    bool Propagate(const component::IndexSettings& settings) override;
    using component::IndexPropagator::Propagate;
    std::int32_t FailedTargets() const override { return m_failedTargets; }
    QList<component::TargetBytes> BytesSent() const override { return m_bytesSent; }

    static constexpr int kParallelTargets = 4;

private:
    component::StatusHandler* m_statusHandler = nullptr;
    std::int32_t m_failedTargets = 0;
    QList<component::TargetBytes> m_bytesSent;
};

// For tests: called with the target's text and the path of each copy once it has
// arrived and before it is checked (for a remote target, the path on the far side),
// so that a test can damage a copy in transit. An empty function turns it off.
void SetCopyArrivedHookForTesting(std::function<void(const QString& target, const QString& copyPath)> hook);

}  // namespace zarvik::propagation
