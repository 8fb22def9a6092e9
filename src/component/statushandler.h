// The callback through which long operations report progress and let the window breathe.
//
// Every operation may raise component::Error (number, source, description); the
// notes say when an operation raises in its normal use.
#pragma once

#include "component/error.h"

#include <QString>

namespace component {

// Implemented by whoever shows a build's progress (the main dialog).
class StatusHandler {
public:
    virtual ~StatusHandler() = default;
    virtual void UpdateStatus(const QString& statusText) = 0;
    virtual void ProcessEvents() = 0;
};

}  // namespace component
