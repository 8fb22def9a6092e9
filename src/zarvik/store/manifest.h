// A published version's manifest and `current`: what a reader checks everything it
// fetches against, and the names every object of a store goes by.
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

namespace zarvik::store {

// The manifest format this program writes; format 1 (names without hashes, `current`
// a bare number) is still read, so that a store published before keeps working.
constexpr int kFormatVersion = 2;
constexpr qint64 kMaxVersion = 99999999;
constexpr qint64 kMaxFileSize = qint64(1) << 40;
constexpr int kMaxManifestBytes = 1 << 16;
constexpr int kMaxCurrentBytes = 128;

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
    QByteArray sha256;     // of the index file this version installs, 32 bytes
    qint64 base = 0;       // the version a pack applies to; 0 for a whole file
    QString baseManifest;  // the full name of that version's manifest; empty for a whole file
    int chain = 0;         // packs since the last whole file, this one included
    DataObject object;
};

// Object names, all in one folder: "VVVVVVVV-<SHA-256 of the object's bytes>.KIND", so
// that no name can ever be written with two different contents.
QString ManifestName(qint64 version, const QByteArray& manifestText);
QString DataObjectName(qint64 version, bool whole, const QByteArray& sha256OfObject);
// The version a store object name belongs to (in either format's names), or 0 when it
// is not a version's object.
qint64 VersionOfObject(const QString& name);
// Whether `name` is a manifest's name (in either format).
bool IsManifestName(const QString& name);

QByteArray FormatManifest(const Manifest& manifest);
// Reads a manifest fetched as `objectName`. Raises component::Error (errnum::kPropagation)
// naming the object when the format version is unknown, a line is malformed, missing,
// repeated or out of bounds, a data object or the base is named outside the store's
// folder, or the name carries a SHA-256 that the text does not hash to.
Manifest ParseManifest(const QByteArray& text, const QString& objectName);

// What `current` names: the newest version's manifest, by its full name.
struct Current {
    qint64 version = 0;
    QString manifest;
};
QByteArray FormatCurrent(const QString& manifestName);
// Raises like ParseManifest when `current` names no manifest (a format 1 store's bare
// version number reads as that version's manifest).
Current ParseCurrent(const QByteArray& text, const QString& objectName);

// Raises component::Error (errnum::kPropagation) with "<objectName>: <why>".
[[noreturn]] void Refuse(const QString& objectName, const QString& why);

}  // namespace zarvik::store
