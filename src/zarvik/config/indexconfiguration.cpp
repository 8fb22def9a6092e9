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

// The method an index's <UserNodeMethod> names; empty is the default. Raises
// kConfigLoad naming the element and the value it does not know.
component::UserNodeMethod ParseUserNodeMethod(const QString& text, const QString& index,
                                              const QString& path) {
    const QString value = text.trimmed();
    if (value.isEmpty() || value.compare(QLatin1StringView("memory"), Qt::CaseInsensitive) == 0)
        return component::UserNodeMethod::Memory;
    if (value.compare(QLatin1StringView("queries"), Qt::CaseInsensitive) == 0)
        return component::UserNodeMethod::Queries;
    throw component::Error(component::errnum::kConfigLoad, kSource,
                           QStringLiteral("<UserNodeMethod> of the index \"%1\" in %2 holds \"%3\", which is "
                                          "not a method: it takes \"memory\" or \"queries\".")
                               .arg(index, path, value));
}

// An index's <BuildMode> and <MaxChangedPercent>; empty elements take the defaults.
// Raises kConfigLoad naming the element and the value it cannot use.
component::BuildModeSettings ParseBuildMode(const Document::Index& index, const QString& path) {
    const auto refuse = [&](QLatin1StringView element, const QString& value, const char* takes) {
        throw component::Error(component::errnum::kConfigLoad, kSource,
                               QStringLiteral("<%1> of the index \"%2\" in %3 holds \"%4\", which it cannot "
                                              "use: it takes %5.")
                                   .arg(element, index.name, path, value, QLatin1StringView(takes)));
    };
    component::BuildModeSettings settings;
    const QString mode = index.values[kBuildMode].trimmed();
    if (mode.compare(QLatin1StringView("changes"), Qt::CaseInsensitive) == 0)
        settings.mode = component::BuildMode::Changes;
    else if (!mode.isEmpty() && mode.compare(QLatin1StringView("full"), Qt::CaseInsensitive) != 0)
        refuse(kFieldNames[kBuildMode], mode, "\"full\" or \"changes\"");
    const QString percent = index.values[kMaxChangedPercent].trimmed();
    if (!percent.isEmpty()) {
        bool ok = false;
        settings.maxChangedPercent = percent.toInt(&ok);
        if (!ok || settings.maxChangedPercent < 0 || settings.maxChangedPercent > 100)
            refuse(kFieldNames[kMaxChangedPercent], percent, "a whole number from 0 to 100");
    }
    return settings;
}

}  // namespace

void XmlIndexConfiguration::LoadIndex(const QString& name) {
    if (m_document) {
        for (qsizetype i = 0; i < m_document->indexes.size(); ++i) {
            if (m_document->indexes[i].name == name) {
                if (!m_document->indexes[i].verifyError.isEmpty())
                    throw component::Error(component::errnum::kConfigLoad, kSource,
                                           m_document->indexes[i].verifyError);
                // A value the program does not know keeps the index from being loaded.
                ParseUserNodeMethod(m_document->indexes[i].values[kUserNodeMethod], name, m_document->path);
                ParseBuildMode(m_document->indexes[i], m_document->path);
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

#define ZARVIK_FIELD(Name, field)                             \
    QString XmlIndexConfiguration::Name() const {             \
        const auto* index = CurrentOf(m_document, m_current); \
        return index ? index->values[field] : QString();      \
    }
ZARVIK_FIELD(DbSetting1, kDbSetting1)
ZARVIK_FIELD(DbSetting2, kDbSetting2)
ZARVIK_FIELD(IndexPath, kIndexPath)
ZARVIK_FIELD(IndexDataSource, kIndexDataSource)
ZARVIK_FIELD(IndexSetting1, kIndexSetting1)
ZARVIK_FIELD(IndexSetting2, kIndexSetting2)
ZARVIK_FIELD(IndexSetting3, kIndexSetting3)
ZARVIK_FIELD(IndexSetting4, kIndexSetting4)
ZARVIK_FIELD(LastBuilt, kLastBuilt)
ZARVIK_FIELD(NumDocuments, kNumDocuments)
#undef ZARVIK_FIELD

component::UserNodeMethod XmlIndexConfiguration::GetUserNodeMethod() const {
    const auto* index = CurrentOf(m_document, m_current);
    return index ? ParseUserNodeMethod(index->values[kUserNodeMethod], index->name, m_document->path)
                 : component::UserNodeMethod::Memory;
}

component::BuildModeSettings XmlIndexConfiguration::GetBuildMode() const {
    const auto* index = CurrentOf(m_document, m_current);
    return index ? ParseBuildMode(*index, m_document->path) : component::BuildModeSettings();
}

QString XmlIndexConfiguration::IndexName() const {
    const auto* index = CurrentOf(m_document, m_current);
    return index ? index->name : QString();
}

component::DataSourceList XmlIndexConfiguration::DbDataSources() const {
    const auto* index = CurrentOf(m_document, m_current);
    return index ? index->dataSources : component::DataSourceList();
}

component::VerifySettings XmlIndexConfiguration::Verify() const {
    const auto* index = CurrentOf(m_document, m_current);
    return index ? index->verify : component::VerifySettings();
}

QStringList XmlIndexConfiguration::Propagations() const {
    const auto* index = CurrentOf(m_document, m_current);
    return index ? index->targets : QStringList();
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
    const QString element = kFieldNames[field];
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
