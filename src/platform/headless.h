// Running without a display: detection, Qt's own messages kept off standard error,
// and the status-line trace of a scheduled run.
#pragma once

#include <QString>
#include <chrono>

namespace platform {

// True when there is no display (no DISPLAY and no WAYLAND_DISPLAY) or
// QT_QPA_PLATFORM is "offscreen". Decided before the application object exists.
bool DetectHeadless();
// Switches to the offscreen platform when headless; call before QApplication.
void PrepareHeadless();
bool IsHeadless();
// Tests may force either mode.
void SetHeadless(bool headless);

// Writes text to standard error, unbuffered, as UTF-8.
void WriteStderr(const QString& text);

// Writes each new status text as one line, at most one a second; the last one is
// always written by Flush. While one exists, a message box written to standard
// error first flushes it, so the trace keeps the order in which things happened.
class StatusTrace {
public:
    StatusTrace();
    ~StatusTrace();
    StatusTrace(const StatusTrace&) = delete;
    StatusTrace& operator=(const StatusTrace&) = delete;

    void Update(const QString& text);
    void Flush();
    // The trace in use, if any.
    static StatusTrace* Active();

private:
    QString m_pending;
    bool m_hasPending = false;
    std::chrono::steady_clock::time_point m_last{};
    bool m_written = false;
};

}  // namespace platform
