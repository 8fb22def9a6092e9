// Records and answers message boxes in tests.
#include "support/messagebox_recorder.h"

namespace testsupport {

MessageBoxRecorder::MessageBoxRecorder() {
    platform::SetMessageHook([this](const QString& text, int flags) {
        m_boxes.append({text, flags});
        if (flags != platform::kMbQuestion) return platform::kIdOk;
        return m_answers.isEmpty() ? platform::kIdNo : m_answers.takeFirst();
    });
}

MessageBoxRecorder::~MessageBoxRecorder() { platform::SetMessageHook({}); }

QStringList MessageBoxRecorder::Texts() const {
    QStringList texts;
    for (const ShownBox& box : m_boxes) texts.append(box.text);
    return texts;
}

}  // namespace testsupport
