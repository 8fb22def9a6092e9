// Texts the program shows in more than one place, written once.
#pragma once

#include <QString>

namespace component {

// The line break of every message the program shows and logs.
inline const QString kCrLf = QStringLiteral("\r\n");

// Shown when neither "Primary" nor "RAdozudo" names a connection text, by the build and
// by the user-node run alike.
inline const QString kNoDataSourceText =
    QStringLiteral("Primary data source not defined for the selected index.\r\n"
                   "Please put a datasource RAdozudo or Primary in the index's DbDataSources item.");

// The source of the errors the program raises itself, and the start of its event-log
// source.
inline const QString kProgramSource = QStringLiteral("TessalyIndexManager");

// What to do when the program could not write into folder and may be running as the
// systemd service, whose sandbox lets it write only into the folders the unit names.
inline QString ServiceWriteAccessAdvice(const QString& folder) {
    return QStringLiteral(
               "If this ran as the service lumora-index@NAME, allow the folder with "
               "\"systemctl edit lumora-index@NAME\" and the lines \"[Service]\" and "
               "\"ReadWritePaths=%1\".")
        .arg(folder);
}

}  // namespace component
