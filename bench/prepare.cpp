// Prepares the benchmark data: the GCIDE entries as DOCUMENT(DOCID, TITLE, BODY), and
// seeded catalogs, assignments and users, each written into a SQLite file and as
// tab-separated files that psql's \copy loads into PostgreSQL.
//
// lumora_bench_prepare documents GCIDE_INDEX GCIDE_DICT_DZ OUT.db OUT.tsv REPEAT [LIMIT]
// lumora_bench_prepare catalogs OUT.db OUT_DIR USERS SEED
#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tools/dictd.h"

namespace {

[[noreturn]] void Die(const std::string& why) {
    std::fprintf(stderr, "lumora_bench_prepare: %s\n", why.c_str());
    std::exit(1);
}

void Exec(sqlite3* db, const std::string& sql) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK)
        Die(std::string(message ? message : sqlite3_errmsg(db)) + " in: " + sql.substr(0, 200));
}

sqlite3* Create(const std::string& path) {
    std::remove(path.c_str());
    std::remove((path + "-wal").c_str());
    std::remove((path + "-shm").c_str());
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) Die("cannot create " + path);
    Exec(db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF");
    return db;
}

// Escapes a value for PostgreSQL's text COPY format.
void PutCopy(FILE* out, const std::string& s) {
    for (char c : s) {
        switch (c) {
            case '\\': std::fputs("\\\\", out); break;
            case '\t': std::fputs("\\t", out); break;
            case '\n': std::fputs("\\n", out); break;
            case '\r': std::fputs("\\r", out); break;
            default: std::fputc(c, out);
        }
    }
}

// The dictionary holds a few Latin-1 bytes among its UTF-8; PostgreSQL accepts only
// valid UTF-8, so a byte that does not start a valid sequence is taken as Latin-1.
std::string ValidUtf8(const std::string& in) {
    std::string out;
    out.reserve(in.size());
    for (std::size_t i = 0; i < in.size();) {
        const auto c = static_cast<unsigned char>(in[i]);
        std::size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        bool ok = n > 0 && i + n <= in.size() && !(n == 2 && c < 0xC2);
        for (std::size_t k = 1; ok && k < n; ++k) ok = (static_cast<unsigned char>(in[i + k]) >> 6) == 0x2;
        if (ok) {
            out.append(in, i, n);
            i += n;
        } else {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
            ++i;
        }
    }
    return out;
}

// The catalog tables the user-node computation reads, with the indexes its queries
// need: the assignments by user and catalog, the nodes by catalog, the children of
// a node, and a user's rows.
const char* kCatalogSchema = R"(
CREATE TABLE CATALOGNODE (NODEID INTEGER NOT NULL PRIMARY KEY, PARENTNODEID INTEGER NULL,
                          CATALOGID INTEGER NOT NULL, NODENAME VARCHAR(200) NOT NULL);
CREATE INDEX IX_CATALOGNODE_PARENT ON CATALOGNODE (PARENTNODEID);
CREATE INDEX IX_CATALOGNODE_CATALOG ON CATALOGNODE (CATALOGID, NODEID);
CREATE TABLE CATALOGNODEBYUSER (USERID VARCHAR(100) NOT NULL, CATALOGID INTEGER NOT NULL,
                                NODEID INTEGER NOT NULL, LEVEL SMALLINT NOT NULL,
                                ISPROFILE INTEGER NOT NULL DEFAULT 0);
CREATE INDEX IX_CATALOGNODEBYUSER_USER ON CATALOGNODEBYUSER (USERID, CATALOGID, LEVEL);
CREATE TABLE USERNODE (USERID VARCHAR(100) NOT NULL, CATALOGID INTEGER NOT NULL, NODEID INTEGER NOT NULL);
CREATE INDEX IX_USERNODE_USER ON USERNODE (USERID);
CREATE TABLE USERNODE_CTE (USERID VARCHAR(100) NOT NULL, CATALOGID INTEGER NOT NULL, NODEID INTEGER NOT NULL);
CREATE INDEX IX_USERNODE_CTE_USER ON USERNODE_CTE (USERID);
)";

