// The SQL Server dialect rewrite. Two properties on every input:
// - on the input as SQL text: no string literal changes, for either dialect, and text
//   for SQL Server is not touched;
// - on the input as choices: a SELECT with TOP (in the outer query, a derived table or
//   an IN list, with N'...' literals) run on SQLite after the rewrite gives the rows of
//   the same query written natively with LIMIT.
#include <fuzzer/FuzzedDataProvider.h>
#include <sqlite3.h>

#include <QStringList>
#include <QVariant>
#include <cstddef>
#include <cstdint>

#include "fuzz/check.h"
#include "zarvik/db/odbc/sqlserverdialect.h"
#include "zarvik/db/pg/pgdialect.h"
#include "zarvik/db/sqlite/sqlitedialect.h"
#include "zarvik/db/tsql.h"

namespace {

using zarvik::db::Dialect;
using zarvik::db::RewriteTSql;

// The literals of a text in order, as written ('' kept), found by the rules of both
// dialects: comments ('--' to the line end, nested /* */) and quoted names ("..."
// and [...]) hold no literals. Empty list with a flag when a quote never closes.
QStringList Literals(const QString& s, bool& open) {
    QStringList out;
    open = false;
    const qsizetype n = s.size();
    auto closing = [&](qsizetype i, QChar close) {
        for (++i; i < n; ++i) {
            if (s.at(i) != close) continue;
            if (i + 1 < n && s.at(i + 1) == close) {
                ++i;
                continue;
            }
            return i;
        }
        open = true;
        return n;
    };
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = s.at(i);
        if (c == u'\'') {
            const qsizetype end = closing(i, u'\'');
            out.append(s.mid(i, end - i + 1));
            i = end;
        } else if (c == u'"' || c == u'[') {
            i = closing(i, c == u'"' ? QChar(u'"') : QChar(u']'));
        } else if (c == u'-' && i + 1 < n && s.at(i + 1) == u'-') {
            while (i < n && s.at(i) != u'\n') ++i;
        } else if (c == u'/' && i + 1 < n && s.at(i + 1) == u'*') {
            int depth = 0;
            while (i < n) {
                if (s.at(i) == u'/' && i + 1 < n && s.at(i + 1) == u'*') {
                    ++depth;
                    i += 2;
                } else if (s.at(i) == u'*' && i + 1 < n && s.at(i + 1) == u'/') {
                    i += 2;
                    if (--depth == 0) break;
                } else {
                    ++i;
                }
            }
            --i;
        }
    }
    return out;
}

// The parameterized text with each marker (outside literals, quoted names and
// comments: $n, not inside a word, or ?) replaced by its value written as a literal.
QString Substituted(const QString& text, const QVariantList& values, bool& bad) {
    QString out;
    const qsizetype n = text.size();
    qsizetype next = 0;
    auto copyQuoted = [&](qsizetype& i, QChar close) {
        out += text.at(i);
        for (++i; i < n; ++i) {
            out += text.at(i);
            if (text.at(i) == close) {
                if (i + 1 < n && text.at(i + 1) == close) {
                    out += text.at(++i);
                    continue;
                }
                return;
            }
        }
    };
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = text.at(i);
        if (c == u'\'' || c == u'"' || c == u'[') {
            copyQuoted(i, c == u'[' ? QChar(u']') : c);
        } else if (c == u'-' && i + 1 < n && text.at(i + 1) == u'-') {
            while (i < n && text.at(i) != u'\n') out += text.at(i++);
            if (i < n) out += text.at(i);
        } else if (c == u'/' && i + 1 < n && text.at(i + 1) == u'*') {
            int depth = 0;
            while (i < n) {
                if (text.at(i) == u'/' && i + 1 < n && text.at(i + 1) == u'*') {
                    ++depth;
                    out += text.mid(i, 2);
                    i += 2;
                } else if (text.at(i) == u'*' && i + 1 < n && text.at(i + 1) == u'/') {
                    out += text.mid(i, 2);
                    i += 2;
                    if (--depth == 0) break;
                } else {
                    out += text.at(i++);
                }
            }
            --i;
        } else if (c == u'?') {
            // SQLite's markers, numbered from the left.
            if (next >= values.size()) {
                bad = true;
                return out;
            }
            const QVariant& v = values.at(next++);
            out += v.typeId() == QMetaType::QString
                       ? QStringLiteral("'") +
                             v.toString().replace(QStringLiteral("'"), QStringLiteral("''")) +
                             QStringLiteral("'")
                       : QString::number(v.toLongLong());
        } else if (c == u'$' && (i == 0 || !(text.at(i - 1).isLetterOrNumber() || text.at(i - 1) == u'_' ||
                                             text.at(i - 1) == u'@' || text.at(i - 1) == u'#' ||
                                             text.at(i - 1) == u'$'))) {
            qsizetype j = i + 1;
            while (j < n && text.at(j).isDigit()) ++j;
            const int k = text.mid(i + 1, j - i - 1).toInt();
            if (k < 1 || k > values.size()) {
                bad = true;
                return out;
            }
            const QVariant& v = values.at(k - 1);
            out += v.typeId() == QMetaType::QString
                       ? QStringLiteral("'") +
                             v.toString().replace(QStringLiteral("'"), QStringLiteral("''")) +
                             QStringLiteral("'")
                       : QString::number(v.toLongLong());
            i = j - 1;
        } else {
            out += c;
        }
    }
    return out;
}

