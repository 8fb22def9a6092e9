// The digests of an index's documents.
#include "zarvik/index/digests.h"

#include <cstring>

#include "component/indexbuilder.h"

namespace zarvik::index {
namespace {

using index::Value;

constexpr std::uint64_t kC1 = 0x87c37b91114253d5ULL;
constexpr std::uint64_t kC2 = 0x4cf5ad432745937fULL;

std::uint64_t Rotl(std::uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

std::uint64_t Mix(std::uint64_t k) {
    k ^= k >> 33;
    k *= 0xff51afd7ed558ccdULL;
    k ^= k >> 33;
    k *= 0xc4ceb9fe1a85ec53ULL;
    k ^= k >> 33;
    return k;
}

std::uint64_t Load64(const unsigned char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

Digest Murmur3x64_128(const std::string& bytes) {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t length = bytes.size();
    const std::size_t blocks = length / 16;
    std::uint64_t h1 = 0, h2 = 0;
    for (std::size_t i = 0; i < blocks; ++i) {
        std::uint64_t k1 = Load64(data + i * 16), k2 = Load64(data + i * 16 + 8);
        h1 ^= Rotl(k1 * kC1, 31) * kC2;
        h1 = (Rotl(h1, 27) + h2) * 5 + 0x52dce729;
        h2 ^= Rotl(k2 * kC2, 33) * kC1;
        h2 = (Rotl(h2, 31) + h1) * 5 + 0x38495ab5;
    }
    const unsigned char* tail = data + blocks * 16;
    std::uint64_t k1 = 0, k2 = 0;
    const std::size_t rest = length & 15;
    for (std::size_t i = rest; i > 8; --i) k2 ^= std::uint64_t(tail[i - 1]) << ((i - 9) * 8);
    if (rest > 8) h2 ^= Rotl(k2 * kC2, 33) * kC1;
    for (std::size_t i = std::min<std::size_t>(rest, 8); i > 0; --i) k1 ^= std::uint64_t(tail[i - 1]) << ((i - 1) * 8);
    if (rest > 0) h1 ^= Rotl(k1 * kC1, 31) * kC2;
    h1 ^= length;
    h2 ^= length;
    h1 += h2;
    h2 += h1;
    h1 = Mix(h1);
    h2 = Mix(h2);
    h1 += h2;
    h2 += h1;
    return {h1, h2};
}

// Type, then the value: an integer or a float as its 8 bytes, text or a blob as its
// length and bytes, so that no two different rows give the same bytes.
void AppendValue(std::string& out, const index::Batch& batch, const Value& v) {
    out.push_back(char(v.type));
    switch (v.type) {
        case Value::Type::kInteger:
            out.append(reinterpret_cast<const char*>(&v.integer), sizeof v.integer);
            break;
        case Value::Type::kFloat:
            out.append(reinterpret_cast<const char*>(&v.real), sizeof v.real);
            break;
        case Value::Type::kText:
        case Value::Type::kBlob: {
            const std::uint64_t size = v.size;
            out.append(reinterpret_cast<const char*>(&size), sizeof size);
            out.append(batch.Data(v), v.size);
            break;
        }
        case Value::Type::kNull:
            break;
    }
}

[[noreturn]] void Fail(sqlite3* db, const QString& file) {
    throw component::Error(component::errnum::kIndexBuild, QStringLiteral("ZarvikIndexing.IndexBuilder"),
                           QStringLiteral("Writing the index %1 failed: %2")
                               .arg(file, QString::fromUtf8(sqlite3_errmsg(db))));
}

}  // namespace

Digest DigestOfRow(const index::Batch& batch, int row, std::string& scratch) {
    scratch.clear();
    for (int c = 0; c < batch.columns; ++c) AppendValue(scratch, batch, batch.At(row, c));
    return Murmur3x64_128(scratch);
}

std::string KeyBytes(const index::Batch& batch, int row) {
    std::string bytes;
    AppendValue(bytes, batch, batch.At(row, 0));
    return bytes;
}

int BindValue(sqlite3_stmt* stmt, int parameter, const index::Batch& batch, const Value& v) {
    switch (v.type) {
        case Value::Type::kInteger:
            return sqlite3_bind_int64(stmt, parameter, v.integer);
        case Value::Type::kFloat:
            return sqlite3_bind_double(stmt, parameter, v.real);
        case Value::Type::kText:
            return sqlite3_bind_text64(stmt, parameter, batch.Data(v), v.size, SQLITE_STATIC, SQLITE_UTF8);
        case Value::Type::kBlob:
            return sqlite3_bind_blob64(stmt, parameter, batch.Data(v), v.size, SQLITE_STATIC);
        case Value::Type::kNull:
            break;
    }
    return sqlite3_bind_null(stmt, parameter);
}

DigestTable::DigestTable(sqlite3* db, QString file) : m_db(db), m_file(std::move(file)) {
    m_find = Prepare("SELECT rid, digest FROM document_digests WHERE key = ?");
    m_add = Prepare("INSERT INTO document_digests(key, rid, digest) VALUES(?, ?, ?)");
}

DigestTable::~DigestTable() {
    sqlite3_finalize(m_find);
    sqlite3_finalize(m_add);
}

// The key column has no type, so that text and integer keys keep their own.
void DigestTable::Create(sqlite3* db, const QString& file) {
    if (sqlite3_exec(db,
                     "CREATE TABLE document_digests(key PRIMARY KEY, rid INTEGER NOT NULL, digest BLOB NOT "
                     "NULL) WITHOUT ROWID",
                     nullptr, nullptr, nullptr) != SQLITE_OK)
        Fail(db, file);
}

bool DigestTable::Exists(sqlite3* db) {
    sqlite3_stmt* stmt = nullptr;
    bool found = false;
    if (sqlite3_prepare_v2(db, "SELECT 1 FROM sqlite_schema WHERE type = 'table' AND name = 'document_digests'",
                           -1, &stmt, nullptr) == SQLITE_OK)
        found = sqlite3_step(stmt) == SQLITE_ROW;
    sqlite3_finalize(stmt);
    return found;
}

std::optional<DigestTable::Entry> DigestTable::Find(const index::Batch& batch, int row) {
    if (BindValue(m_find, 1, batch, batch.At(row, 0)) != SQLITE_OK) Fail(m_db, m_file);
    std::optional<Entry> entry;
    const int rc = sqlite3_step(m_find);
    if (rc == SQLITE_ROW && sqlite3_column_bytes(m_find, 1) == int(sizeof(Digest))) {
        entry.emplace();
        entry->rowid = sqlite3_column_int64(m_find, 0);
        std::memcpy(entry->digest.data(), sqlite3_column_blob(m_find, 1), sizeof(Digest));
    }
    sqlite3_reset(m_find);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) Fail(m_db, m_file);
    return entry;
}

bool DigestTable::Add(const index::Batch& batch, int row, std::int64_t rowid, const Digest& digest) {
    if (BindValue(m_add, 1, batch, batch.At(row, 0)) != SQLITE_OK ||
        sqlite3_bind_int64(m_add, 2, rowid) != SQLITE_OK ||
        sqlite3_bind_blob(m_add, 3, digest.data(), int(sizeof(Digest)), SQLITE_TRANSIENT) != SQLITE_OK)
        Fail(m_db, m_file);
    const int rc = sqlite3_step(m_add);
    sqlite3_reset(m_add);
    if ((rc & 0xff) == SQLITE_CONSTRAINT) return false;
    if (rc != SQLITE_DONE) Fail(m_db, m_file);
    return true;
}

std::vector<std::int64_t> DigestTable::Rowids() {
    std::vector<std::int64_t> rowids;
    sqlite3_stmt* stmt = Prepare("SELECT rid FROM document_digests");
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) rowids.push_back(sqlite3_column_int64(stmt, 0));
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE) Fail(m_db, m_file);
    return rowids;
}