int Documents(int argc, char** argv) {
    if (argc < 7) Die("documents GCIDE_INDEX GCIDE_DICT_DZ OUT.db OUT.tsv REPEAT [LIMIT]");
    const int repeat = std::max(1, std::atoi(argv[6]));
    const long limit = argc > 7 ? std::atol(argv[7]) : 0;

    // offset -> (length, first headword): an entry listed under several headwords is
    // one document; the 00-database entries describe the dictionary itself.
    std::map<std::int64_t, dictd::Entry> entries;
    if (!dictd::ReadIndex(argv[2], [](const std::string& head) { return head.rfind("00-database", 0) != 0; }, entries))
        Die(std::string("cannot read ") + argv[2]);

    FILE* dict = dictd::OpenText(argv[3]);
    if (!dict) Die("cannot run gzip");
    std::string text;
    char buffer[1 << 16];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, dict)) > 0;) text.append(buffer, got);
    if (pclose(dict) != 0) Die(std::string("cannot unpack ") + argv[3]);

    struct Entry {
        std::string title, body;
    };
    std::vector<Entry> docs;
    for (const auto& [offset, e] : entries) {
        if (std::size_t(offset + e.length) > text.size()) continue;
        docs.push_back({ValidUtf8(e.headword), ValidUtf8(text.substr(std::size_t(offset), std::size_t(e.length)))});
        if (limit > 0 && long(docs.size()) >= limit) break;
    }

    sqlite3* db = Create(argv[4]);
    FILE* tsv = std::fopen(argv[5], "w");
    if (!tsv) Die(std::string("cannot write ") + argv[5]);
    Exec(db, "BEGIN");
    Exec(db, "CREATE TABLE DOCUMENT(DOCID INTEGER PRIMARY KEY, TITLE TEXT, BODY TEXT)");
    // The automated run also recomputes USERNODE; with no assignments it has no users.
    Exec(db, kCatalogSchema);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO DOCUMENT(DOCID, TITLE, BODY) VALUES(?, ?, ?)", -1, &insert, nullptr);
    std::int64_t id = 0, bytes = 0;
    for (int r = 0; r < repeat; ++r) {
        for (const Entry& d : docs) {
            ++id;
            // A repeated corpus gets new keys and a title of its own.
            const std::string title = r == 0 ? d.title : d.title + " " + std::to_string(r);
            sqlite3_bind_int64(insert, 1, id);
            sqlite3_bind_text(insert, 2, title.c_str(), int(title.size()), SQLITE_STATIC);
            sqlite3_bind_text(insert, 3, d.body.c_str(), int(d.body.size()), SQLITE_STATIC);
            if (sqlite3_step(insert) != SQLITE_DONE) Die(sqlite3_errmsg(db));
            sqlite3_reset(insert);
            std::fprintf(tsv, "%lld\t", static_cast<long long>(id));
            PutCopy(tsv, title);
            std::fputc('\t', tsv);
            PutCopy(tsv, d.body);
            std::fputc('\n', tsv);
            bytes += std::int64_t(title.size() + d.body.size());
        }
    }
    sqlite3_finalize(insert);
    Exec(db, "COMMIT");
    sqlite3_close(db);
    if (std::fclose(tsv) != 0) Die(std::string("cannot write ") + argv[5]);
    std::printf("{\"documents\": %lld, \"bytes\": %lld}\n", static_cast<long long>(id),
                static_cast<long long>(bytes));
    return 0;
}

// Ten catalogs of 2,000 nodes: a top node, 10 nodes below it, 100 below those and
// the rest spread under the third level. Node IDs are unique over all catalogs.
constexpr int kCatalogs = 10;
constexpr int kNodes = 2000;
int NodeId(int catalog, int i) {
    return catalog * 10000 + i;
}
int ParentIndex(int i) {
    if (i == 0) return -1;
    if (i <= 10) return 0;
    if (i <= 110) return 1 + (i - 11) / 10;
    return 11 + (i - 111) % 100;
}

