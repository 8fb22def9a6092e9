// The check of a changes build that costs what changed. FTS5's integrity-check reads
// every document of the index; this one tokenizes only the documents the build wrote
// or removed and asks the index, one rowid and one term at a time, whether it finds
// them: a lookup seeks into the term's list of documents instead of reading it.
#include "zarvik/index/documentcheck.h"

#include <QFile>
#include <QHash>
#include <QSet>
#include <QStringList>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "snowball/snowball.h"

namespace zarvik::index {
namespace {

// term -> the words of the document it was read from
using Terms = std::map<std::string, std::string>;
using Row = std::vector<std::string>;

// FTS5's own reading of the words of a tokenize option: bare or quoted with ', ", `
// or [ ], a doubled closing quote inside standing for itself.
std::vector<QByteArray> TokenizerWords(const QByteArray& setting) {
    std::vector<QByteArray> words;
    qsizetype i = 0;
    while (i < setting.size()) {
        if (setting[i] == ' ' || setting[i] == '\t' || setting[i] == '\n') {
            ++i;
            continue;
        }
        const char open = setting[i];
        const char close = open == '[' ? ']' : open;
        QByteArray word;
        if (open == '\'' || open == '"' || open == '`' || open == '[') {
            for (++i; i < setting.size(); ++i) {
                if (setting[i] != close) {
                    word += setting[i];
                } else if (close != ']' && i + 1 < setting.size() && setting[i + 1] == close) {
                    word += setting[++i];
                } else {
                    ++i;
                    break;
                }
            }
        } else {
            while (i < setting.size() && setting[i] != ' ' && setting[i] != '\t' && setting[i] != '\n')
                word += setting[i++];
        }
        words.push_back(word);
    }
    return words;
}

struct TokenContext {
    const std::string* text;
    Terms* terms;
};

int OnToken(void* context, int flags, const char* token, int size, int start, int end) {
    // A colocated token is a second term at the place of the one before it.
    if ((flags & FTS5_TOKEN_COLOCATED) || end <= start) return SQLITE_OK;
    auto* c = static_cast<TokenContext*>(context);
    c->terms->emplace(std::string(token, std::size_t(size)),
                      c->text->substr(std::size_t(start), std::size_t(end - start)));
    return SQLITE_OK;
}

class Checker {
public:
    explicit Checker(sqlite3* db) : m_db(db) {}
    ~Checker() {
        for (sqlite3_stmt* s : m_found) sqlite3_finalize(s);
        sqlite3_finalize(m_newRow);
        sqlite3_finalize(m_oldRow);
        if (m_tokenizer) m_api.xDelete(m_tokenizer);
        sqlite3_close(m_live);
    }
    Checker(const Checker&) = delete;
    Checker& operator=(const Checker&) = delete;

    QString Open(const QString& live);
    QString Check(std::int64_t rowid, bool written, bool removed);
    std::int64_t Lookups() const { return m_lookups; }

private:
    QString OpenTokenizer();
    QString Error(sqlite3* db) const { return QString::fromUtf8(sqlite3_errmsg(db)); }
    std::optional<Row> Read(sqlite3_stmt* stmt, std::int64_t rowid, QString& error);
    Terms Tokenize(const std::string& text);
    // 1 found, 0 not, -1 an error of SQLite.
    int Found(std::size_t column, const std::string& words, std::int64_t rowid);
    QString CheckColumn(std::size_t c, const Row* now, const Row* old, std::int64_t rowid);

