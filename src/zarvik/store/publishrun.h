// The temporary files of one run's publishes, in a folder of their own that a later
// run removes when a kill left it behind, and what the store targets of one run share.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryFile>
#include <memory>
#include <mutex>
#include <optional>

namespace zarvik::files {
class FileLock;
}

namespace zarvik::store {

// A compressed object written to a file of the run's folder.
struct CompressedFile {
    QString path;
    qint64 size = 0;
    QByteArray sha256;
};

// What the index file to publish is, read once for every store target.
struct IndexFacts {
    qint64 size = 0;
    QByteArray sha256;
    int pageSize = 4096;
    QString built;
    qint64 documents = 0;
    QString mode;  // "full" or "changes"
};

class PublishRun {
public:
    // Makes the folder TEMPROOT/lumora-publish-UID/run-XXXXXX, holds its lock while the
    // run lives, and removes the folders of runs that ended without removing theirs
    // (their lock is free). Raises component::Error (errnum::kPropagation) naming the
    // folder when it cannot be made.
    explicit PublishRun(const QString& tempRoot);
    ~PublishRun();
    PublishRun(const PublishRun&) = delete;
    PublishRun& operator=(const PublishRun&) = delete;

    const QString& Folder() const { return m_folder; }
    // A new empty file in the folder, open for reading and writing, removed with its
    // owner. Raises like the constructor.
    std::unique_ptr<QTemporaryFile> NewFile() const;
    // The index file's size, SHA-256 and what index_info says, read once.
    // Raises component::Error naming the file when it cannot be read.
    const IndexFacts& Facts(const QString& indexFile);
    // The whole index file compressed, made once however many stores publish it.
    // Raises like NewFile, or naming the index when it cannot be read.
    const CompressedFile& Whole(const QString& indexFile);

private:
    QString m_folder;
    std::unique_ptr<files::FileLock> m_lock;
    std::mutex m_mutex;
    std::optional<IndexFacts> m_facts;
    std::optional<CompressedFile> m_whole;
};

}  // namespace zarvik::store
