// The command-line tokenizer and parser on arbitrary text.
#include <cstddef>
#include <cstdint>

#include "cmdline/cmdline.h"
#include "fuzz/check.h"
#include "platform/messagebox.h"

namespace {

int g_boxes = 0;

QString TrimBlanks(const QString& text) {
    qsizetype first = 0, last = text.size();
    while (first < last && text.at(first) == QLatin1Char(' ')) ++first;
    while (last > first && text.at(last - 1) == QLatin1Char(' ')) --last;
    return text.mid(first, last - first);
}

// The text that types each switch with its value quoted, so that the tokenizer's
// removal of one quote at either end gives the value back exactly.
QString Canonical(const QStringList& names, const QStringList& values) {
    QStringList pieces;
    for (qsizetype i = 0; i < names.size(); ++i) {
        pieces.append(QLatin1Char('/') + names[i]);
        pieces.append(QLatin1Char('"') + values[i] + QLatin1Char('"'));
    }
    return pieces.join(QLatin1Char(' '));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool hooked = [] {
        // A box would wait for a person; count them instead.
        platform::SetMessageHook([](const QString&, int) {
            ++g_boxes;
            return platform::kIdOk;
        });
        return true;
    }();
    (void)hooked;

    const QString text = TrimBlanks(QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size)));
    QStringList names, values;
    const QString error = cmdline::TokenizeCommandLine(text, names, values);

    FUZZ_CHECK(names.size() == values.size());
    for (const QString& name : names) {
        FUZZ_CHECK(name == name.toLower(), "name %s", qPrintable(name));
        FUZZ_CHECK(!name.contains(QLatin1Char(' ')));
    }
    for (const QString& value : values) FUZZ_CHECK(!value.contains(QLatin1Char(' ')));

    if (error.isEmpty() && !text.isEmpty()) {
        // Every blank-separated piece is a switch or the value of the one before it.
        const qsizetype pieces = text.split(QLatin1Char(' ')).size();
        FUZZ_CHECK(pieces >= names.size() && pieces <= 2 * names.size(), "%lld pieces, %lld switches",
                   static_cast<long long>(pieces), static_cast<long long>(names.size()));
        FUZZ_CHECK(text.startsWith(QLatin1Char('/')));
        // The switches typed again give the same names and values.
        QStringList names2, values2;
        FUZZ_CHECK(cmdline::TokenizeCommandLine(Canonical(names, values), names2, values2).isEmpty());
        FUZZ_CHECK(names2 == names && values2 == values);
        // Upper case in a switch name makes no difference (ASCII: the case folding of
        // other scripts does not always come back to the same letter, as with µ).
        QStringList upper = names;
        for (QString& name : upper)
            for (QChar& c : name)
                if (c >= u'a' && c <= u'z') c = QChar(c.unicode() - 32);
        QStringList names3, values3;
        FUZZ_CHECK(cmdline::TokenizeCommandLine(Canonical(upper, values), names3, values3).isEmpty());
        FUZZ_CHECK(names3 == names);
    }

    g_boxes = 0;
    const bool ok = cmdline::ParseCommandLine(text);
    // An empty command line is no switch at all, so the tokenizer is not asked.
    if (!error.isEmpty() && !text.isEmpty())
        FUZZ_CHECK(!ok, "accepted although the tokenizer said: %s", qPrintable(error));
    // A box for each /help up to the first unknown switch, then one for that switch;
    // a text the tokenizer refuses gets its one box.
    int expectedBoxes = 0;
    bool unknown = false;
    if (!error.isEmpty() && !text.isEmpty()) {
        expectedBoxes = 1;
    } else {
        for (const QString& name : names) {
            if (name == QStringLiteral("help")) ++expectedBoxes;
            unknown = name != QStringLiteral("help") && name != QStringLiteral("auto") &&
                      name != QStringLiteral("log") && name != QStringLiteral("index");
            if (unknown) break;
        }
        expectedBoxes += unknown ? 1 : 0;
    }
    FUZZ_CHECK(g_boxes == expectedBoxes, "%d boxes instead of %d", g_boxes, expectedBoxes);
    FUZZ_CHECK(ok == (expectedBoxes == 0), "result %d after %d boxes", int(ok), g_boxes);
    if (ok) {
        QString index;
        bool automated = false, log = false;
        for (qsizetype i = 0; i < names.size(); ++i) {
            FUZZ_CHECK(names[i] == QStringLiteral("auto") || names[i] == QStringLiteral("log") ||
                       names[i] == QStringLiteral("index"));
            automated |= names[i] == QStringLiteral("auto");
            log |= names[i] == QStringLiteral("log");
            if (names[i] == QStringLiteral("index")) index = values[i];
        }
        FUZZ_CHECK(cmdline::IsAutoMode() == automated && cmdline::IsLogMode() == log);
        FUZZ_CHECK(cmdline::GetIndexName() == index);
    }
    return 0;
}
