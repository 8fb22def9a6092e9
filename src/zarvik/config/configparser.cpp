// Reading IndexConfiguration.xml.
//
// The file is read whole and parsed with QXmlStreamReader, which reports where each
// element starts and ends in the text, so that a result can later be written back by
// editing only the text of its element.
#include "zarvik/config/configparser.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QXmlStreamReader>
#include <utility>

#include "component/error.h"
#include "zarvik/config/datasources.h"

namespace zarvik::config {
namespace {

const QString& kSource = kConfigurationSource;

QString Absolute(const QString& folder, const QString& path) {
    return QDir::cleanPath(QDir(folder).absoluteFilePath(path));
}

class Parser {
public:
    Parser(const Document& document) : m_document(document), m_text(document.text), m_reader(document.text) {}

    // Raises component::Error (kConfigLoad) naming the file, line and column.
    QList<Document::Index> Parse(QString* metricsDirectory, QStringList* warnings) {
        m_warnings = warnings;
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
                SkipUnknown(QStringLiteral("in <IndexConfiguration>"));
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

    // Elements this program does not know are passed over, so a newer file still loads;
    // at the root, in an <Index> and in <Verify> a misspelt setting would otherwise
    // pass unnoticed, so each is named.
    void SkipUnknown(const QString& where) {
        m_warnings->append(QStringLiteral("The element <%1> %2 (line %3 of %4) is not one this program "
                                          "knows; it is ignored.")
                               .arg(m_reader.name().toString(), where, QString::number(m_reader.lineNumber()),
                                    m_document.path));
        Skip();
    }

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
        const qint64 line = m_reader.lineNumber();
        for (;;) {
            const auto token = Next();
            if (token == QXmlStreamReader::EndElement) break;
            if (token != QXmlStreamReader::StartElement) continue;
            const qsizetype childBegin = TagBegin(Offset());
            const int field = TextElementNamed(m_reader.name());
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
                SkipUnknown(QStringLiteral("in the index \"%1\"").arg(index.name));
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
        if (path.isEmpty())
            m_warnings->append(QStringLiteral("The index \"%1\" (line %2 of %3) has no <IndexPath>, or an "
                                              "empty one; it cannot be built until one is given.")
                                   .arg(index.name, QString::number(line), m_document.path));
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
            try {
                index->dataSources.append({name, AnchorSqliteDatabase(text, m_document.folder)});
            } catch (const component::Error& error) {
                Fail(QStringLiteral("The data source \"%1\" of the index \"%2\": %3")
                         .arg(name, index->name, error.Description()));
            }
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
            // another machine and a store are the propagator's to read, as written.
            if (target.startsWith(QLatin1String("ssh://"), Qt::CaseInsensitive) ||
                target.startsWith(QLatin1String("store:"), Qt::CaseInsensitive))
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
                SkipUnknown(QStringLiteral("in <Verify> of the index \"%1\"").arg(index->name));
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
    QStringList* m_warnings = nullptr;
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

}  // namespace

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
    document->indexes = Parser(*document).Parse(&document->metricsDirectory, &document->warnings);
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

}  // namespace zarvik::config
