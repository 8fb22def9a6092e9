// The texts the main dialog shows that are computed rather than fixed.
#include "maindialog/dialogtexts.h"

#include "component/texts.h"

#include <QDateTime>
#include <QLocale>
#include <QStringList>
#include <cstdlib>

namespace maindialog {
namespace {
using component::kCrLf;

QString AtLeastTwoDigits(std::int16_t value) {
    const int v = value;
    const QString digits = QStringLiteral("%1").arg(std::abs(v), 2, 10, QLatin1Char('0'));
    return v < 0 ? QLatin1Char('-') + digits : digits;
}
}  // namespace

QString EngineVersionText(std::int16_t major, std::int16_t minor, std::int32_t build) {
    // Plain decimal; a negative number keeps its sign rather than losing it.
    return QString::number(major) + QLatin1Char('.') + AtLeastTwoDigits(minor) + QStringLiteral(" (") +
           QString::number(build) + QLatin1Char(')');
}

QString EngineVersionMessage(std::int16_t major, std::int16_t minor, std::int32_t build) {
    return QStringLiteral("SQLite FTS5 engine version:") + kCrLf + EngineVersionText(major, minor, build);
}

QString HelpText() {
    const QStringList lines = {
        QStringLiteral("This program can be used to (re)build the indexes used for Search."),
        QString(),
        QStringLiteral("First, build an index by clicking \"Start Indexing\"."),
        QStringLiteral("After that you can click \"Search Index\" to test if the index works properly."),
        QString(),
        QString(),
        QStringLiteral("The program can be executed interactively, or it can be scheduled with a systemd "
                       "timer or cron."),
        QStringLiteral("To run the program from a systemd timer or cron, specify the switches /auto and "
                       "/index, e.g.:"),
        QString(),
        QStringLiteral("TessalyIndexManager /auto /index 1"),
        QString(),
        QStringLiteral("The \"Start Indexing\" option will then be executed automatically."),
        QStringLiteral("To get more information about the available command line switches, run the program "
                       "with the /help switch, as follows:"),
        QString(),
        QStringLiteral("TessalyIndexManager /help"),
    };
    return lines.join(kCrLf);
}


}  // namespace maindialog
