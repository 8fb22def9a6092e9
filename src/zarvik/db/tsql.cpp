// Adapting SQL Server statements to SQLite and PostgreSQL.
#include "zarvik/db/tsql.h"

#include <QList>
#include <QVariant>
#include <algorithm>
#include <cstddef>
#include <vector>

#include "zarvik/db/tsqltokens.h"

namespace zarvik::db {
namespace {

struct Edit {
    qsizetype at;
    qsizetype remove;
    QString insert;
};

class Rewriter {
public:
    explicit Rewriter(const QString& sql) : m_sql(sql), m_tokens(Tokenize(sql, m_unterminated)) {}

    // With `values`, the literals that the WHERE clause compares with become numbered
    // parameters and their values are appended to it.
    QString Run(const Dialect& dialect, QVariantList* values = nullptr) {
        // Where a literal does not end, nothing can be told apart from it.
        if (m_unterminated) return m_sql;
        QList<Edit> edits;
        if (values) Parameterize(dialect, edits, *values);
        for (qsizetype t = 0; t < m_tokens.size(); ++t) {
            // Right behind another literal the N becomes a blank: removed, it would
            // join the two literals into one ('a'N'b' is not 'a''b').
            if (IsNationalPrefix(t))
                edits.append(
                    {m_tokens[t].begin, 1,
                     t > 0 && m_tokens[t - 1].kind == Kind::String ? QStringLiteral(" ") : QString()});
            if (IsWord(t, "SELECT")) RewriteTop(t, edits);
        }
        if (edits.isEmpty()) return m_sql;
        // The edits never overlap and no two start at the same place: the text is
        // copied once, each edit in its place.
        std::sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) { return a.at < b.at; });
        QString out;
        out.reserve(m_sql.size() + 16);
        qsizetype copied = 0;
        for (const Edit& e : edits) {
            out += QStringView(m_sql).mid(copied, e.at - copied);
            out += e.insert;
            copied = e.at + e.remove;
        }
        out += QStringView(m_sql).mid(copied);
        return out;
    }

private:
    // A literal of the WHERE clause is taken out only where a value of the statement
    // is compared with or listed: after =, <, >, ( or a comma, or LIKE. Elsewhere a
    // literal can mean more than its value: in a select list it names the column, in
    // ORDER BY and GROUP BY a number is a column's position, behind a word it is a
    // typed or blob literal, before :: a cast. A statement with markers of its own, a
    // second statement or a SELECT inside its WHERE clause keeps all its literals.
    void Parameterize(const Dialect& dialect, QList<Edit>& edits, QVariantList& values) const {
        const qsizetype first = NextSignificant(-1);
        if (!IsWord(first, "SELECT") && !IsWord(first, "DELETE")) return;
        QList<qsizetype> literals;
        bool inWhere = false;
        int depth = 0;
        // What each open parenthesis is: a list after IN, a grouping, or the arguments
        // of a function or a type (CAST(x AS VARCHAR(10)), CONCAT(a, '-')). An
        // argument keeps its literal: a type's length must be a constant, and a
        // function may take any type, which an untyped parameter does not give.
        std::vector<Paren> parens;
        for (qsizetype t = first; t < m_tokens.size(); ++t) {
            const Token& token = m_tokens[t];
            if (token.kind == Kind::Punct) {
                const QChar c = m_sql.at(token.begin);
                if (c == QLatin1Char('?') || c == QLatin1Char('$') || c == QLatin1Char(':') ||
                    c == QLatin1Char(';'))
                    return;
                if (c == QLatin1Char('(')) {
                    ++depth;
                    parens.push_back(KindOfParen(t));
                }
                if (c == QLatin1Char(')')) {
                    --depth;
                    if (!parens.empty()) parens.pop_back();
                }
                continue;
            }
            if (token.kind == Kind::Word) {
                if (m_sql.at(token.begin) == QLatin1Char('@')) return;
                if (depth == 0 && IsWord(t, "WHERE")) {
                    inWhere = true;
                } else if (depth == 0 && EndsWhere(t)) {
                    inWhere = false;
                } else if (inWhere && IsWord(t, "SELECT")) {
                    return;
                }
                continue;
            }
            if (inWhere && std::find(parens.begin(), parens.end(), Paren::Arguments) == parens.end() &&
                IsComparedValue(t))
                literals.append(t);
        }
        if (literals.isEmpty() || literals.size() > kMostParameters) return;
        AppendParameters(dialect, literals, edits, values);
    }

    // Each literal becomes a marker, its value appended to `values`.
    void AppendParameters(const Dialect& dialect, const QList<qsizetype>& literals, QList<Edit>& edits,
                          QVariantList& values) const {
        // SQLite numbers plain ? markers from left to right, which is the order here.
        static const QString sqliteMarker = QStringLiteral("?");
        edits.reserve(edits.size() + literals.size());
        values.reserve(values.size() + literals.size());
        for (qsizetype t : literals) {
            const QStringView text = Text(t);
            if (m_tokens[t].kind == Kind::Number) {
                qlonglong number = 0;  // at most 18 ASCII digits, checked above
                for (QChar c : text) number = number * 10 + (c.unicode() - u'0');
                values.append(QVariant(number));
            } else {
                QString value = text.mid(1, text.size() - 2).toString();
                if (value.contains(QLatin1Char('\'')))
                    value.replace(QStringLiteral("''"), QStringLiteral("'"));
                values.append(QVariant(value));
            }
            edits.append(
                {m_tokens[t].begin, m_tokens[t].end - m_tokens[t].begin,
                 dialect.numberedMarkers ? QLatin1Char('$') + QString::number(values.size()) : sqliteMarker});
        }
    }

