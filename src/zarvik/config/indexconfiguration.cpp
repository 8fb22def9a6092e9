// IndexConfiguration over IndexConfiguration.xml.
//
// The file is read whole and parsed with QXmlStreamReader, which reports where each
// element starts and ends in the text. Writing a result back edits only the text of
// that one element and saves the edited text through a temporary file and a rename,
// so comments, layout and attribute order of the file survive every build.
#include "zarvik/config/indexconfiguration.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QXmlStreamReader>
#include <array>
#include <utility>

#include "zarvik/config/datasources.h"
#include "zarvik/files/durablefile.h"

namespace zarvik::config {

namespace {

const QString kSource = QStringLiteral("ZarvikIndexing.IndexConfiguration");

// The elements of an <Index> that hold one text each.
enum Field {
    kIndexPath,
    kIndexDataSource,
    kDbSetting1,
    kDbSetting2,
    kIndexSetting1,
    kIndexSetting2,
    kIndexSetting3,
    kIndexSetting4,
    kLastBuilt,
    kNumDocuments,
    kUserNodeMethod,
    kBuildMode,
    kMaxChangedPercent,
    kFieldCount
};

const std::array<QLatin1StringView, kFieldCount> kFieldNames = {
    QLatin1StringView("IndexPath"),     QLatin1StringView("IndexDataSource"),
    QLatin1StringView("DbSetting1"),    QLatin1StringView("DbSetting2"),
    QLatin1StringView("IndexSetting1"), QLatin1StringView("IndexSetting2"),
    QLatin1StringView("IndexSetting3"), QLatin1StringView("IndexSetting4"),
    QLatin1StringView("LastBuilt"),     QLatin1StringView("NumDocuments"),
    QLatin1StringView("UserNodeMethod"), QLatin1StringView("BuildMode"),
    QLatin1StringView("MaxChangedPercent")};

int FieldOf(QStringView elementName) {
    for (int i = 0; i < kFieldCount; ++i) {
        if (elementName == kFieldNames[i]) return i;
    }
    return -1;
}

}  // namespace

// One parsed configuration file. Positions are indexes into text.
struct XmlIndexConfiguration::Document {
    // Where an element lies in the text: [elementBegin, elementEnd) is all of it,
    // [contentBegin, contentEnd) the text between its tags.
    struct Span {
        bool present = false;
        bool selfClosed = false;
        qsizetype elementBegin = 0;
        qsizetype contentBegin = 0;
        qsizetype contentEnd = 0;
        qsizetype elementEnd = 0;
    };
    struct Index {
        QString name;
        QString display;
        std::array<QString, kFieldCount> values;
        std::array<Span, kFieldCount> spans;
        component::DataSourceList dataSources;
        QStringList targets;
        component::VerifySettings verify;
        // Why LoadIndex refuses this index: a <Verify> value that cannot be read.
        QString verifyError;
        qsizetype startTagEnd = 0;
        bool selfClosed = false;
        qsizetype endTagBegin = 0;
        qsizetype lastChildBegin = -1;
        qsizetype lastChildEnd = -1;
    };

    QString path;    // absolute
    QString folder;  // the folder relative paths are taken against
    QByteArray bom;  // a UTF-8 byte order mark the file starts with, kept on saving
    QString text;    // the rest of the file, decoded
    QList<Index> indexes;
    QString metricsDirectory;  // absolute; empty when the file names none
};

namespace {

using Document = XmlIndexConfiguration::Document;

QString Absolute(const QString& folder, const QString& path) {
    return QDir::cleanPath(QDir(folder).absoluteFilePath(path));
}

class Parser {
public:
    Parser(const Document& document) : m_document(document), m_text(document.text), m_reader(document.text) {}

