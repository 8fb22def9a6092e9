// Message boxes: shown with a display, written to standard error without one, and
// answered by a hook in tests so that no test waits on a modal box. This part needs
// no widgets, so the non-GUI modules can show boxes.
#pragma once

#include <QString>
#include <functional>

namespace platform {

// Flags as the program passes them.
constexpr int kMbWarning = 48;      // warning icon, OK
constexpr int kMbInformation = 64;  // information icon, OK
constexpr int kMbQuestion = 36;     // question icon, Yes and No
// Answers.
constexpr int kIdOk = 1;
constexpr int kIdYes = 6;
constexpr int kIdNo = 7;

// The application title every box carries.
QString ApplicationTitle();

// Shows a box with the application title; text lines are separated by CR LF.
// Returns the answer (kIdOk, kIdYes or kIdNo).
int ShowMessage(const QString& text, int flags);

// Tests: every box goes to the hook instead, which returns the answer.
using MessageHook = std::function<int(const QString& text, int flags)>;
void SetMessageHook(MessageHook hook);

// Start-up installs the window system's boxes here (see widgetboxes.h).
void SetMessagePresenter(MessageHook presenter);

// The block a box leaves on standard error when there is no display.
QString HeadlessMessageText(const QString& text, int flags);

}  // namespace platform
