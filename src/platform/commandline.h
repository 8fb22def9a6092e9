// The command-line text after the program name, as it would be typed on Windows.
#pragma once

#include <QString>
#include <QStringList>

namespace platform {
// The arguments joined with single blanks; an argument that contains a blank is
// wrapped in double quotes, an empty one stays an empty piece.
QString CommandLineText(const QStringList& argumentsAfterProgram);
}