    // Raises component::Error (kConfigLoad) naming the file, line and column.
    QList<Document::Index> Parse(QString* metricsDirectory) {
        QList<Document::Index> indexes;
        bool metricsSeen = false;
        while (Next() != QXmlStreamReader::StartElement) {
            if (m_reader.atEnd()) Fail(QStringLiteral("The file has no root element."));
        }
        if (m_reader.name() != u"IndexConfiguration") {
            Fail(QStringLiteral("The root element is <%1>, not <IndexConfiguration>.")
                     .arg(m_reader.name().toString()));
        }
        for (;;) {
            const auto token = Next();
            if (token == QXmlStreamReader::EndElement) break;
            if (token != QXmlStreamReader::StartElement) continue;
            if (m_reader.name() == u"Index") {
                indexes.append(ParseIndex());
            } else if (m_reader.name() == u"MetricsDirectory") {
                // The first of repeated elements counts, as inside an index.
                Document::Span span;
                const QString folder = ReadText(&span).trimmed();
                if (!metricsSeen && !folder.isEmpty())
                    *metricsDirectory = Absolute(m_document.folder, folder);
                metricsSeen = true;
            } else {
                Skip();
            }
        }
        // Whatever follows the root element must still be well-formed.
        while (!m_reader.atEnd()) Next();
        return indexes;
    }

private:
    QXmlStreamReader::TokenType Next() {
        const auto token = m_reader.readNext();
        if (m_reader.hasError()) Fail(m_reader.errorString());
        return token;
    }

    // Elements this program does not know are passed over, so a newer file still loads.
    void Skip() {
        m_reader.skipCurrentElement();
        if (m_reader.hasError()) Fail(m_reader.errorString());
    }

    [[noreturn]] void Fail(const QString& message) {
        throw component::Error(component::errnum::kConfigLoad, kSource,
                               QStringLiteral("%1(%2,%3): %4")
                                   .arg(m_document.path, QString::number(m_reader.lineNumber()),
                                        QString::number(m_reader.columnNumber()), message));
    }

    // The offset just behind the token read last. Behind a start or end tag it is
    // exact (behind character data the reader has already looked one further).
    qsizetype Offset() const { return static_cast<qsizetype>(m_reader.characterOffset()); }

    // The '<' that opens the tag ending at end; '<' cannot occur inside a tag.
    qsizetype TagBegin(qsizetype end) const { return m_text.lastIndexOf(u'<', end - 1); }

    // Reads an element that holds text only, from its start tag to its end tag.
    QString ReadText(Document::Span* span) {
        const QString element = m_reader.name().toString();
        span->present = true;
        span->contentBegin = Offset();
        span->elementBegin = TagBegin(span->contentBegin);
        QString text;
        for (;;) {
            const auto token = Next();
            if (token == QXmlStreamReader::Characters) {
                text += m_reader.text();
            } else if (token == QXmlStreamReader::StartElement) {
                Fail(QStringLiteral("<%1> holds text only; <%2> cannot stand inside it.")
                         .arg(element, m_reader.name().toString()));
            } else if (token == QXmlStreamReader::EndElement) {
                break;
            }
        }
        span->elementEnd = Offset();
        span->selfClosed = span->elementEnd == span->contentBegin;
        span->contentEnd = span->selfClosed ? span->contentBegin : TagBegin(span->elementEnd);
        return text;
    }

    Document::Index ParseIndex() {
        Document::Index index;
        const auto attributes = m_reader.attributes();
        if (!attributes.hasAttribute(QStringLiteral("name"))) {
            Fail(QStringLiteral("An <Index> element has no name attribute."));
        }
        index.name = attributes.value(QStringLiteral("name")).toString();
        index.display = attributes.hasAttribute(QStringLiteral("display"))
                            ? attributes.value(QStringLiteral("display")).toString()
                            : index.name;
        index.startTagEnd = Offset();
        for (;;) {
            const auto token = Next();
            if (token == QXmlStreamReader::EndElement) break;
            if (token != QXmlStreamReader::StartElement) continue;
            const qsizetype childBegin = TagBegin(Offset());
            const int field = FieldOf(m_reader.name());
            if (field >= 0) {
                // The first of repeated elements counts, and is the one written back.
                Document::Span span;
                const QString text = ReadText(&span);
                if (!index.spans[field].present) {
                    index.spans[field] = span;
                    index.values[field] = text;
                }
            } else if (m_reader.name() == u"DbDataSources") {
                ParseDataSources(&index);
            } else if (m_reader.name() == u"Propagations") {
                ParseTargets(&index);
            } else if (m_reader.name() == u"Verify") {
                ParseVerify(&index);
            } else {
                Skip();
            }
            index.lastChildBegin = childBegin;
            index.lastChildEnd = Offset();
        }
        index.selfClosed = Offset() == index.startTagEnd;
        index.endTagBegin = index.selfClosed ? index.startTagEnd : TagBegin(Offset());
        // Blanks around a path are layout of the file, not part of the path; an empty
        // path stays empty rather than becoming the configuration folder itself.
        QString& path = index.values[kIndexPath];
        path = path.trimmed();
        if (!path.isEmpty()) path = Absolute(m_document.folder, path);
        return index;
    }