    enum class Paren { List, Grouping, Arguments };

    Paren KindOfParen(qsizetype open) const {
        qsizetype before = open - 1;
        while (before >= 0 && Insignificant(before)) --before;
        if (before < 0) return Paren::Grouping;
        if (IsWord(before, "IN")) return Paren::List;
        if (m_tokens[before].kind == Kind::QuotedName) return Paren::Arguments;
        if (m_tokens[before].kind != Kind::Word) return Paren::Grouping;
        for (bool keyword :
             {IsWord(before, "AND"), IsWord(before, "OR"), IsWord(before, "NOT"), IsWord(before, "WHERE"),
              IsWord(before, "ON"), IsWord(before, "WHEN"), IsWord(before, "THEN"), IsWord(before, "ELSE"),
              IsWord(before, "BETWEEN"), IsWord(before, "LIKE"), IsWord(before, "IS")})
            if (keyword) return Paren::Grouping;
        return Paren::Arguments;
    }

    bool EndsWhere(qsizetype t) const {
        return IsWord(t, "ORDER") || IsWord(t, "GROUP") || IsWord(t, "HAVING") || IsWord(t, "LIMIT") ||
               IsWord(t, "OFFSET") || IsWord(t, "UNION") || IsWord(t, "EXCEPT") || IsWord(t, "INTERSECT") ||
               IsWord(t, "WINDOW") || IsWord(t, "RETURNING") || IsWord(t, "FOR") || IsWord(t, "OPTION");
    }

    bool IsComparedValue(qsizetype t) const {
        const Token& token = m_tokens[t];
        qsizetype before = t - 1;
        if (token.kind == Kind::String) {
            // N'...' loses its N; any other word right before the quote makes it a
            // literal of another kind (X'..', E'..', DATE'..').
            if (before >= 0 && m_tokens[before].kind == Kind::Word) {
                if (!IsNationalPrefix(before)) return false;
                --before;
            }
            const qsizetype after = NextSignificant(t);
            // Nor may a marker run into what follows: '1'2 would become ?2.
            if (t + 1 < m_tokens.size() &&
                (m_tokens[t + 1].kind == Kind::String || m_tokens[t + 1].kind == Kind::Word ||
                 m_tokens[t + 1].kind == Kind::Number))
                return false;
            if (IsPunct(after, ':')) return false;
        } else if (token.kind == Kind::Number) {
            const QStringView text = Text(t);
            if (text.size() > 18) return false;  // past 64 bits the database reads a real
            if (text.size() > 1 && text.front() == u'0') return false;  // kept as written
            for (QChar c : text)
                if (!IsAsciiDigit(c.unicode())) return false;
            if (before >= 0 && IsPunct(before, '.')) return false;
            if (IsPunct(t + 1, '.')) return false;
        } else {
            return false;
        }
        while (before >= 0 && Insignificant(before)) --before;
        if (before < 0) return false;
        return IsPunct(before, '=') || IsPunct(before, '<') || IsPunct(before, '>') || IsPunct(before, '(') ||
               IsPunct(before, ',') || IsWord(before, "LIKE");
    }

    // Far more values than any list of the program holds; a statement that long is
    // prepared as it stands.
    static constexpr qsizetype kMostParameters = 2000;

    QStringView Text(qsizetype t) const {
        return QStringView(m_sql).mid(m_tokens[t].begin, m_tokens[t].end - m_tokens[t].begin);
    }
    // `word` is upper-case ASCII.
    template <std::size_t N>
    bool IsWord(qsizetype t, const char (&word)[N]) const {
        if (t >= m_tokens.size() || m_tokens[t].kind != Kind::Word ||
            m_tokens[t].end - m_tokens[t].begin != qsizetype(N - 1))
            return false;
        const QChar* text = m_sql.constData() + m_tokens[t].begin;
        for (std::size_t k = 0; k + 1 < N; ++k) {
            char16_t u = text[k].unicode();
            if (u >= u'a' && u <= u'z') u = char16_t(u - (u'a' - u'A'));
            if (u != char16_t(word[k])) return false;
        }
        return true;
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
            if (!IsDigit(c)) return;
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

QString RewriteTSql(const QString& sql, const Dialect& dialect) {
    if (!dialect.rewritten) return sql;
    return Rewriter(sql).Run(dialect);
}

ParameterizedSql RewriteTSqlWithParameters(const QString& sql, const Dialect& dialect) {
    ParameterizedSql result;
    if (!dialect.rewritten) {
        result.text = sql;
        return result;
    }
    result.text = Rewriter(sql).Run(dialect, &result.values);
    return result;
}

SavepointTexts SavepointsOf(const Dialect& dialect, const QString& name) {
    const auto text = [&name](const char* form) {
        return *form ? QString::fromLatin1(form).arg(name) : QString();
    };
    return {text(dialect.setSavepoint), text(dialect.releaseSavepoint), text(dialect.rollbackToSavepoint)};
}

}  // namespace zarvik::db
