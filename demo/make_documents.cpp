// Fills the DOCUMENT table of the demo database with a few thousand documents of
// real English: entries of the GCIDE dictionary (the Debian package dict-gcide),
// spread evenly over the alphabet. Without the dictionary it writes made-up English
// sentences instead, so that the demo always has something to index.
//
// lumora_make_documents APP_DB [GCIDE_INDEX GCIDE_DICT_DZ]
#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "tools/dictd.h"

namespace {

constexpr int kDocuments = 4000;
// Each document belongs to one of the lowest nodes of demo/catalog.sql's catalogs, in
// turn, so that a reader can keep results to the nodes a user may see.
constexpr int kNodes[] = {111, 112, 113, 121, 122, 131, 211, 212, 221};

struct Document {
    std::string title;
    std::string body;
};

// One line of running text: no line breaks, no cross-reference braces, no source tags.
std::string Flatten(const std::string& entry) {
    std::string out;
    out.reserve(entry.size());
    bool space = false;
    for (std::size_t i = 0; i < entry.size(); ++i) {
        const char c = entry[i];
        if (c == '[' && (entry.compare(i, 14, "[1913 Webster]") == 0 ||
                         entry.compare(i, 9, "[WordNet ") == 0 || entry.compare(i, 5, "[PJC]") == 0)) {
            i = entry.find(']', i);
            if (i == std::string::npos) break;
            continue;
        }
        if (c == '{' || c == '}' || c == '\\') continue;
        if (std::isspace(static_cast<unsigned char>(c))) {
            space = !out.empty();
            continue;
        }
        if (space) out += ' ';
        space = false;
        out += c;
    }
    return out;
}

bool ReadDictionary(const std::string& indexPath, const std::string& dictPath, std::vector<Document>& docs) {
    // offset -> (length, headword); one entry may be listed under several headwords.
    std::map<std::int64_t, dictd::Entry> entries;
    // Headwords that do not start with a letter are the 00-database entries.
    if (!dictd::ReadIndex(indexPath, [](const std::string& head) { return std::isalpha(static_cast<unsigned char>(head[0])) != 0; },
                          entries))
        return false;
    if (entries.size() < kDocuments) return false;

    // Every n-th entry, so that the documents cover the whole alphabet.
    std::vector<std::pair<std::int64_t, dictd::Entry>> chosen;
    const double step = double(entries.size()) / kDocuments;
    std::size_t i = 0, next = 0;
    for (const auto& e : entries) {
        if (i++ == next && chosen.size() < kDocuments) {
            chosen.push_back(e);
            next = std::size_t(double(chosen.size()) * step);
        }
    }

    FILE* dict = dictd::OpenText(dictPath);
    if (!dict) return false;
    std::int64_t position = 0;
    std::vector<char> buffer(1 << 16);
    bool ok = true;
    for (const auto& [offset, entry] : chosen) {
        while (position < offset) {
            const std::size_t want =
                std::size_t(std::min<std::int64_t>(offset - position, std::int64_t(buffer.size())));
            const std::size_t got = std::fread(buffer.data(), 1, want, dict);
            if (got == 0) break;
            position += std::int64_t(got);
        }
        std::string text(std::size_t(entry.length), '\0');
        const std::size_t got = position == offset ? std::fread(text.data(), 1, text.size(), dict) : 0;
        if (got != text.size()) {
            ok = false;
            break;
        }
        position += std::int64_t(got);
        docs.push_back({entry.headword, Flatten(text)});
    }
    if (pclose(dict) != 0) ok = false;
    if (!ok) docs.clear();
    return ok && !docs.empty();
}

// Made-up but readable English, the same on every run.
void MakeUpDocuments(std::vector<Document>& docs) {
    static const char* subjects[] = {"The old harbour",       "A quiet village",   "The river",
                                     "Every traveller",       "The northern road", "A small garden",
                                     "The lighthouse keeper", "The market"};
    static const char* verbs[] = {"lies beside",       "looks over",      "runs past",  "waits near",
                                  "is running toward", "was built above", "leads into", "turns away from"};
    static const char* objects[] = {"the grey hills", "a field of barley", "the stone bridge",
                                    "the winter sea", "an empty church",   "the morning fog",
                                    "a row of elms",  "the silver lake"};
    std::uint32_t seed = 12345;
    const auto pick = [&](int n) {
        seed = seed * 1103515245u + 12345u;
        return int((seed >> 16) % unsigned(n));
    };
    for (int d = 1; d <= kDocuments; ++d) {
        Document doc;
        doc.title = std::string(subjects[pick(8)]) + " " + verbs[pick(8)] + " " + objects[pick(8)];
        for (int s = 0; s < 6; ++s)
            doc.body += std::string(subjects[pick(8)]) + " " + verbs[pick(8)] + " " + objects[pick(8)] + ". ";
        docs.push_back(std::move(doc));
    }
}

bool Exec(sqlite3* db, const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    std::fprintf(stderr, "lumora_make_documents: %s\n", message ? message : sqlite3_errmsg(db));
    sqlite3_free(message);
    return false;
}

std::string Slug(const std::string& title) {
    std::string s;
    for (char c : title) s += std::isalnum(static_cast<unsigned char>(c)) ? char(std::tolower(c)) : '-';
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 4) {
        std::fprintf(stderr, "usage: lumora_make_documents APP_DB [GCIDE_INDEX GCIDE_DICT_DZ]\n");
        return 2;
    }
    sqlite3* db = nullptr;
    if (sqlite3_open(argv[1], &db) != SQLITE_OK) {
        std::fprintf(stderr, "lumora_make_documents: cannot open %s: %s\n", argv[1], sqlite3_errmsg(db));
        return 1;
    }
    // The catalog tables of the same file may be written at the same time.
    sqlite3_busy_timeout(db, 60000);