    void ParseDataSources(Document::Index* index) {
        for (;;) {
            const auto token = Next();
            if (token == QXmlStreamReader::EndElement) return;
            if (token != QXmlStreamReader::StartElement) continue;
            if (m_reader.name() != u"DataSource") {
                Skip();
                continue;
            }
            const QString name = m_reader.attributes().value(QStringLiteral("name")).toString();
            Document::Span span;
            // A connection text neither starts nor ends with blanks of its own; they
            // come from the layout of the file.
            const QString text = ReadText(&span).trimmed();
            index->dataSources.append({name, AnchorSqliteDatabase(text, m_document.folder)});
        }
    }

    void ParseTargets(Document::Index* index) {
        for (;;) {
            const auto token = Next();
            if (token == QXmlStreamReader::EndElement) return;
            if (token != QXmlStreamReader::StartElement) continue;
            if (m_reader.name() != u"Target") {
                Skip();
                continue;
            }
            Document::Span span;
            const QString target = ReadText(&span).trimmed();
            // An empty target would be the configuration folder itself. A folder on
            // another machine is the propagator's to read, as written.
            if (target.startsWith(QLatin1String("ssh://"), Qt::CaseInsensitive))
                index->targets.append(target);
            else if (!target.isEmpty())
                index->targets.append(Absolute(m_document.folder, target));
        }
    }

    // A bad value does not fail the whole file: the other indexes stay usable, and
    // LoadIndex of this one names the element and the value.
    void ParseVerify(Document::Index* index) {
        bool sawMin = false;
        bool sawShrink = false;
        const auto refuse = [&](const QString& element, const QString& value, const QString& expected) {
            if (index->verifyError.isEmpty())
                index->verifyError = QStringLiteral(
                                         "The value \"%1\" of <Verify><%2> of the index \"%3\" in %4 "
                                         "cannot be used: %5")
                                         .arg(value, element, index->name, m_document.path, expected);
        };
        for (;;) {
            const auto token = Next();
            if (token == QXmlStreamReader::EndElement) return;
            if (token != QXmlStreamReader::StartElement) continue;
            const QString element = m_reader.name().toString();
            if (element != u"MinDocuments" && element != u"MaxShrinkPercent" && element != u"CheckQuery") {
                Skip();
                continue;
            }
            Document::Span span;
            const QString value = ReadText(&span).trimmed();
            if (element == u"CheckQuery") {
                if (!value.isEmpty()) index->verify.checkQueries.append(value);
                continue;
            }
            // The first of repeated elements counts, as elsewhere in the file.
            bool& seen = element == u"MinDocuments" ? sawMin : sawShrink;
            if (std::exchange(seen, true) || value.isEmpty()) continue;
            bool ok = false;
            const qlonglong number = value.toLongLong(&ok);
            if (element == u"MinDocuments") {
                if (!ok || number < 0)
                    refuse(element, value,
                           QStringLiteral("it must be a whole number of documents, 0 or more."));
                else
                    index->verify.minDocuments = number;
            } else if (!ok || number < 0 || number > 100) {
                refuse(element, value, QStringLiteral("it must be a whole percentage from 0 to 100."));
            } else {
                index->verify.maxShrinkPercent = int(number);
            }
        }
    }

