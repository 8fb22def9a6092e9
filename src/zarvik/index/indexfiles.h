// The files beside a live index: the staging file, the live index's documents and
// index_info, and keeping the live index as the previous one.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <cstdint>
#include <optional>

namespace zarvik::index {

// Removes the staging file and the journal and compacted copy it may have.
void RemoveStaging(const QString& staging);

// The number of documents of an existing index; empty when there is none or it
// cannot be read.
std::optional<std::int64_t> LiveDocuments(const QString& live);

// The name/value pairs of an index's index_info; empty when it cannot be read.
std::optional<QHash<QString, QString>> ReadIndexInfo(const QString& file);

// LiveDocuments as a count: 0 when there is no index.
std::int32_t LiveCount(const QString& live);

// Keeps the live index as the previous one without a moment in which there is no
// live index: a second name for the same file replaces the previous index, and only
// then may the new index be renamed over the live one. Returns the empty text on
// success, else the reason.
QString KeepPrevious(const QString& live, const QString& previous);

// The SHA-256 of the live index as it went live is kept beside it, in this file, so
// that a changes build can tell that the copy it starts from is that index.
QString RecordedHashPath(const QString& live);

// The SHA-256 recorded when `live` went live (raw bytes); empty when none was.
QByteArray RecordedHash(const QString& live);

// Records `sha256` as the hash of `live` (durably). Returns the empty text on
// success, else the reason.
QString RecordHash(const QString& live, const QByteArray& sha256);

// Copies `from` to `to` and returns the SHA-256 of the bytes copied; empty when the
// copy failed (`to` is then removed).
QByteArray CopyHashing(const QString& from, const QString& to);

// The SHA-256 of a whole file; empty when it cannot be read.
QByteArray Sha256OfFile(const QString& file);

}  // namespace zarvik::index