// Putting the values back in place of the markers gives the rewritten text exactly,
// for both dialects.
void CheckParameters(const QString& sql) {
    const auto pg = zarvik::db::RewriteTSqlWithParameters(sql, zarvik::db::kPgDialect);
    const QString plain = RewriteTSql(sql, zarvik::db::kPgDialect);
    if (pg.values.isEmpty()) {
        FUZZ_CHECK(pg.text == plain, "input:  %s", qPrintable(sql));
        return;
    }
    bool bad = false;
    const QString back = Substituted(pg.text, pg.values, bad);
    FUZZ_CHECK(!bad && back == plain, "input:  %s\nparameterized: %s\nback: %s", qPrintable(sql),
               qPrintable(pg.text), qPrintable(back));
    const auto lite = zarvik::db::RewriteTSqlWithParameters(sql, zarvik::db::kSqliteDialect);
    FUZZ_CHECK(lite.values == pg.values, "input:  %s", qPrintable(sql));
    const QString liteBack = Substituted(lite.text, lite.values, bad);
    FUZZ_CHECK(!bad && liteBack == RewriteTSql(sql, zarvik::db::kSqliteDialect),
               "input:  %s\nparameterized: %s", qPrintable(sql), qPrintable(lite.text));
}

void CheckLiterals(const QString& sql) {
    FUZZ_CHECK(RewriteTSql(sql, zarvik::db::kSqlServerDialect) == sql);
    bool open = false;
    const QStringList before = Literals(sql, open);
    if (open) return;  // nothing can be told apart from an unterminated literal
    for (const Dialect* dialect : {&zarvik::db::kSqliteDialect, &zarvik::db::kPgDialect}) {
        const QString rewritten = RewriteTSql(sql, *dialect);
        bool open2 = false;
        const QStringList after = Literals(rewritten, open2);
        FUZZ_CHECK(!open2 && after == before, "input:  %s\noutput: %s", qPrintable(sql),
                   qPrintable(rewritten));
    }
    CheckParameters(sql);
}

// ---- the round trip on SQLite -------------------------------------------------------

sqlite3* Database() {
    static sqlite3* db = [] {
        sqlite3* handle = nullptr;
        if (sqlite3_open(":memory:", &handle) != SQLITE_OK) std::abort();
        const char* setup =
            "CREATE TABLE T (id INTEGER PRIMARY KEY, name TEXT, grp INTEGER);"
            "INSERT INTO T VALUES (1,'a',1),(2,'b',1),(3,'O''Brien',2),(4,'N''x',2),(5,'--',3),"
            "(6,';',3),(7,'TOP 1',1),(8,'',4),(9,'a''',2),(10,'\\',5),(11,'ü',1),(12,'a',2);";
        if (sqlite3_exec(handle, setup, nullptr, nullptr, nullptr) != SQLITE_OK) std::abort();
        return handle;
    }();
    return db;
}

// The rows as text, or the engine's message prefixed by "error: ".
QString Run(const QString& sql) {
    sqlite3_stmt* statement = nullptr;
    const QByteArray utf8 = sql.toUtf8();
    const char* tail = nullptr;
    if (sqlite3_prepare_v2(Database(), utf8.constData(), int(utf8.size()), &statement, &tail) != SQLITE_OK)
        return QStringLiteral("error: ") + QString::fromUtf8(sqlite3_errmsg(Database()));
    QString rows;
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        for (int c = 0; c < sqlite3_column_count(statement); ++c)
            rows +=
                QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(statement, c))) + u'|';
        rows += u'\n';
    }
    if (rc != SQLITE_DONE) rows = QStringLiteral("error: ") + QString::fromUtf8(sqlite3_errmsg(Database()));
    sqlite3_finalize(statement);
    return rows;
}

struct Pair {
    QString tsql;    // with TOP and N'...'
    QString native;  // with LIMIT and '...'
};

class Generator {
public:
    explicit Generator(FuzzedDataProvider& in) : m_in(in), m_lower(in.ConsumeBool()) {}

