// A propagation in a process of its own, for tests that kill it half-way:
// propagate_tool <index folder> <target>...; exit status 0 when every target got it.
#include <QStringList>

#include "zarvik/propagation/targetpropagator.h"

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    QStringList targets;
    for (int i = 2; i < argc; ++i) targets << QString::fromLocal8Bit(argv[i]);
    zarvik::propagation::TargetPropagator propagator;
    return propagator.Propagate(QString::fromLocal8Bit(argv[1]), targets) ? 0 : 1;
}
