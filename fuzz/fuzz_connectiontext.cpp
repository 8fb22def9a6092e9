// The connection-text parser on arbitrary text: it accepts or raises the component's
// error, and what it reads, written out again, reads back the same.
#include <cstddef>
#include <cstdint>

#include "fuzz/check.h"
#include "zarvik/db/connectiontext.h"

namespace {

using zarvik::db::ConnectionText;
using zarvik::db::Provider;

QString ProviderName(Provider provider) {
    switch (provider) {
        case Provider::SQLite:
            return QStringLiteral("SQLite");
        case Provider::PostgreSQL:
            return QStringLiteral("PostgreSQL");
        case Provider::ODBC:
            return QStringLiteral("ODBC");
    }
    return {};
}

// Every value braced, a '}' in it doubled: the form that carries any value.
QString Written(const ConnectionText& parsed) {
    QString text = QStringLiteral("Provider=") + ProviderName(parsed.provider);
    for (auto it = parsed.values.cbegin(); it != parsed.values.cend(); ++it) {
        QString value = it.value();
        value.replace(QLatin1Char('}'), QStringLiteral("}}"));
        text += QLatin1Char(';') + it.key() + QStringLiteral("={") + value + QLatin1Char('}');
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    ConnectionText parsed;
    try {
        parsed = zarvik::db::ParseConnectionText(text);
    } catch (const component::Error& error) {
        FUZZ_CHECK(error.Number() == component::errnum::kDatabase);
        return 0;
    }

    if (parsed.provider == Provider::ODBC) {
        FUZZ_CHECK(parsed.values.isEmpty());
        // The driver manager's part, behind our own Provider pair, comes back unchanged.
        const ConnectionText again =
            zarvik::db::ParseConnectionText(QStringLiteral("Provider=ODBC;") + parsed.odbcText);
        FUZZ_CHECK(again.provider == Provider::ODBC && again.odbcText == parsed.odbcText, "%s | %s",
                   qPrintable(parsed.odbcText), qPrintable(again.odbcText));
        return 0;
    }
    for (auto it = parsed.values.cbegin(); it != parsed.values.cend(); ++it) {
        FUZZ_CHECK(!it.key().isEmpty() && it.key() == it.key().toLower() && it.key() == it.key().trimmed());
        FUZZ_CHECK(it.key() != QStringLiteral("provider"));
        // Keys are looked up in any case (for ASCII keys: the case folding of other
        // scripts does not always come back to the same letter).
        bool ascii = true;
        for (QChar c : it.key()) ascii &= c.unicode() < 128;
        if (ascii) FUZZ_CHECK(parsed.Value(it.key().toUpper()) == it.value());
    }
    const QString written = Written(parsed);
    ConnectionText again;
    try {
        again = zarvik::db::ParseConnectionText(written);
    } catch (const component::Error& error) {
        FUZZ_CHECK(false, "written form refused: %s in %s", qPrintable(error.Description()),
                   qPrintable(written));
    }
    FUZZ_CHECK(again.provider == parsed.provider, "%s", qPrintable(written));
    FUZZ_CHECK(again.values == parsed.values, "%s", qPrintable(written));
    return 0;
}
