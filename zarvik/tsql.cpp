// Adapting SQL Server statements to SQLite and PostgreSQL.
#include "zarvik/tsql.h"

#include <QList>
#include <algorithm>

namespace zarvik::db {
namespace {

enum class Kind { Word, Number, String, QuotedName, Comment, Space, Punct };

struct Token {
    Kind kind;
    qsizetype begin;
    qsizetype end;
};

bool IsWordStart(QChar c) {
    return c.isLetter() || c == QLatin1Char('_') || c == QLatin1Char('@') || c == QLatin1Char('#');
}
bool IsWordChar(QChar c) {
    return c.isLetterOrNumber() || c == QLatin1Char('_') || c == QLatin1Char('@') || c == QLatin1Char('#') ||
           c == QLatin1Char('$');
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

QList<Token> Tokenize(const QString& s, bool& unterminated) {
    QList<Token> tokens;
    const qsizetype n = s.size();
    qsizetype i = 0;
    while (i < n) {
        const QChar c = s.at(i);
        const qsizetype begin = i;
        Kind kind;
        if (c.isSpace()) {
            while (i < n && s.at(i).isSpace()) ++i;
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
        } else if (c.isDigit()) {
            while (i < n && (s.at(i).isLetterOrNumber() || s.at(i) == QLatin1Char('.'))) ++i;
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

struct Edit {
    qsizetype at;
    qsizetype remove;
    QString insert;
};

class Rewriter {
public:
    explicit Rewriter(const QString& sql) : m_sql(sql), m_tokens(Tokenize(sql, m_unterminated)) {}

    QString Run() {
        // Where a literal does not end, nothing can be told apart from it.
        if (m_unterminated) return m_sql;
        QList<Edit> edits;
        for (qsizetype t = 0; t < m_tokens.size(); ++t) {
            // Right behind another literal the N becomes a blank: removed, it would
            // join the two literals into one ('a'N'b' is not 'a''b').
            if (IsNationalPrefix(t))
                edits.append(
                    {m_tokens[t].begin, 1,
                     t > 0 && m_tokens[t - 1].kind == Kind::String ? QStringLiteral(" ") : QString()});
            if (IsWord(t, "SELECT")) RewriteTop(t, edits);
        }
        // Apply from the back so that earlier positions stay valid.
        std::stable_sort(edits.begin(), edits.end(),
                         [](const Edit& a, const Edit& b) { return a.at > b.at; });
        QString out = m_sql;
        for (const Edit& e : edits) out.replace(e.at, e.remove, e.insert);
        return out;
    }

private:
    QStringView Text(qsizetype t) const {
        return QStringView(m_sql).mid(m_tokens[t].begin, m_tokens[t].end - m_tokens[t].begin);
    }
    bool IsWord(qsizetype t, const char* word) const {
        return t < m_tokens.size() && m_tokens[t].kind == Kind::Word &&
               Text(t).compare(QLatin1String(word), Qt::CaseInsensitive) == 0;
    }
    bool IsPunct(qsizetype t, char c) const {
        return t < m_tokens.size() && m_tokens[t].kind == Kind::Punct &&
               m_sql.at(m_tokens[t].begin) == QLatin1Char(c);
    }
    bool Insignificant(qsizetype t) const {
        return m_tokens[t].kind == Kind::Space || m_tokens[t].kind == Kind::Comment;
    }
    qsizetype NextSignificant(qsizetype t) const {
        ++t;
        while (t < m_tokens.size() && Insignificant(t)) ++t;
        return t;
    }
    // N'...': a word that is exactly N, directly followed by a literal.
    bool IsNationalPrefix(qsizetype t) const {
        return m_tokens[t].kind == Kind::Word && m_tokens[t].end - m_tokens[t].begin == 1 &&
               (m_sql.at(m_tokens[t].begin) == QLatin1Char('N') ||
                m_sql.at(m_tokens[t].begin) == QLatin1Char('n')) &&
               t + 1 < m_tokens.size() && m_tokens[t + 1].kind == Kind::String;
    }

    void RewriteTop(qsizetype select, QList<Edit>& edits) const {
        qsizetype t = NextSignificant(select);
        if (IsWord(t, "DISTINCT") || IsWord(t, "ALL")) t = NextSignificant(t);
        if (!IsWord(t, "TOP")) return;
        const qsizetype top = t;
        qsizetype count = NextSignificant(top);
        qsizetype last = count;  // the last token of "TOP n" or "TOP (n)"
        if (IsPunct(count, '(')) {
            count = NextSignificant(count);
            last = NextSignificant(count);
            if (!IsPunct(last, ')')) return;
        }
        if (count >= m_tokens.size() || m_tokens[count].kind != Kind::Number) return;
        for (QChar c : Text(count))
            if (!c.isDigit()) return;
        // TOP n PERCENT and WITH TIES have no LIMIT form; leave them to the database.
        const qsizetype after = NextSignificant(last);
        if (IsWord(after, "PERCENT") || IsWord(after, "WITH")) return;
        if (after >= m_tokens.size() || IsPunct(after, ';') || IsPunct(after, ')'))
            return;  // nothing selected

        // Drop "TOP n" and the blanks after it.
        const qsizetype removeEnd = after < m_tokens.size() ? m_tokens[after].begin : m_sql.size();
        edits.append({m_tokens[top].begin, removeEnd - m_tokens[top].begin, QString()});

        // LIMIT goes after the last significant token of this SELECT.
        int depth = 0;
        qsizetype lastSignificant = last;
        for (qsizetype k = after; k < m_tokens.size(); ++k) {
            if (IsPunct(k, '(')) {
                ++depth;
            } else if (IsPunct(k, ')')) {
                if (depth == 0) break;
                --depth;
            } else if (IsPunct(k, ';') && depth == 0) {
                break;
            }
            if (!Insignificant(k)) lastSignificant = k;
        }
        edits.append({m_tokens[lastSignificant].end, 0, QStringLiteral(" LIMIT ") + Text(count).toString()});
    }

    const QString& m_sql;
    bool m_unterminated = false;
    QList<Token> m_tokens;
};

}  // namespace

QString RewriteTSql(const QString& sql, Dialect dialect) {
    if (dialect == Dialect::SqlServer) return sql;
    return Rewriter(sql).Run();
}

}  // namespace zarvik::db
