// A store reached through Debian's rclone, run from an argument vector.
#pragma once

#include "zarvik/store/store.h"

namespace zarvik::store {

class RcloneStore final : public Store {
public:
    // path: REMOTE:PATH or /absolute/folder, already checked.
    explicit RcloneStore(QString path) : m_path(std::move(path)) {}
    QString Name() const override { return m_path; }
    qint64 Fetch(const QString& name, qint64 maxBytes, QIODevice& into) override;
    void Upload(const QString& localPath, const QString& name) override;
    bool ReplaceIf(const QString& localPath, const QString& name, const QByteArray& expected,
                   QByteArray* found) override;
    QList<ObjectInfo> List() override;
    void Delete(const QString& name) override;

private:
    QString ObjectPath(const QString& name) const;
    // The object's bytes, or nothing when it does not exist.
    QByteArray FetchIfPresent(const QString& name, qint64 maxBytes);
    void Replace(const QString& localPath, const QString& name);
    QString m_path;
};

// Raises component::Error when path is neither REMOTE:PATH nor an absolute folder,
// or could be read by rclone as an option.
void CheckRclonePath(const QString& path);

}  // namespace zarvik::store