    const Document& m_document;
    const QString& m_text;
    QXmlStreamReader m_reader;
};

// Line and column of the first byte that is not UTF-8, for the error message.
QString Utf8ErrorPosition(const QByteArray& bytes) {
    const QList<QByteArray> lines = bytes.split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString line = decoder.decode(lines[i]);
        if (decoder.hasError()) {
            const qsizetype column = line.indexOf(QChar::ReplacementCharacter);
            return QStringLiteral("(%1,%2)").arg(i + 1).arg(column < 0 ? 0 : column);
        }
    }
    return {};
}

std::shared_ptr<Document> ParseDocument(const QString& path, const QByteArray& bytes) {
    auto document = std::make_shared<Document>();
    document->path = path;
    document->folder = QFileInfo(path).absolutePath();
    QByteArray body = bytes;
    if (body.startsWith("\xEF\xBB\xBF")) {
        document->bom = body.left(3);
        body.remove(0, 3);
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    document->text = decoder.decode(body);
    if (decoder.hasError()) {
        throw component::Error(
            component::errnum::kConfigLoad, kSource,
            QStringLiteral("%1%2: The file is not UTF-8 text.").arg(path, Utf8ErrorPosition(body)));
    }
    document->indexes = Parser(*document).Parse(&document->metricsDirectory);
    return document;
}

std::shared_ptr<Document> ReadDocument(const QString& path) {
    QFile file(path);
    if (QFileInfo(path).isDir()) {
        throw component::Error(
            component::errnum::kConfigLoad, kSource,
            QStringLiteral("Unable to read the configuration file %1: it is a folder.").arg(path));
    }
    if (!file.open(QIODevice::ReadOnly)) {
        throw component::Error(
            component::errnum::kConfigLoad, kSource,
            QStringLiteral("Unable to read the configuration file %1: %2").arg(path, file.errorString()));
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        throw component::Error(
            component::errnum::kConfigLoad, kSource,
            QStringLiteral("Unable to read the configuration file %1: %2").arg(path, file.errorString()));
    }
    return ParseDocument(path, bytes);
}

// XML 1.0 cannot carry every character, not even as a reference.
bool IsXmlText(const QString& value) {
    for (qsizetype i = 0; i < value.size(); ++i) {
        const char16_t c = value[i].unicode();
        if (QChar::isHighSurrogate(c)) {
            if (i + 1 >= value.size() || !QChar::isLowSurrogate(value[i + 1].unicode())) return false;
            ++i;
            continue;
        }
        if (QChar::isLowSurrogate(c)) return false;
        if (c < 0x20 && c != u'\t' && c != u'\n' && c != u'\r') return false;
        if (c == 0xFFFE || c == 0xFFFF) return false;
    }
    return true;
}

QString EscapeText(const QString& value) {
    QString escaped;
    escaped.reserve(value.size());
    for (const QChar c : value) {
        switch (c.unicode()) {
            case u'&':
                escaped += QLatin1StringView("&amp;");
                break;
            case u'<':
                escaped += QLatin1StringView("&lt;");
                break;
            case u'>':
                escaped += QLatin1StringView("&gt;");
                break;
            case u'\r':
                // A reader turns a literal CR into a line feed.
                escaped += QLatin1StringView("&#13;");
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

// The blanks in front of position on its line, or a null text when something else
// stands before it on that line.
QString IndentBefore(const QString& text, qsizetype position) {
    qsizetype begin = position;
    while (begin > 0 && (text[begin - 1] == u' ' || text[begin - 1] == u'\t')) --begin;
    if (begin > 0 && text[begin - 1] != u'\n') return {};
    return text.mid(begin, position - begin);
}

// The text with the field of the index set to value (escaped already).
QString EditedText(const QString& text, const Document::Index& index, int field, const QString& escaped) {
    const QString name = kFieldNames[field];
    const QString element = u'<' + name + u'>' + escaped + QLatin1StringView("</") + name + u'>';
    const Document::Span& span = index.spans[field];
    QString edited = text;
    if (span.present && !span.selfClosed) {
        edited.replace(span.contentBegin, span.contentEnd - span.contentBegin, escaped);
    } else if (span.present) {
        edited.replace(span.elementBegin, span.elementEnd - span.elementBegin, element);
    } else if (index.lastChildEnd >= 0) {
        // A new element goes behind the last one, on a line of its own when the
        // elements stand on lines of their own.
        const QString indent = IndentBefore(text, index.lastChildBegin);
        const QString newline =
            text.contains(QLatin1StringView("\r\n")) ? QStringLiteral("\r\n") : QStringLiteral("\n");
        edited.insert(index.lastChildEnd, indent.isNull() ? element : newline + indent + element);
    } else if (index.selfClosed) {
        // <Index .../> becomes <Index ...><Field>...</Field></Index>.
        edited.replace(index.startTagEnd - 2, 2, u'>' + element + QLatin1StringView("</Index>"));
    } else {
        edited.insert(index.endTagBegin, element);
    }
    return edited;
}

}  // namespace

XmlIndexConfiguration::XmlIndexConfiguration() = default;
XmlIndexConfiguration::~XmlIndexConfiguration() = default;

void XmlIndexConfiguration::LoadFromFile(const QString& path) {
    auto document = ReadDocument(QFileInfo(path).absoluteFilePath());
    m_document = std::move(document);
    m_current = -1;
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
