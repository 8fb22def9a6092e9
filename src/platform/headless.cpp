// Running without a display.
#include "platform/headless.h"

#include <QByteArray>
#include <QtGlobal>
#include <cstdio>

namespace platform {
namespace {
int g_headless = -1;  // -1: not decided yet
StatusTrace* g_activeTrace = nullptr;

void DropQtMessages(QtMsgType, const QMessageLogContext&, const QString&) {
    // Without a display standard error is the run's trace for the administrator;
    // Qt's platform chatter would only bury it.
}
}  // namespace

bool DetectHeadless() {
    if (qgetenv("QT_QPA_PLATFORM") == "offscreen") return true;
    return qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

void PrepareHeadless() {
    g_headless = DetectHeadless() ? 1 : 0;
    if (g_headless == 1) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qInstallMessageHandler(DropQtMessages);
    }
}

bool IsHeadless() {
    if (g_headless < 0) g_headless = DetectHeadless() ? 1 : 0;
    return g_headless == 1;
}

void SetHeadless(bool headless) { g_headless = headless ? 1 : 0; }

void WriteStderr(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stderr);
    std::fflush(stderr);
}

StatusTrace::StatusTrace() { g_activeTrace = this; }

StatusTrace::~StatusTrace() {
    if (g_activeTrace == this) g_activeTrace = nullptr;
}

StatusTrace* StatusTrace::Active() { return g_activeTrace; }

void StatusTrace::Update(const QString& text) {
    const auto now = std::chrono::steady_clock::now();
    if (!m_written || now - m_last >= std::chrono::seconds(1)) {
        WriteStderr(text + QLatin1Char('\n'));
        m_last = now;
        m_written = true;
        m_hasPending = false;
    } else {
        m_pending = text;
        m_hasPending = true;
    }
}

void StatusTrace::Flush() {
    if (m_hasPending) {
        WriteStderr(m_pending + QLatin1Char('\n'));
        m_hasPending = false;
        m_last = std::chrono::steady_clock::now();
    }
}

}  // namespace platform