int Catalogs(int argc, char** argv) {
    if (argc < 6) Die("catalogs OUT.db OUT_DIR USERS SEED");
    const std::string dir = argv[3];
    const int users = std::atoi(argv[4]);
    std::mt19937 rng(static_cast<unsigned>(std::atoi(argv[5])));
    auto pick = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng); };

    sqlite3* db = Create(argv[2]);
    Exec(db, "BEGIN");
    Exec(db, kCatalogSchema);
    FILE* nodes = std::fopen((dir + "/catalognode.tsv").c_str(), "w");
    FILE* assigned = std::fopen((dir + "/catalognodebyuser.tsv").c_str(), "w");
    if (!nodes || !assigned) Die("cannot write into " + dir);

    sqlite3_stmt* node = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO CATALOGNODE VALUES(?, ?, ?, ?)", -1, &node, nullptr);
    for (int c = 1; c <= kCatalogs; ++c) {
        for (int i = 0; i < kNodes; ++i) {
            const int id = NodeId(c, i);
            const int parent = ParentIndex(i);
            const std::string name = "Node " + std::to_string(c) + "." + std::to_string(i);
            sqlite3_bind_int(node, 1, id);
            if (parent < 0)
                sqlite3_bind_null(node, 2);
            else
                sqlite3_bind_int(node, 2, NodeId(c, parent));
            sqlite3_bind_int(node, 3, c);
            sqlite3_bind_text(node, 4, name.c_str(), -1, SQLITE_TRANSIENT);
            if (sqlite3_step(node) != SQLITE_DONE) Die(sqlite3_errmsg(db));
            sqlite3_reset(node);
            if (parent < 0)
                std::fprintf(nodes, "%d\t\\N\t%d\t%s\n", id, c, name.c_str());
            else
                std::fprintf(nodes, "%d\t%d\t%d\t%s\n", id, NodeId(c, parent), c, name.c_str());
        }
    }
    sqlite3_finalize(node);

    // Each user sees one or two catalogs: a rare whole catalog (level 0), else one
    // branch at level 1 (a large one in a quarter of the cases), and in half the
    // catalogs one deeper node at level 2 that lies inside or outside that branch.
    // A profile row now and then takes no part. No chain of parents holds two
    // assignments of the same level, so the highest node on a walk up is unique.
    sqlite3_stmt* assign = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO CATALOGNODEBYUSER VALUES(?, ?, ?, ?, ?)", -1, &assign, nullptr);
    auto put = [&](const std::string& user, int c, int id, int level, int profile) {
        sqlite3_bind_text(assign, 1, user.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(assign, 2, c);
        sqlite3_bind_int(assign, 3, id);
        sqlite3_bind_int(assign, 4, level);
        sqlite3_bind_int(assign, 5, profile);
        if (sqlite3_step(assign) != SQLITE_DONE) Die(sqlite3_errmsg(db));
        sqlite3_reset(assign);
        std::fprintf(assigned, "%s\t%d\t%d\t%d\t%d\n", user.c_str(), c, id, level, profile);
    };
    for (int u = 1; u <= users; ++u) {
        char name[32];
        std::snprintf(name, sizeof name, "user%05d", u);
        const std::string user = name;
        std::set<int> catalogs;
        const int count = pick(1, 2);
        while (int(catalogs.size()) < count) catalogs.insert(pick(1, kCatalogs));
        for (int c : catalogs) {
            if (pick(1, 100) == 1) {
                put(user, c, NodeId(c, 0), 0, 0);
                continue;
            }
            const int branch = pick(1, 4) == 1 ? pick(1, 10) : pick(11, 110);
            put(user, c, NodeId(c, branch), 1, 0);
            if (pick(0, 1)) put(user, c, NodeId(c, pick(111, kNodes - 1)), 2, 0);
        }
        if (pick(1, 10) == 1) put(user, pick(1, kCatalogs), NodeId(1, 0), 0, 1);
    }
    sqlite3_finalize(assign);
    Exec(db, "COMMIT");
    Exec(db, "ANALYZE");
    // As the README advises for SQLite: without statistics for CATALOGNODE. With them
    // SQLite reads the whole table for a long list of parents (most of which are
    // leaves) instead of the PARENTNODEID index.
    Exec(db, "DELETE FROM sqlite_stat1 WHERE tbl = 'CATALOGNODE'");
    sqlite3_close(db);
    if (std::fclose(nodes) != 0 || std::fclose(assigned) != 0) Die("cannot write into " + dir);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "documents") return Documents(argc, argv);
    if (what == "catalogs") return Catalogs(argc, argv);
    Die("usage: documents ... | catalogs ...");
}