    sqlite3* m_db;
    sqlite3* m_live = nullptr;
    fts5_tokenizer m_api{};
    Fts5Tokenizer* m_tokenizer = nullptr;
    QStringList m_columns;
    std::vector<bool> m_indexed;
    std::vector<sqlite3_stmt*> m_found;
    sqlite3_stmt* m_newRow = nullptr;
    sqlite3_stmt* m_oldRow = nullptr;
    QString m_key;
    std::int64_t m_lookups = 0;
};

QString Checker::Open(const QString& live) {
    lumora_snowball_register(m_db);
    if (sqlite3_open_v2(QFile::encodeName(live).constData(), &m_live, SQLITE_OPEN_READONLY, nullptr) !=
        SQLITE_OK)
        return QStringLiteral("the live index: ") + Error(m_live);
    lumora_snowball_register(m_live);
    QSet<QString> stored{QStringLiteral("key")};
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(m_db, "SELECT value FROM index_info WHERE name = 'unindexed'", -1, &stmt,
                           nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        for (const QString& s : QString::fromUtf8(text ? text : "").split(QLatin1Char(',')))
            stored << s.trimmed().toLower();
    }
    sqlite3_finalize(stmt);
    if (sqlite3_prepare_v2(m_db, "SELECT name FROM pragma_table_info('documents')", -1, &stmt, nullptr) !=
        SQLITE_OK)
        return Error(m_db);
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        m_columns << QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
        m_indexed.push_back(!stored.contains(m_columns.last().toLower()));
        const QString name = QString(m_columns.last()).replace(QLatin1Char('"'), QStringLiteral("\"\""));
        const QByteArray sql =
            QStringLiteral("SELECT 1 FROM documents WHERE \"%1\" MATCH ?1 AND rowid = ?2").arg(name).toUtf8();
        m_found.push_back(nullptr);
        if (m_indexed.back() &&
            sqlite3_prepare_v2(m_db, sql.constData(), -1, &m_found.back(), nullptr) != SQLITE_OK)
            return Error(m_db);
    }
    sqlite3_finalize(stmt);
    if (sqlite3_prepare_v2(m_db, "SELECT * FROM documents WHERE rowid = ?", -1, &m_newRow, nullptr) !=
        SQLITE_OK)
        return Error(m_db);
    if (sqlite3_prepare_v2(m_live, "SELECT * FROM documents WHERE rowid = ?", -1, &m_oldRow, nullptr) !=
        SQLITE_OK)
        return QStringLiteral("the live index: ") + Error(m_live);
    return OpenTokenizer();
}

// The tokenizer the index was built with, through FTS5's own interface.
QString Checker::OpenTokenizer() {
    fts5_api* fts5 = nullptr;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(m_db, "SELECT fts5(?1)", -1, &stmt, nullptr) != SQLITE_OK) return Error(m_db);
    sqlite3_bind_pointer(stmt, 1, reinterpret_cast<void*>(&fts5), "fts5_api_ptr", nullptr);
    sqlite3_step(stmt);
    sqlite3_finalize(stmt);
    QByteArray setting;
    if (sqlite3_prepare_v2(m_db, "SELECT value FROM index_info WHERE name = 'tokenizer'", -1, &stmt,
                           nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW)
        setting = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    sqlite3_finalize(stmt);
    std::vector<QByteArray> words = TokenizerWords(setting);
    if (!fts5 || words.empty()) return QStringLiteral("no tokenizer in index_info");
    std::vector<const char*> args;
    for (std::size_t i = 1; i < words.size(); ++i) args.push_back(words[i].constData());
    void* user = nullptr;
    if (fts5->xFindTokenizer(fts5, words[0].constData(), &user, &m_api) != SQLITE_OK ||
        m_api.xCreate(user, args.data(), int(args.size()), &m_tokenizer) != SQLITE_OK) {
        m_tokenizer = nullptr;
        return QStringLiteral("the tokenizer \"%1\" cannot be opened").arg(QString::fromUtf8(setting));
    }
    return {};
}

std::optional<Row> Checker::Read(sqlite3_stmt* stmt, std::int64_t rowid, QString& error) {
    sqlite3_reset(stmt);
    sqlite3_bind_int64(stmt, 1, rowid);
    const int rc = sqlite3_step(stmt);
    if (rc != SQLITE_ROW) {
        if (rc != SQLITE_DONE) error = Error(sqlite3_db_handle(stmt));
        return std::nullopt;
    }
    Row row;
    for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, c));
        row.emplace_back(text ? text : "", std::size_t(sqlite3_column_bytes(stmt, c)));
    }
    return row;
}