// Through a list of rowids, so that the digests are scanned once however many go.
void DigestTable::RemoveDocuments(const std::vector<std::int64_t>& rowids) {
    if (rowids.empty()) return;
    if (sqlite3_exec(m_db, "CREATE TEMP TABLE gone(rid INTEGER PRIMARY KEY)", nullptr, nullptr, nullptr) != SQLITE_OK)
        Fail(m_db, m_file);
    sqlite3_stmt* add = Prepare("INSERT INTO temp.gone(rid) VALUES(?)");
    for (const std::int64_t rowid : rowids) {
        sqlite3_bind_int64(add, 1, rowid);
        const int rc = sqlite3_step(add);
        sqlite3_reset(add);
        if (rc != SQLITE_DONE) {
            sqlite3_finalize(add);
            Fail(m_db, m_file);
        }
    }
    sqlite3_finalize(add);
    if (sqlite3_exec(m_db,
                     "DELETE FROM documents WHERE rowid IN temp.gone;"
                     "DELETE FROM document_digests WHERE rid IN temp.gone;"
                     "DROP TABLE temp.gone",
                     nullptr, nullptr, nullptr) != SQLITE_OK)
        Fail(m_db, m_file);
}

sqlite3_stmt* DigestTable::Prepare(const char* sql) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(m_db, sql, -1, &stmt, nullptr) != SQLITE_OK) Fail(m_db, m_file);
    return stmt;
}

void DigestTable::Step(sqlite3_stmt* stmt) {
    const int rc = sqlite3_step(stmt);
    sqlite3_reset(stmt);
    if (rc != SQLITE_DONE) Fail(m_db, m_file);
}

}  // namespace zarvik::index
