// The one place that knows the target kinds: a table of text beginnings and the
// functions that read each kind.
#include "zarvik/propagation/target.h"

#include "component/propagator.h"
#include "zarvik/propagation/localtarget.h"
#include "zarvik/propagation/sshtarget.h"
#include "zarvik/propagation/storetarget.h"

namespace zarvik::propagation {
namespace {

struct Kind {
    QLatin1String beginning;  // in any case
    std::unique_ptr<Target> (*read)(const QString& text, QString* why);
};

// One line per kind, the first whose beginning the text has wins. A text that names
// no kind (component::NamesTargetKind) is a local folder.
const Kind kKinds[] = {
    {QLatin1String("ssh://"), &SshTarget::Read},
    {QLatin1String("store:"), &StoreTarget::Read},
};

}  // namespace

std::unique_ptr<Target> ReadTarget(const QString& text, QString* why) {
    for (const Kind& kind : kKinds) {
        if (text.startsWith(kind.beginning, Qt::CaseInsensitive)) return kind.read(text, why);
    }
    if (!component::NamesTargetKind(text)) return LocalTarget::Read(text, why);
    *why = RefuseTarget(text, QStringLiteral("it names a kind of target this program does not know"));
    return nullptr;
}

QString RefuseTarget(const QString& text, const QString& why) {
    return QStringLiteral("the target \"%1\" was refused: %2").arg(PrintableTargetText(text), why);
}

QString PrintableTargetText(const QString& text) {
    QString printable;
    for (QChar c : text) {
        if (c == QLatin1Char('\n'))
            printable += QLatin1String("\\n");
        else if (c == QLatin1Char('\r'))
            printable += QLatin1String("\\r");
        else if (c == QLatin1Char('\t'))
            printable += QLatin1String("\\t");
        else if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            printable += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            printable += c;
    }
    return printable;
}

}  // namespace zarvik::propagation
