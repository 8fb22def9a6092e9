// Records every message box a test causes and answers it, so no test waits on a box.
#pragma once

#include "platform/messagebox.h"

#include <QList>
#include <QString>

namespace testsupport {

struct ShownBox {
    QString text;
    int flags = 0;
};

// Installs itself as the message hook for its lifetime. Questions are answered
// from the queue of next answers, No when it is empty.
class MessageBoxRecorder {
public:
    MessageBoxRecorder();
    ~MessageBoxRecorder();
    MessageBoxRecorder(const MessageBoxRecorder&) = delete;
    MessageBoxRecorder& operator=(const MessageBoxRecorder&) = delete;

    void SetNextAnswer(int answer) { m_answers.append(answer); }
    const QList<ShownBox>& Boxes() const { return m_boxes; }
    QStringList Texts() const;
    void Clear() { m_boxes.clear(); }

private:
    QList<ShownBox> m_boxes;
    QList<int> m_answers;
};

}  // namespace testsupport
