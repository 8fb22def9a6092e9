// The command-line text after the program name.
#include "platform/commandline.h"

namespace platform {

QString CommandLineText(const QStringList& argumentsAfterProgram) {
    QStringList pieces;
    pieces.reserve(argumentsAfterProgram.size());
    for (const QString& argument : argumentsAfterProgram) {
        if (argument.contains(QLatin1Char(' ')))
            pieces.append(QLatin1Char('"') + argument + QLatin1Char('"'));
        else
            pieces.append(argument);
    }
    return pieces.join(QLatin1Char(' '));
}

}  // namespace platform
