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

class Store {
public:
    virtual ~Store() = default;
    // The store as a message names it.
    virtual QString Name() const = 0;
    // Writes the object `name` into `into`, refusing it beyond maxBytes; returns the
    // bytes received. Raises component::Error (errnum::kPropagation) naming the object
    // and the store when it cannot be fetched.
    virtual qint64 Fetch(const QString& name, qint64 maxBytes, QIODevice& into) = 0;
    // Publishing (rclone stores only; the others raise "not implemented"):
    // uploads a local file as the object `name`, raising like Fetch.
    virtual void Upload(const QString& localPath, const QString& name) = 0;
    // Replaces `name` so that a reader sees the old or the new object, never a part.
    virtual void Replace(const QString& localPath, const QString& name) = 0;
    // The object names in the store's folder (none when the folder does not exist).
    virtual QStringList List() = 0;
    virtual void Delete(const QString& name) = 0;
};

// Reads a store text: "store:" followed by REMOTE:PATH or /absolute/folder (the
// prefix is optional), or an http:// or https:// URL. Raises component::Error
// (errnum::kPropagation) when the text names no store that can be used.
std::unique_ptr<Store> OpenStore(const QString& text);

// Whether a propagation target text names a store.
bool IsStoreTarget(const QString& text);

}  // namespace zarvik::store
