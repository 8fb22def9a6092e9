// Reading the text elements of an <Index> whose values are more than a text.
#include "zarvik/config/indexelements.h"

namespace zarvik::config {

QString ReadBuildMode(const QString& value, component::IndexSettings& settings) {
    const QString mode = value.trimmed();
    if (mode.compare(QLatin1StringView("changes"), Qt::CaseInsensitive) == 0)
        settings.buildMode.mode = component::BuildMode::Changes;
    else if (!mode.isEmpty() && mode.compare(QLatin1StringView("full"), Qt::CaseInsensitive) != 0)
        return QStringLiteral("\"full\" or \"changes\"");
    return {};
}

QString ReadMaxChangedPercent(const QString& value, component::IndexSettings& settings) {
    const QString percent = value.trimmed();
    if (percent.isEmpty()) return {};
    bool ok = false;
    const int number = percent.toInt(&ok);
    if (!ok || number < 0 || number > 100) return QStringLiteral("a whole number from 0 to 100");
    settings.buildMode.maxChangedPercent = number;
    return {};
}

QString ReadUserNodeMethod(const QString& value, component::IndexSettings& settings) {
    const QString method = value.trimmed();
    if (method.isEmpty() || method.compare(QLatin1StringView("memory"), Qt::CaseInsensitive) == 0)
        settings.userNodeMethod = component::UserNodeMethod::Memory;
    else if (method.compare(QLatin1StringView("queries"), Qt::CaseInsensitive) == 0)
        settings.userNodeMethod = component::UserNodeMethod::Queries;
    else
        return QStringLiteral("\"memory\" or \"queries\"");
    return {};
}

namespace {
// A whole number from 1 to 1000 into `field`; empty keeps the default.
QString ReadCount(const QString& value, int& field) {
    const QString text = value.trimmed();
    if (text.isEmpty()) return {};
    bool ok = false;
    const int number = text.toInt(&ok);
    if (!ok || number < 1 || number > 1000) return QStringLiteral("a whole number from 1 to 1000");
    field = number;
    return {};
}
}  // namespace

QString ReadFullEvery(const QString& value, component::IndexSettings& settings) {
    return ReadCount(value, settings.publishing.fullEvery);
}

QString ReadKeepPublished(const QString& value, component::IndexSettings& settings) {
    return ReadCount(value, settings.publishing.keepPublished);
}

// Numbers from 0 to 1,000,000, blank-separated, kept as "10 1" whatever their spelling:
// the build writes them into FTS5's rank setting, whose arguments are SQL literals.
QString ReadColumnWeights(const QString& value, component::IndexSettings& settings) {
    QStringList weights;
    for (const QString& word : value.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        bool ok = false;
        const double weight = word.toDouble(&ok);
        if (!ok || !(weight >= 0 && weight <= 1e6))
            return QStringLiteral("numbers from 0 to 1000000, one per searched column, as in \"10 1\"");
        weights << QString::number(weight);
    }
    settings.columnWeights = weights.join(QLatin1Char(' '));
    return {};
}

int TextElementNamed(QStringView name) {
    for (std::size_t i = 0; i < kTextElementCount; ++i) {
        if (name == ElementName(int(i))) return int(i);
    }
    return -1;
}

}  // namespace zarvik::config
