// Running a helper program (ssh, rsync, rclone) from an argument vector, never a shell.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>

namespace zarvik::process {

// How much of a program's standard error an outcome keeps: its first bytes, where
// the programs run here say what went wrong.
constexpr int kStandardErrorBytes = 1 << 16;

struct Outcome {
    // False when the program could not be started; why says why.
    bool started = false;
    // The exit status, or -1 when a signal ended the program.
    int exitCode = -1;
    // True when the output sink refused a piece and the program was killed for it.
    bool refused = false;
    QByteArray standardError;  // at most kStandardErrorBytes
    QString why;
};

// Takes each piece of the program's standard output as it arrives; false refuses it
// and everything after it.
using OutputSink = std::function<bool(const QByteArray& piece)>;

// Runs program (found on PATH) with arguments, standard input from /dev/null, and
// waits for it. A refused piece kills the program (outcome.refused). The program dies
// with the thread that started it, so a killed run leaves no transfer going on behind
// its back. Nothing here raises.
Outcome Run(const QString& program, const QStringList& arguments, const OutputSink& onOutput = {});

}  // namespace zarvik::process
