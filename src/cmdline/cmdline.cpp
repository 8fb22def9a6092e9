// The command line: the switches /help, /auto, /log and /index, and the usage text.
#include "cmdline/cmdline.h"

#include "component/texts.h"

#include "platform/messagebox.h"

namespace cmdline {
namespace {
using component::kCrLf;
const QChar kQuote = QLatin1Char('"');

bool g_log = false;
bool g_auto = false;
QString g_indexName;

// Blanks only: a tab or line break is part of a piece, as it would be on Windows.
QString TrimBlanks(const QString& text) {
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text.at(first) == QLatin1Char(' ')) ++first;
    while (last > first && text.at(last - 1) == QLatin1Char(' ')) --last;
    return text.mid(first, last - first);
}
}  // namespace

QString TokenizeCommandLine(const QString& commandLine, QStringList& names, QStringList& values) {
    const QStringList pieces = commandLine.split(QLatin1Char(' '), Qt::KeepEmptyParts);
    QString errorText;
    int switchCounter = -1;
    bool expectSwitch = true;
    for (const QString& piece : pieces) {
        const bool isSwitch = piece.startsWith(QLatin1Char('/'));
        if (expectSwitch && !isSwitch) {
            errorText = QStringLiteral("Unknown command line argument ") + kQuote + piece + kQuote +
                        QLatin1Char('.');
        }
        if (!errorText.isEmpty()) break;
        if (isSwitch) {
            ++switchCounter;
            names.resize(switchCounter + 1);
            values.resize(switchCounter + 1);
            names[switchCounter] = piece.mid(1).toLower();
            values[switchCounter] = QString();
            expectSwitch = false;
        } else {
            QString value = piece;
            if (value.startsWith(kQuote)) value.remove(0, 1);
            if (value.endsWith(kQuote)) value.chop(1);
            values[switchCounter] = value;
            expectSwitch = true;
        }
    }
    return errorText;
}

bool ParseCommandLine(const QString& commandLine) {
    g_log = false;
    g_auto = false;
    g_indexName.clear();
    bool result = true;

    const QString text = TrimBlanks(commandLine);
    if (text.isEmpty()) return true;

    QStringList names;
    QStringList values;
    QString errorText = TokenizeCommandLine(text, names, values);
    if (errorText.isEmpty()) {
        for (qsizetype i = 0; i < names.size(); ++i) {
            const QString& name = names.at(i);
            if (name == QStringLiteral("help")) {
                ShowUsage();
                result = false;
            } else if (name == QStringLiteral("auto")) {
                g_auto = true;
            } else if (name == QStringLiteral("log")) {
                g_log = true;
            } else if (name == QStringLiteral("index")) {
                g_indexName = values.at(i);
            } else {
                errorText = QStringLiteral("Unknown argument ") + kQuote + name + kQuote;
                break;
            }
        }
    }

    if (!errorText.isEmpty()) {
        result = false;
        platform::ShowMessage(errorText + kCrLf + kCrLf + GetUsageText() + kCrLf + kCrLf +
                                  QStringLiteral("Click OK to leave the program."),
                              platform::kMbWarning);
    }
    return result;
}

bool IsLogMode() { return g_log; }
bool IsAutoMode() { return g_auto; }
QString GetIndexName() { return g_indexName; }

void ShowUsage() { platform::ShowMessage(GetUsageText(), platform::kMbInformation); }

QString GetUsageText() {
    const QString tab = QStringLiteral("\t");
    const QStringList lines = {
        QStringLiteral("Usage:"),
        QString(),
        QStringLiteral("TessalyIndexManager  [/help]  [/auto]  [/log] [/index <index name>]"),
        QString(),
        QStringLiteral("/help") + tab + tab + tab + QStringLiteral("Displays this help message"),
        QStringLiteral("/auto") + tab + tab + tab +
            QStringLiteral("Run automatically (e.g. for use with Windows Task Scheduler)"),
        QStringLiteral("/log") + tab + tab + tab + QStringLiteral("Logs information to indexlog.dat during indexing"),
        QStringLiteral("/index <indexName>") + tab + tab + QStringLiteral("Name of the index to (re)build"),
        QString(),
        QStringLiteral("Note: all arguments are optional."),
    };
    return lines.join(kCrLf);
}

}  // namespace cmdline
