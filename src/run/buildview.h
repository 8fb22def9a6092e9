// What a build run shows while it works. The main dialog shows it in its controls;
// a scheduled run without a display only traces the status line.
#pragma once

#include "component/statushandler.h"

#include <QString>

namespace run {

// The build driver's view. Every call comes from the thread that runs the build.
class BuildView : public component::StatusHandler {
public:
    // An automated run has begun (the dialog marks its caption).
    virtual void ShowAutomated() = 0;
    // The builder is configured and about to run: Start off, Stop on, selection off.
    virtual void ShowBusy() = 0;
    // True exactly while the builder's Build runs; the dialog then refuses to close.
    virtual void SetIndexing(bool indexing) = 0;
    // Back to idle, before the outcome is told.
    virtual void ShowIdle() = 0;
    // The results of a successful run, whether or not they could be written back.
    virtual void ShowResults(const QString& lastBuilt, const QString& numDocuments) = 0;
};

// A view without widgets: the status line goes to the status trace of a run without
// a display (when there is one), and window events are still processed.
class TraceView final : public BuildView {
public:
    void UpdateStatus(const QString& statusText) override;
    void ProcessEvents() override;
    void ShowAutomated() override {}
    void ShowBusy() override {}
    void SetIndexing(bool) override {}
    void ShowIdle() override {}
    void ShowResults(const QString&, const QString&) override {}
};

}  // namespace run