    Pair Select(int depth) {
        const int top = m_in.ConsumeIntegralInRange(0, 6);
        const bool parenthesised = m_in.ConsumeBool();
        const bool distinct = m_in.ConsumeBool();
        Pair p;
        p.tsql = K("SELECT ") + (distinct ? K("DISTINCT ") : QString()) + K("TOP ") +
                 (parenthesised ? QStringLiteral("(%1) ") : QStringLiteral("%1 ")).arg(top);
        p.native = QStringLiteral("SELECT ") + (distinct ? QStringLiteral("DISTINCT ") : QString());
        const QString columns = distinct ? QStringLiteral("grp") : QStringLiteral("id, name, grp");
        Add(p, columns + u' ');
        Add(p, K("FROM "));
        if (depth < 2 && m_in.ConsumeBool()) {
            const Pair inner = Select(depth + 1, QStringLiteral("id, name, grp"));
            p.tsql += u'(' + inner.tsql + QStringLiteral(") X ");
            p.native += u'(' + inner.native + QStringLiteral(") X ");
        } else {
            Add(p, QStringLiteral("T "));
        }
        Where(p, depth);
        if (distinct) {
            if (m_in.ConsumeBool()) Add(p, K("ORDER BY ") + QStringLiteral("grp "));
        } else {
            switch (m_in.ConsumeIntegralInRange(0, 2)) {
                case 1:
                    Add(p, K("ORDER BY ") + QStringLiteral("id "));
                    break;
                case 2:
                    Add(p, K("ORDER BY ") + QStringLiteral("name DESC, id "));
                    break;
                default:
                    break;
            }
        }
        p.native += QStringLiteral("LIMIT %1").arg(top);
        return p;
    }

    // A derived table or IN list selecting given columns.
    Pair Select(int depth, const QString& columns) {
        const int top = m_in.ConsumeIntegralInRange(0, 12);
        Pair p;
        p.tsql = K("SELECT TOP ") + QString::number(top) + u' ';
        p.native = QStringLiteral("SELECT ");
        Add(p, columns + u' ' + K("FROM ") + QStringLiteral("T "));
        Where(p, depth);
        Add(p,
            K("ORDER BY ") + (m_in.ConsumeBool() ? QStringLiteral("id DESC") : QStringLiteral("name, id")));
        p.native += QStringLiteral(" LIMIT %1").arg(top);
        return p;
    }

    QString Ending() {
        switch (m_in.ConsumeIntegralInRange(0, 3)) {
            case 1:
                return QStringLiteral(" -- TOP 9 N'x'");
            case 2:
                return QStringLiteral(";");
            case 3:
                return QStringLiteral(" /* N'y' TOP 2 */ ");
            default:
                return {};
        }
    }

private:
    QString K(const char* keyword) const {
        const QString k = QString::fromLatin1(keyword);
        return m_lower ? k.toLower() : k;
    }
    static void Add(Pair& p, const QString& text) {
        p.tsql += text;
        p.native += text;
    }
    QString Literal() {
        QString text = QString::fromUtf8(m_in.ConsumeRandomLengthString(12));
        text.remove(QChar(0));  // SQLite ends the statement at a NUL
        text.replace(u'\'', QStringLiteral("''"));
        return u'\'' + text + u'\'';
    }
    void Where(Pair& p, int depth) {
        switch (m_in.ConsumeIntegralInRange(0, 4)) {
            case 1: {
                const QString literal = Literal();
                p.tsql += K("WHERE ") + QStringLiteral("name = N") + literal + u' ';
                p.native += QStringLiteral("WHERE name = ") + literal + u' ';
                break;
            }
            case 2: {
                const QString literal = Literal();
                p.tsql +=
                    K("WHERE ") + QStringLiteral("name <> N") + literal + QStringLiteral(" AND grp < 4 ");
                p.native += QStringLiteral("WHERE name <> ") + literal + QStringLiteral(" AND grp < 4 ");
                break;
            }
            case 3:
                if (depth < 2) {
                    const Pair inner = Select(depth + 1, QStringLiteral("grp"));
                    p.tsql += K("WHERE ") + QStringLiteral("grp IN (") + inner.tsql + QStringLiteral(") ");
                    p.native += QStringLiteral("WHERE grp IN (") + inner.native + QStringLiteral(") ");
                }
                break;
            case 4:
                Add(p, K("WHERE ") + QStringLiteral("name = '") + QStringLiteral("TOP 1") +
                           QStringLiteral("' "));
                break;
            default:
                break;
        }
    }

    FuzzedDataProvider& m_in;
    const bool m_lower;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CheckLiterals(QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size)));

    FuzzedDataProvider in(data, size);
    Generator generator(in);
    Pair statement = generator.Select(0);
    const QString ending = generator.Ending();
    statement.tsql += ending;
    statement.native += ending;
    CheckLiterals(statement.tsql);
    const QString rewritten = RewriteTSql(statement.tsql, zarvik::db::kSqliteDialect);
    const QString expected = Run(statement.native);
    FUZZ_CHECK(!expected.startsWith(QStringLiteral("error: ")), "native form fails: %s\n%s",
               qPrintable(statement.native), qPrintable(expected));
    const QString got = Run(rewritten);
    FUZZ_CHECK(got == expected, "T-SQL:     %s\nrewritten: %s\nnative:    %s\ngot:\n%s\nexpected:\n%s",
               qPrintable(statement.tsql), qPrintable(rewritten), qPrintable(statement.native),
               qPrintable(got), qPrintable(expected));
    return 0;
}
