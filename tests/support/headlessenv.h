// The environment of the program when a test starts it as a scheduler would: no
// display, so it runs headless and writes its boxes to standard error, and its
// event-log entries going to a file the test reads.
#pragma once

#include <QProcessEnvironment>
#include <QString>

namespace testsupport {

inline QProcessEnvironment HeadlessEnvironment(const QString& eventLog) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.insert(QStringLiteral("ZARVIK_EVENT_LOG"), eventLog);
    return env;
}

}  // namespace testsupport
