// The window system's message boxes, installed by start-up.
#pragma once

namespace platform {
void InstallWidgetMessageBoxes();
}
