// What local and remote copies share: the temporary-copy marker, the source files'
// size, SHA-256 and quick_check, and the test hook that sees each copy arrive.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <functional>
#include <utility>

namespace zarvik::propagation {

inline const QString kCopyMarker = QStringLiteral(".propagating-");
constexpr qint64 kBufferSize = 1 << 20;

// The source files by name and absolute path, made on the calling thread: the
// copies' threads share plain texts only.
using SourceFiles = QList<std::pair<QString, QString>>;

// Calls the hook set by SetCopyArrivedHookForTesting, if any.
void CopyArrived(const QString& target, const QString& copyPath);

bool IsDatabase(const QString& name);

// PRAGMA quick_check of the file at path, opened read-only and as immutable so that
// the check neither takes locks nor leaves a journal beside a copy. Returns the
// empty text when it answers "ok", else its answer or the reason it could not run.
QString QuickCheck(const QString& path);

QString Hex(const QByteArray& digest);

// Reads a file through once, handing each piece to `take` (which returns the empty
// text, else why the reading stops) and hashing it: its size and SHA-256. Returns
// the empty text, else why it failed.
using TakePiece = std::function<QString(const char* data, qint64 size)>;
QString ReadHashed(const QString& path, const TakePiece& take, qint64* size, QByteArray* digest);

// Reads a file through once: its size and SHA-256.
QString Digest(const QString& path, qint64* size, QByteArray* digest);

}  // namespace zarvik::propagation
