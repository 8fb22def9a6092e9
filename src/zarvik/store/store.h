// Where versions are published and read: an rclone path (a remote of the running
// user's rclone configuration, or a folder on this machine) or, for readers only, the
// http(s):// URL of a store folder that a web server or a CDN serves.
#pragma once

#include <QIODevice>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

namespace zarvik::store {

// An object as a store's listing names it.
struct ObjectInfo {
    QString name;
    qint64 size = 0;
};

class Store {
public:
    virtual ~Store() = default;
    // The store as a message names it.
    virtual QString Name() const = 0;
    // Writes the object `name` into `into`, refusing it beyond maxBytes; returns the
    // bytes received. Raises component::Error (errnum::kPropagation) naming the object
    // and the store when it cannot be fetched.
    virtual qint64 Fetch(const QString& name, qint64 maxBytes, QIODevice& into) = 0;
    // A small object (`current`, a manifest) in memory, raising like Fetch; *received,
    // when given, gets the bytes that arrived.
    QByteArray FetchSmall(const QString& name, qint64 maxBytes, qint64* received = nullptr);
    // Publishing (rclone stores only; the others raise "not implemented"):
    // uploads a local file as the object `name`, raising like Fetch.
    virtual void Upload(const QString& localPath, const QString& name) = 0;
    // Replaces `name` with the local file, so that a reader sees the old or the new
    // object, never a part, but only while `name` still holds `expected` (empty: while
    // it does not exist). Returns true when it replaced it; false, with *found set to
    // what `name` holds, when another writer changed it first. A store that offers a
    // conditional write holds others off for the whole step; one that does not is read
    // again just before and just after the replacement. Raises like Upload.
    virtual bool ReplaceIf(const QString& localPath, const QString& name, const QByteArray& expected,
                           QByteArray* found) = 0;
    // The objects in the store's folder (none when the folder does not exist).
    virtual QList<ObjectInfo> List() = 0;
    virtual void Delete(const QString& name) = 0;
};

// Reads a store text: "store:" followed by REMOTE:PATH or /absolute/folder (the
// prefix is optional), or an http:// or https:// URL. Raises component::Error
// (errnum::kPropagation) when the text names no store that can be used.
std::unique_ptr<Store> OpenStore(const QString& text);

// Whether a propagation target text names a store.
bool IsStoreTarget(const QString& text);

}  // namespace zarvik::store
