// The command line: the switches /help, /auto, /log and /index, and the usage text.
#pragma once

#include <QString>
#include <QStringList>

namespace cmdline {

// Parses the command-line text (the arguments after the program name as one
// string). True: start-up may go on. False: the program must end; a box has
// already been shown.
bool ParseCommandLine(const QString& commandLine);

bool IsLogMode();
bool IsAutoMode();
QString GetIndexName();

void ShowUsage();
QString GetUsageText();

// Splits the text into switch names (lower-cased, without slash) and their values.
// Returns the error text, empty on success.
QString TokenizeCommandLine(const QString& commandLine, QStringList& names, QStringList& values);

}  // namespace cmdline
