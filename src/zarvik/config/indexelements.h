// The elements of an <Index> that hold one text each, written once: the parser finds
// them by this table, the editor writes them back by it, IndexSettings is filled by
// it, and the documentation test checks that each is documented.
#pragma once

#include <QLatin1StringView>
#include <QString>
#include <cstddef>
#include <string_view>

#include "component/configuration.h"

namespace zarvik::config {

// Puts an element's text into the settings. Returns the empty text, else what the
// element takes (for the message that names the element and the value).
using ReadSetting = QString (*)(const QString& value, component::IndexSettings& settings);

template <QString component::IndexSettings::*field>
QString ReadText(const QString& value, component::IndexSettings& settings) {
    settings.*field = value;
    return {};
}
QString ReadBuildMode(const QString& value, component::IndexSettings& settings);
QString ReadMaxChangedPercent(const QString& value, component::IndexSettings& settings);
QString ReadUserNodeMethod(const QString& value, component::IndexSettings& settings);
QString ReadFullEvery(const QString& value, component::IndexSettings& settings);
QString ReadKeepPublished(const QString& value, component::IndexSettings& settings);
QString ReadColumnWeights(const QString& value, component::IndexSettings& settings);

struct TextElement {
    std::string_view name;
    ReadSetting read;  // null for the elements the configuration keeps for itself
};

// To add a setting: a row here and a field in component::IndexSettings.
// <DbDataSources>, <Propagations> and <Verify> are not rows: each holds elements of its
// own, repeated ones among them (<DataSource name=...>, <Target>, <CheckQuery>), that
// fill lists rather than one field, and the editor never writes them back; the parser
// reads each in a function of its own (configparser.cpp).
inline constexpr TextElement kTextElements[] = {
    {"IndexPath", &ReadText<&component::IndexSettings::path>},
    {"IndexDataSource", &ReadText<&component::IndexSettings::dataSource>},
    {"DbSetting1", nullptr},
    {"DbSetting2", nullptr},
    {"IndexSetting1", &ReadText<&component::IndexSettings::query>},
    {"IndexSetting2", &ReadText<&component::IndexSettings::storedColumns>},
    {"IndexSetting3", &ReadText<&component::IndexSettings::tokenizer>},
    {"IndexSetting4", &ReadText<&component::IndexSettings::prefix>},
    {"LastBuilt", nullptr},
    {"NumDocuments", nullptr},
    {"UserNodeMethod", &ReadUserNodeMethod},
    {"BuildMode", &ReadBuildMode},
    {"MaxChangedPercent", &ReadMaxChangedPercent},
    {"FullEvery", &ReadFullEvery},
    {"KeepPublished", &ReadKeepPublished},
    {"ColumnWeights", &ReadColumnWeights},
};
constexpr std::size_t kTextElementCount = sizeof(kTextElements) / sizeof(kTextElements[0]);

// The row of the element of that name; -1 when the table has none.
int TextElementNamed(QStringView name);
constexpr int TextElementNamed(std::string_view name) {
    for (std::size_t i = 0; i < kTextElementCount; ++i) {
        if (kTextElements[i].name == name) return int(i);
    }
    return -1;
}

// The row of an element the code names: a name the table lacks does not compile.
consteval int TextElementRow(std::string_view name) {
    const int row = TextElementNamed(name);
    // Raising in a constant evaluation is what makes the misspelt name an error.
    if (row < 0) throw "kTextElements has no element of this name";
    return row;
}

// The element's name as the file writes it.
inline QLatin1StringView ElementName(int row) {
    return QLatin1StringView(kTextElements[row].name.data(), qsizetype(kTextElements[row].name.size()));
}

}  // namespace zarvik::config
