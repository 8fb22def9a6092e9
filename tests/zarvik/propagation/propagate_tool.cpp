// A propagation in a process of its own, for tests that kill it half-way:
// propagate_tool <index folder> <target>...; exit status 0 when every target got it.
#include <QStringList>

#include "zarvik/propagation/targetpropagator.h"

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    component::IndexSettings settings;
    settings.path = QString::fromLocal8Bit(argv[1]);
    for (int i = 2; i < argc; ++i) settings.targets << QString::fromLocal8Bit(argv[i]);
    zarvik::propagation::TargetPropagator propagator;
    return propagator.Propagate(settings) ? 0 : 1;
}
