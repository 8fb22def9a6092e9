// Writing one value back into the text of IndexConfiguration.xml.
#include "zarvik/config/configedit.h"

namespace zarvik::config {
namespace {

// The blanks in front of position on its line, or a null text when something else
// stands before it on that line.
QString IndentBefore(const QString& text, qsizetype position) {
    qsizetype begin = position;
    while (begin > 0 && (text[begin - 1] == u' ' || text[begin - 1] == u'\t')) --begin;
    if (begin > 0 && text[begin - 1] != u'\n') return {};
    return text.mid(begin, position - begin);
}

}  // namespace

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

// The text with the field of the index set to value (escaped already).
QString EditedText(const QString& text, const Document::Index& index, int field, const QString& escaped) {
    const QString name = ElementName(field);
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

}  // namespace zarvik::config
