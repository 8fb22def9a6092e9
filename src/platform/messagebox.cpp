// Message boxes with a display, without one, and in tests.
#include "platform/messagebox.h"

#include "platform/headless.h"

#include <utility>

namespace platform {
namespace {
MessageHook& Hook() {
    static MessageHook hook;
    return hook;
}

MessageHook& Presenter() {
    static MessageHook presenter;
    return presenter;
}

QString Kind(int flags) {
    switch (flags) {
    case kMbInformation: return QStringLiteral("Information");
    case kMbQuestion: return QStringLiteral("Question");
    default: return QStringLiteral("Warning");
    }
}

QString WithLineBreaks(const QString& text) {
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return shown;
}
}  // namespace

QString ApplicationTitle() { return QStringLiteral("Lumora Index Manager"); }

void SetMessageHook(MessageHook hook) { Hook() = std::move(hook); }

void SetMessagePresenter(MessageHook presenter) { Presenter() = std::move(presenter); }

QString HeadlessMessageText(const QString& text, int flags) {
    QString block = ApplicationTitle() + QStringLiteral(" [") + Kind(flags) + QStringLiteral("]\n") +
                    WithLineBreaks(text) + QLatin1Char('\n');
    if (flags == kMbQuestion) block += QStringLiteral("(answered No)\n");
    return block + QLatin1Char('\n');
}

int ShowMessage(const QString& text, int flags) {
    if (Hook()) return Hook()(text, flags);
    if (!IsHeadless() && Presenter()) return Presenter()(text, flags);
    // Without a display (or before the window system is hooked up) nobody can
    // answer: the trace on standard error is all there is, and a question gets No.
    if (StatusTrace* trace = StatusTrace::Active()) trace->Flush();
    WriteStderr(HeadlessMessageText(text, flags));
    return flags == kMbQuestion ? kIdNo : kIdOk;
}

}  // namespace platform
