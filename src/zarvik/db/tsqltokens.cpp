// Cutting a statement into tokens: words, numbers, literals, quoted names, comments.
#include "zarvik/db/tsqltokens.h"

namespace zarvik::db {
namespace {

// Every statement of the USERNODE computation passes through here, so ASCII is
// classified without the Unicode tables.
bool IsAsciiLetter(char16_t u) {
    return (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z');
}
bool IsSpace(QChar c) {
    const char16_t u = c.unicode();
    if (u < 128) return u == u' ' || (u >= u'\t' && u <= u'\r');
    return c.isSpace();
}
}  // namespace

bool IsAsciiDigit(char16_t u) {
    return u >= u'0' && u <= u'9';
}

bool IsDigit(QChar c) {
    const char16_t u = c.unicode();
    return u < 128 ? IsAsciiDigit(u) : c.isDigit();
}

namespace {
bool IsLetterOrNumber(QChar c) {
    const char16_t u = c.unicode();
    return u < 128 ? IsAsciiLetter(u) || IsAsciiDigit(u) : c.isLetterOrNumber();
}
bool IsWordStart(QChar c) {
    const char16_t u = c.unicode();
    if (u < 128) return IsAsciiLetter(u) || u == u'_' || u == u'@' || u == u'#';
    return c.isLetter();
}
bool IsWordChar(QChar c) {
    const char16_t u = c.unicode();
    if (u < 128)
        return IsAsciiLetter(u) || IsAsciiDigit(u) || u == u'_' || u == u'@' || u == u'#' || u == u'$';
    return c.isLetterOrNumber();
}

// Reads up to the closing quote; a doubled quote stands for one. An unterminated
// literal runs to the end of the text.
qsizetype SkipQuoted(const QString& s, qsizetype i, QChar close, bool& unterminated) {
    const qsizetype n = s.size();
    ++i;
    while (i < n) {
        if (s.at(i) == close) {
            if (i + 1 < n && s.at(i + 1) == close) {
                i += 2;
                continue;
            }
            return i + 1;
        }
        ++i;
    }
    unterminated = true;
    return n;
}

}  // namespace

QList<Token> Tokenize(const QString& s, bool& unterminated) {
    QList<Token> tokens;
    const qsizetype n = s.size();
    tokens.reserve(n / 4 + 4);
    qsizetype i = 0;
    while (i < n) {
        const QChar c = s.at(i);
        const qsizetype begin = i;
        Kind kind;
        if (IsSpace(c)) {
            while (i < n && IsSpace(s.at(i))) ++i;
            kind = Kind::Space;
        } else if (c == QLatin1Char('\'')) {
            i = SkipQuoted(s, i, QLatin1Char('\''), unterminated);
            kind = Kind::String;
        } else if (c == QLatin1Char('"')) {
            i = SkipQuoted(s, i, QLatin1Char('"'), unterminated);
            kind = Kind::QuotedName;
        } else if (c == QLatin1Char('[')) {
            i = SkipQuoted(s, i, QLatin1Char(']'), unterminated);
            kind = Kind::QuotedName;
        } else if (c == QLatin1Char('-') && i + 1 < n && s.at(i + 1) == QLatin1Char('-')) {
            while (i < n && s.at(i) != QLatin1Char('\n')) ++i;
            kind = Kind::Comment;
        } else if (c == QLatin1Char('/') && i + 1 < n && s.at(i + 1) == QLatin1Char('*')) {
            // SQL Server nests block comments.
            int depth = 0;
            while (i < n) {
                if (s.at(i) == QLatin1Char('/') && i + 1 < n && s.at(i + 1) == QLatin1Char('*')) {
                    ++depth;
                    i += 2;
                } else if (s.at(i) == QLatin1Char('*') && i + 1 < n && s.at(i + 1) == QLatin1Char('/')) {
                    i += 2;
                    if (--depth == 0) break;
                } else {
                    ++i;
                }
            }
            kind = Kind::Comment;
        } else if (IsDigit(c)) {
            while (i < n && (IsLetterOrNumber(s.at(i)) || s.at(i) == QLatin1Char('.'))) ++i;
            kind = Kind::Number;
        } else if (IsWordStart(c)) {
            while (i < n && IsWordChar(s.at(i))) ++i;
            kind = Kind::Word;
        } else {
            ++i;
            kind = Kind::Punct;
        }
        tokens.append({kind, begin, i});
    }
    return tokens;
}

}  // namespace zarvik::db