    // Nothing to do when an earlier run left the table complete.
    sqlite3_stmt* check = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM DOCUMENT WHERE URL IS NOT NULL AND NODEID IS NOT NULL", -1, &check, nullptr) ==
            SQLITE_OK &&
        sqlite3_step(check) == SQLITE_ROW && sqlite3_column_int(check, 0) == kDocuments) {
        sqlite3_finalize(check);
        sqlite3_close(db);
        return 0;
    }
    sqlite3_finalize(check);

    std::vector<Document> docs;
    const char* origin = "the GCIDE dictionary";
    if (argc != 4 || !ReadDictionary(argv[2], argv[3], docs)) {
        origin = "made-up sentences (dict-gcide is not installed)";
        MakeUpDocuments(docs);
    }

    if (!Exec(db, "BEGIN IMMEDIATE") || !Exec(db, "DROP TABLE IF EXISTS DOCUMENT") ||
        !Exec(db, "CREATE TABLE DOCUMENT(DOCID INTEGER PRIMARY KEY, TITLE TEXT, BODY TEXT, URL TEXT, NODEID INTEGER)")) {
        sqlite3_close(db);
        return 1;
    }
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO DOCUMENT(DOCID, TITLE, BODY, URL, NODEID) VALUES(?, ?, ?, ?, ?)", -1, &insert,
                       nullptr);
    int id = 0;
    for (const Document& d : docs) {
        ++id;
        const std::string url = "https://dictionary.example.org/" + std::to_string(id) + "/" + Slug(d.title);
        sqlite3_bind_int(insert, 1, id);
        sqlite3_bind_text(insert, 2, d.title.c_str(), int(d.title.size()), SQLITE_STATIC);
        sqlite3_bind_text(insert, 3, d.body.c_str(), int(d.body.size()), SQLITE_STATIC);
        sqlite3_bind_text(insert, 4, url.c_str(), int(url.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int(insert, 5, kNodes[id % std::size(kNodes)]);
        if (sqlite3_step(insert) != SQLITE_DONE) {
            std::fprintf(stderr, "lumora_make_documents: %s\n", sqlite3_errmsg(db));
            sqlite3_finalize(insert);
            sqlite3_close(db);
            return 1;
        }
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    if (!Exec(db, "COMMIT")) {
        sqlite3_close(db);
        return 1;
    }
    sqlite3_close(db);
    std::printf("lumora_make_documents: %d documents from %s in %s\n", id, origin, argv[1]);
    return 0;
}
