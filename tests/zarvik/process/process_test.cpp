// The runner of helper programs: exit status, signals, standard input, bounded
// standard error, and an output sink that refuses more.
#include "zarvik/process/process.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include "support/qt_printers.h"

namespace {

using zarvik::process::Outcome;

TEST(ProcessTest, OutcomesSayHowTheProgramEnded) {
    struct Case {
        const char* name;
        QString program;
        QString script;  // for sh -c
        int keepPieces;  // pieces of output the sink takes; -1: all
        bool started;
        int exitCode;
        bool refused;
        qsizetype errorBytes;
        QString output;
        QString why;
    };
    const Case cases[] = {
        {"missing program", "lumora-no-such-program", {}, -1, false, -1, false, 0, {}, "not installed"},
        {"exit status", "sh", "echo out; echo err >&2; exit 3", -1, true, 3, false, 4, "out\n", {}},
        {"standard input is empty", "sh", "cat; echo done", -1, true, 0, false, 0, "done\n", {}},
        {"signal", "sh", "kill -9 $$", -1, true, -1, false, 0, {}, "signal 9"},
        {"standard error bounded",
         "sh",
         "head -c 200000 /dev/zero >&2",
         -1,
         true,
         0,
         false,
         zarvik::process::kStandardErrorBytes,
         {},
         {}},
        // Without the kill, `yes` would write for ever and the run never end.
        {"refused output", "yes", {}, 0, true, -1, true, 0, {}, "its output was refused"},
    };
    for (const Case& c : cases) {
        QString output;
        int pieces = 0;
        const QStringList args = c.script.isEmpty() ? QStringList() : QStringList{"-c", c.script};
        QElapsedTimer clock;
        clock.start();
        const Outcome o = zarvik::process::Run(c.program, args, [&](const QByteArray& piece) {
            if (c.keepPieces >= 0 && pieces++ >= c.keepPieces) return false;
            output += QString::fromUtf8(piece);
            return true;
        });
        EXPECT_EQ(o.started, c.started) << c.name;
        EXPECT_EQ(o.exitCode, c.exitCode) << c.name;
        EXPECT_EQ(o.refused, c.refused) << c.name;
        EXPECT_EQ(o.standardError.size(), c.errorBytes) << c.name;
        EXPECT_EQ(output, c.output) << c.name;
        EXPECT_TRUE(c.why.isEmpty() ? o.why.isEmpty() : o.why.contains(c.why))
            << c.name << ": " << o.why.toStdString();
        EXPECT_LT(clock.elapsed(), 10000) << c.name;
    }
}

}  // namespace
