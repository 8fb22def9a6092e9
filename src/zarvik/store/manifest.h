// A published version's manifest: what a reader checks everything it fetches against.
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

namespace zarvik::store {

constexpr int kFormatVersion = 1;
constexpr qint64 kMaxVersion = 99999999;
constexpr qint64 kMaxFileSize = qint64(1) << 40;
constexpr int kMaxManifestBytes = 1 << 16;
constexpr int kMaxCurrentBytes = 64;

// A version's one data object: the whole file or the pack of the pages that differ
// from its base version, zstd-compressed either way.
struct DataObject {
    bool whole = true;
    QString name;
    qint64 size = 0;
    QByteArray sha256;  // 32 bytes
};

struct Manifest {
    qint64 version = 0;
    QString built;
    qint64 documents = 0;
    QString mode;  // "full" or "changes"
    int pageSize = 4096;
    qint64 fileSize = 0;
    QByteArray sha256;  // of the index file this version installs, 32 bytes
    qint64 base = 0;    // the version a pack applies to; 0 for a whole file
    int chain = 0;      // packs since the last whole file, this one included
    DataObject object;
};

// Object names in the store, all in one folder.
QString ManifestName(qint64 version);
QString WholeName(qint64 version);
QString PackName(qint64 version);
// The version a store object name belongs to, or 0 when it is not a version's object.
qint64 VersionOfObject(const QString& name);

QByteArray FormatManifest(const Manifest& manifest);
// Reads a manifest fetched as `objectName`. Raises component::Error (errnum::kPropagation)
// naming the object when the format version is unknown, a line is malformed, missing,
// repeated or out of bounds, or a data object is named outside the store's folder.
Manifest ParseManifest(const QByteArray& text, const QString& objectName);

QByteArray FormatCurrent(qint64 version);
// Raises like ParseManifest when `current` is not a version number in bounds.
qint64 ParseCurrent(const QByteArray& text, const QString& objectName);

// Raises component::Error (errnum::kPropagation) with "<objectName>: <why>".
[[noreturn]] void Refuse(const QString& objectName, const QString& why);

}  // namespace zarvik::store
