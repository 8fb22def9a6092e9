// IndexConfiguration over IndexConfiguration.xml.
//
// Writing a result back edits only the text of that one element (configedit.h) and
// saves the edited text through a temporary file and a rename, so comments, layout and
// attribute order of the file survive every build.
#include "zarvik/config/indexconfiguration.h"

#include <QFileInfo>
#include <utility>

#include "zarvik/config/configdocument.h"
#include "zarvik/config/configedit.h"
#include "zarvik/config/configparser.h"
#include "zarvik/files/durablefile.h"
#include "zarvik/files/eventlog.h"

namespace zarvik::config {

namespace {
const QString& kSource = kConfigurationSource;
}  // namespace

XmlIndexConfiguration::XmlIndexConfiguration() = default;
XmlIndexConfiguration::~XmlIndexConfiguration() = default;

void XmlIndexConfiguration::LoadFromFile(const QString& path) {
    auto document = ReadDocument(QFileInfo(path).absoluteFilePath());
    m_document = std::move(document);
    m_current = -1;
    for (const QString& warning : m_document->warnings) {
        try {
            files::WriteEvent(kSource, warning, 1);
        } catch (const component::Error&) {
            // Advice about the file; a log that cannot take it does not stop the run.
        }
    }
}

namespace {

// The settings of one index, by kTextElements. Raises kConfigLoad naming the first
// element whose value cannot be used, and the value.
component::IndexSettings SettingsOf(const Document::Index& index, const QString& path) {
    if (!index.verifyError.isEmpty())
        throw component::Error(component::errnum::kConfigLoad, kSource, index.verifyError);
    component::IndexSettings settings;
    settings.name = index.name;
    settings.verify = index.verify;
    settings.targets = index.targets;
    for (std::size_t row = 0; row < kTextElementCount; ++row) {
        if (!kTextElements[row].read) continue;
        const QString& value = index.values[row];
        if (const QString takes = kTextElements[row].read(value, settings); !takes.isEmpty())
            throw component::Error(component::errnum::kConfigLoad, kSource,
                                   QStringLiteral("<%1> of the index \"%2\" in %3 holds \"%4\", which it "
                                                  "cannot use: it takes %5.")
                                       .arg(ElementName(int(row)), index.name, path, value.trimmed(), takes));
    }
    return settings;
}

}  // namespace

void XmlIndexConfiguration::LoadIndex(const QString& name) {
    if (m_document) {
        for (qsizetype i = 0; i < m_document->indexes.size(); ++i) {
            if (m_document->indexes[i].name == name) {
                // A value the program cannot use keeps the index from being loaded.
                SettingsOf(m_document->indexes[i], m_document->path);
                m_current = i;
                return;
            }
        }
    }
    const QString where =
        m_document ? m_document->path : QStringLiteral("the configuration (none is loaded)");
    throw component::Error(component::errnum::kConfigNoIndex, kSource,
                           QStringLiteral("There is no index named \"%1\" in %2.").arg(name, where));
}

component::IndexList XmlIndexConfiguration::GetIndexList() const {
    component::IndexList list;
    if (!m_document) return list;
    for (const auto& index : m_document->indexes) list.append({index.name, index.display});
    return list;
}

namespace {
const Document::Index* CurrentOf(const std::shared_ptr<const Document>& document, qsizetype current) {
    return document && current >= 0 ? &document->indexes[current] : nullptr;
}
}  // namespace

QString XmlIndexConfiguration::Value(int row) const {
    const auto* index = CurrentOf(m_document, m_current);
    return index ? index->values[std::size_t(row)] : QString();
}

QString XmlIndexConfiguration::DbSetting1() const {
    return Value(TextElementRow("DbSetting1"));
}
QString XmlIndexConfiguration::DbSetting2() const {
    return Value(TextElementRow("DbSetting2"));
}
QString XmlIndexConfiguration::IndexPath() const {
    return Value(TextElementRow("IndexPath"));
}
QString XmlIndexConfiguration::IndexDataSource() const {
    return Value(TextElementRow("IndexDataSource"));
}
QString XmlIndexConfiguration::LastBuilt() const {
    return Value(TextElementRow("LastBuilt"));
}
QString XmlIndexConfiguration::NumDocuments() const {
    return Value(TextElementRow("NumDocuments"));
}

component::IndexSettings XmlIndexConfiguration::Settings() const {
    const auto* index = CurrentOf(m_document, m_current);
    return index ? SettingsOf(*index, m_document->path) : component::IndexSettings();
}

component::UserNodeMethod XmlIndexConfiguration::GetUserNodeMethod() const {
    return Settings().userNodeMethod;
}

QString XmlIndexConfiguration::IndexName() const {
    const auto* index = CurrentOf(m_document, m_current);
    return index ? index->name : QString();
}

component::DataSourceList XmlIndexConfiguration::DbDataSources() const {
    const auto* index = CurrentOf(m_document, m_current);
    return index ? index->dataSources : component::DataSourceList();
}

QString XmlIndexConfiguration::MetricsDirectory() const {
    return m_document ? m_document->metricsDirectory : QString();
}

void XmlIndexConfiguration::SetLastBuilt(const QString& value) {
    Write(kLastBuilt, value);
}
void XmlIndexConfiguration::SetNumDocuments(const QString& value) {
    Write(kNumDocuments, value);
}

void XmlIndexConfiguration::Write(int field, const QString& value) {
    const QString element = ElementName(field);
    const auto* current = CurrentOf(m_document, m_current);
    if (!current) {
        throw component::Error(component::errnum::kConfigNoIndex, kSource,
                               QStringLiteral("No index is current, so %1 cannot be written.").arg(element));
    }
    const QString& path = m_document->path;
    const QString name = current->name;
    auto saveError = [&](const QString& reason) {
        return component::Error(
            component::errnum::kConfigSave, kSource,
            QStringLiteral("Unable to save %1 of index \"%2\" to %3: %4").arg(element, name, path, reason));
    };
    if (!IsXmlText(value)) throw saveError(QStringLiteral("the value holds a character XML cannot carry."));

    // The edit is made on the file as it is now, not as it was loaded, so a change
    // someone made to the file in the meantime is not undone by this write.
    std::shared_ptr<Document> fresh;
    try {
        fresh = ReadDocument(path);
    } catch (const component::Error& error) {
        throw saveError(error.Description());
    }
    qsizetype position = -1;
    for (qsizetype i = 0; i < fresh->indexes.size() && position < 0; ++i) {
        if (fresh->indexes[i].name == name) position = i;
    }
    if (position < 0) throw saveError(QStringLiteral("the file no longer holds that index."));

    const QString text = EditedText(fresh->text, fresh->indexes[position], field, EscapeText(value));
    // The edited text is parsed before it is saved: what is saved must read back as
    // the value written, or nothing is saved.
    std::shared_ptr<Document> updated;
    try {
        updated = ParseDocument(path, fresh->bom + text.toUtf8());
    } catch (const component::Error& error) {
        throw saveError(error.Description());
    }
    if (updated->indexes.size() != fresh->indexes.size() ||
        updated->indexes[position].values[field] != value) {
        throw saveError(QStringLiteral("the value would not read back unchanged."));
    }
    const QString failure = files::ReplaceFileDurably(path, fresh->bom + text.toUtf8());
    if (!failure.isEmpty()) throw saveError(failure);
    m_document = std::move(updated);
    m_current = position;
}

}  // namespace zarvik::config