Terms Checker::Tokenize(const std::string& text) {
    Terms terms;
    TokenContext context{&text, &terms};
    m_api.xTokenize(m_tokenizer, &context, FTS5_TOKENIZE_DOCUMENT, text.data(), int(text.size()), &OnToken);
    return terms;
}

int Checker::Found(std::size_t column, const std::string& words, std::int64_t rowid) {
    ++m_lookups;
    std::string phrase = "\"";
    for (const char ch : words) phrase += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    phrase += '"';
    sqlite3_stmt* stmt = m_found[column];
    sqlite3_reset(stmt);
    sqlite3_bind_text(stmt, 1, phrase.data(), int(phrase.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(stmt, 2, rowid);
    const int rc = sqlite3_step(stmt);
    return rc == SQLITE_ROW ? 1 : rc == SQLITE_DONE ? 0 : -1;
}

QString Checker::Check(std::int64_t rowid, bool written, bool removed) {
    QString error;
    const std::optional<Row> now = Read(m_newRow, rowid, error);
    const std::optional<Row> old = removed ? Read(m_oldRow, rowid, error) : std::nullopt;
    if (!error.isEmpty()) return error;
    const Row* any = now ? &*now : old ? &*old : nullptr;
    m_key = any && !any->empty() ? QString::fromUtf8(any->front().substr(0, 80)) : QString::number(rowid);
    if (written != now.has_value())
        return QStringLiteral("the document %1 %2")
            .arg(m_key, written ? QStringLiteral("it wrote is missing")
                                : QStringLiteral("it deleted is still there"));
    for (std::size_t c = 0; c < m_found.size(); ++c) {
        if (!m_indexed[c]) continue;
        if (QString why = CheckColumn(c, now ? &*now : nullptr, old ? &*old : nullptr, rowid); !why.isEmpty())
            return why;
    }
    return {};
}

QString Checker::CheckColumn(std::size_t c, const Row* now, const Row* old, std::int64_t rowid) {
    const Terms terms = now && c < now->size() ? Tokenize((*now)[c]) : Terms();
    for (const auto& [term, words] : terms) {
        const int found = Found(c, words, rowid);
        if (found < 0) return Error(m_db);
        if (!found)
            return QStringLiteral("the document %1 is not found under \"%2\" in its column %3")
                .arg(m_key, QString::fromStdString(words), m_columns[qsizetype(c)]);
    }
    if (!old || c >= old->size()) return {};
    for (const auto& [term, words] : Tokenize((*old)[c])) {
        if (terms.count(term)) continue;
        const int found = Found(c, words, rowid);
        if (found < 0) return Error(m_db);
        if (found)
            return QStringLiteral(
                       "the document %1 is still found under \"%2\" in its column %3, which it "
                       "no longer holds")
                .arg(m_key, QString::fromStdString(words), m_columns[qsizetype(c)]);
    }
    return {};
}

}  // namespace

QString CheckChangedDocuments(sqlite3* db, const ChangedDocuments& changed, int part, int parts,
                              std::int64_t& lookups) {
    Checker checker(db);
    if (QString why = checker.Open(changed.live); !why.isEmpty()) return why;
    const std::set<std::int64_t> written(changed.written.begin(), changed.written.end());
    const std::set<std::int64_t> removed(changed.removed.begin(), changed.removed.end());
    std::set<std::int64_t> all = written;
    all.insert(removed.begin(), removed.end());
    int i = 0;
    for (const std::int64_t rowid : all) {
        if (i++ % parts != part) continue;
        if (QString why = checker.Check(rowid, written.count(rowid) > 0, removed.count(rowid) > 0);
            !why.isEmpty())
            return why;
    }
    lookups = checker.Lookups();
    return {};
}

}  // namespace zarvik::index
