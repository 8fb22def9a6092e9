// The digests of an index's documents, kept beside them so that a later build can
// tell which documents changed without indexing them again.
#pragma once

#include <sqlite3.h>

#include <QString>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "zarvik/index/documentsource.h"

namespace zarvik::index {

// 128 bits over every column of a row (type and value), MurmurHash3 x64 128.
using Digest = std::array<std::uint64_t, 2>;

// Hashes the row's columns; `scratch` is reused between rows.
Digest DigestOfRow(const index::Batch& batch, int row, std::string& scratch);
// The key (the row's first column) as bytes that tell every key apart, type included.
std::string KeyBytes(const index::Batch& batch, int row);

// Binds one value of a batch; the batch must outlive the statement's next step.
int BindValue(sqlite3_stmt* stmt, int parameter, const index::Batch& batch, const index::Value& v);

// The table "document_digests" of an index database: each document's key, its rowid in
// "documents" and its digest. Raises component::Error(kIndexBuild) naming the file on
// any SQLite failure.
class DigestTable {
public:
    static constexpr const char* kName = "document_digests";

    DigestTable(sqlite3* db, QString file);
    ~DigestTable();
    DigestTable(const DigestTable&) = delete;
    DigestTable& operator=(const DigestTable&) = delete;

    static void Create(sqlite3* db, const QString& file);
    static bool Exists(sqlite3* db);

    struct Entry {
        std::int64_t rowid = 0;
        Digest digest{};
    };
    std::optional<Entry> Find(const index::Batch& batch, int row);
    // Adds the row's key; false when the table holds it already.
    bool Add(const index::Batch& batch, int row, std::int64_t rowid, const Digest& digest);
    // The rowid of every document that has a digest.
    std::vector<std::int64_t> Rowids();
    // Deletes these documents from "documents" and their digests.
    void RemoveDocuments(const std::vector<std::int64_t>& rowids);

private:
    sqlite3_stmt* Prepare(const char* sql);
    void Step(sqlite3_stmt* stmt);

    sqlite3* m_db;
    QString m_file;
    sqlite3_stmt* m_find = nullptr;
    sqlite3_stmt* m_add = nullptr;
};

}  // namespace zarvik::index
