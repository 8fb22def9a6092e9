// Running a helper program (ssh, rsync) from an argument vector, never a shell.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>

namespace zarvik::propagation {

struct ProcessOutcome {
    // False when the program could not be started; why says why.
    bool started = false;
    // The exit status, or -1 when a signal ended the program.
    int exitCode = -1;
    QByteArray standardError;
    QString why;
};

// Runs program (found on PATH) with arguments, standard input from /dev/null, and
// waits for it. Each piece of its standard output goes to onOutput as it arrives.
// The program dies with the thread that started it, so a killed run leaves no copy
// going on behind its back. Nothing here raises.
ProcessOutcome RunProgram(const QString& program, const QStringList& arguments,
                          const std::function<void(const QByteArray&)>& onOutput = {});

}  // namespace zarvik::propagation
