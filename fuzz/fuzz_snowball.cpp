// The tokenizer snowball and lumora_match on arbitrary bytes. Properties:
// - tokenizer, every language, diacritics kept or removed: each token lies within
//   the text, is not empty, is at most 3 bytes for each byte of the text it came
//   from (case folding and invalid UTF-8 grow a character, a stem never by more),
//   and a second run gives the same tokens;
// - lumora_match: FTS5 accepts its query (no error on MATCH), within the promised
//   bounds of words and length, with corrections from an index file's terms too;
// - the check of a tokenize= setting: a sentence that fits its buffer, or none.
#include <libstemmer.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/check.h"
#include "snowball/snowball.h"

namespace {

// In a file: lumora_match(text, 't') corrects against the vocabulary of an index file.
sqlite3* Database() {
    static sqlite3* db = [] {
        static const std::string file = "/tmp/lumora-fuzz-snowball-" + std::to_string(getpid()) + ".db";
        std::remove(file.c_str());
        sqlite3* handle = nullptr;
        if (sqlite3_open(file.c_str(), &handle) != SQLITE_OK || lumora_snowball_register(handle) != SQLITE_OK)
            std::abort();
        std::atexit([] { std::remove(file.c_str()); });
        const char* setup =
            "CREATE VIRTUAL TABLE t USING fts5(b, tokenize = 'snowball english french');"
            "INSERT INTO t VALUES ('the ocean'), ('e-mail and l''eau'), ('c++ at 50%'), ('spreadsheets of "
            "information'), ('é àccentué ĳssel Ωmega');";
        if (sqlite3_exec(handle, setup, nullptr, nullptr, nullptr) != SQLITE_OK) std::abort();
        return handle;
    }();
    return db;
}

fts5_api* Api() {
    static fts5_api* api = [] {
        fts5_api* found = nullptr;
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(Database(), "SELECT fts5(?1)", -1, &stmt, nullptr);
        sqlite3_bind_pointer(stmt, 1, static_cast<void*>(&found), "fts5_api_ptr", nullptr);
        sqlite3_step(stmt);
        sqlite3_finalize(stmt);
        if (!found) std::abort();
        return found;
    }();
    return api;
}

struct Token {
    std::string text;
    int start, end;
    bool operator==(const Token&) const = default;
};

struct Tokenizer {
    fts5_tokenizer methods;
    Fts5Tokenizer* instance;
};

// One instance per language and diacritic setting, made once as FTS5 would.
const Tokenizer& Instance(std::size_t choice) {
    static std::vector<Tokenizer> made = [] {
        std::vector<Tokenizer> all;
        const char** languages = sb_stemmer_list();
        for (int i = 0; languages[i]; ++i)
            for (const char* remove : {"0", "2"}) {
                Tokenizer t{};
                void* data = nullptr;
                if (Api()->xFindTokenizer(Api(), "snowball", &data, &t.methods) != SQLITE_OK) std::abort();
                const char* args[] = {languages[i], "unicode61", "remove_diacritics", remove};
                if (t.methods.xCreate(data, args, 4, &t.instance) != SQLITE_OK) std::abort();
                all.push_back(t);
            }
        return all;
    }();
    return made[choice % made.size()];
}

std::vector<Token> Tokens(const Tokenizer& t, const char* text, int size) {
    std::vector<Token> out;
    auto add = [](void* context, int, const char* token, int length, int start, int end) {
        static_cast<std::vector<Token>*>(context)->push_back(
            {std::string(token, std::size_t(length)), start, end});
        return SQLITE_OK;
    };
    FUZZ_CHECK(t.methods.xTokenize(t.instance, &out, FTS5_TOKENIZE_DOCUMENT, text, size, add) == SQLITE_OK);
    return out;
}

void CheckTokens(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return;
    const Tokenizer& t = Instance(data[0]);
    const char* text = reinterpret_cast<const char*>(data + 1);
    const int n = int(size - 1);
    const std::vector<Token> first = Tokens(t, text, n);
    for (const Token& token : first) {
        FUZZ_CHECK(0 <= token.start && token.start < token.end && token.end <= n, "%d..%d of %d", token.start,
                   token.end, n);
        FUZZ_CHECK(!token.text.empty() && token.text.size() <= 3 * std::size_t(token.end - token.start),
                   "token of %zu bytes from %d", token.text.size(), token.end - token.start);
    }
    FUZZ_CHECK(Tokens(t, text, n) == first);
}

void CheckMatch(const std::uint8_t* data, std::size_t size) {
    char* query = lumora_match_query(reinterpret_cast<const char*>(data), int(size));
    FUZZ_CHECK(query != nullptr);
    const std::size_t length = std::strlen(query);
    // The copies of the last word and their ORs add at most three times the text.
    FUZZ_CHECK(length <= 5 * 1000 + 3 * 32 + 32, "%zu bytes", length);
    sqlite3_stmt* stmt = nullptr;
    FUZZ_CHECK(sqlite3_prepare_v2(Database(), "SELECT count(*) FROM t WHERE t MATCH ?1", -1, &stmt,
                                  nullptr) == SQLITE_OK);
    sqlite3_bind_text(stmt, 1, query, -1, SQLITE_STATIC);
    const int rc = sqlite3_step(stmt);
    FUZZ_CHECK(rc == SQLITE_ROW, "query %s: %s", query, sqlite3_errmsg(Database()));
    sqlite3_finalize(stmt);
    sqlite3_free(query);
    // With corrections from the index's terms: a query FTS5 accepts all the same.
    FUZZ_CHECK(sqlite3_prepare_v2(Database(), "SELECT count(*) FROM t WHERE t MATCH lumora_match(?1, 't')",
                                  -1, &stmt, nullptr) == SQLITE_OK);
    sqlite3_bind_text(stmt, 1, reinterpret_cast<const char*>(data), int(size), SQLITE_STATIC);
    const int corrected = sqlite3_step(stmt);
    FUZZ_CHECK(corrected == SQLITE_ROW, "corrected: %s", sqlite3_errmsg(Database()));
    sqlite3_finalize(stmt);
}

void CheckSetting(const std::uint8_t* data, std::size_t size) {
    const std::string setting = "snowball " + std::string(reinterpret_cast<const char*>(data), size);
    char sentence[256];
    std::memset(sentence, 'x', sizeof sentence);
    const int problem = lumora_snowball_setting_problem(setting.c_str(), sentence, sizeof sentence);
    FUZZ_CHECK(problem == 0 || (problem == 1 && std::memchr(sentence, 0, sizeof sentence)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CheckSetting(data, size);
    CheckTokens(data, size);
    CheckMatch(data, size);
    return 0;
}
