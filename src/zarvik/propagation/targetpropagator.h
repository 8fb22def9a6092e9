// IndexPropagator: copies a built index folder to its targets, local folders and
// folders on other machines (ssh://[user@]host[:port]/absolute/path, through rsync
// over ssh), several at a time.
#pragma once

#include <QString>
#include <functional>

#include "component/statushandler.h"
#include "component/propagator.h"

namespace zarvik::propagation {

class TargetPropagator final : public component::IndexPropagator {
public:
    void SetStatusHandler(component::StatusHandler* statusHandler) override {
        m_statusHandler = statusHandler;
    }
    // Copies every index file to every target, at most kParallelTargets at once; each
    // copy lands under a temporary name, is compared with the source (size and
    // SHA-256) and must pass PRAGMA quick_check before it is renamed into place.
    // Returns false when a target failed; each failed target has one event-log entry.
    // The status handler is called on the calling thread only. Raises nothing.
    bool Propagate(const QString& indexPath, const QStringList& targets) override;
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
