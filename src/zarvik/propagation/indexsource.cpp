// IndexSource: the files of the index being propagated and, read once on a thread
// of their own, their size, SHA-256 and quick_check.
#include "zarvik/propagation/indexsource.h"

#include <QFileInfo>

namespace zarvik::propagation {
namespace {

// The files that make up an index: not the build's lock, its staging file, the
// previous or the refused index kept beside it, the live index's hash kept for the next
// changes build, or a journal a reader may have left.
bool IsIndexFile(const QString& name) {
    return name != QLatin1String("index.lock") && !name.startsWith(QLatin1String("index.db.sha256")) &&
           name != QLatin1String("index.previous.db") &&
           name != QLatin1String("index.rejected.db") && !name.endsWith(QLatin1String(".staging")) &&
           !name.endsWith(QLatin1String("-journal")) && !name.endsWith(QLatin1String("-wal")) &&
           !name.endsWith(QLatin1String("-shm")) && !name.contains(QLatin1String(".propagating")) &&
           !name.startsWith(QLatin1String("index.previous.db")) &&
           !name.startsWith(QLatin1String("index.rejected.db"));
}

FactsOfFiles ReadSourceFacts(const SourceFiles& files) {
    FactsOfFiles facts;
    for (const auto& [name, path] : files) {
        SourceFacts& f = facts[name];
        f.why = Digest(path, &f.size, &f.digest);
        // A target that cannot check its copy itself takes one that is byte for byte
        // the source, which is then as sound as the source, checked here.
        if (f.why.isEmpty() && IsDatabase(name)) {
            if (QString why = QuickCheck(path); !why.isEmpty())
                f.why = QStringLiteral("the index file %1 fails PRAGMA quick_check (%2)").arg(path, why);
        }
    }
    return facts;
}

}  // namespace

IndexSource::IndexSource(const component::IndexSettings& settings)
    : m_settings(settings), m_folder(settings.path) {
    for (const QFileInfo& fi : m_folder.entryInfoList(QDir::Files | QDir::Hidden, QDir::Name)) {
        if (!IsIndexFile(fi.fileName())) continue;
        m_files.append({fi.fileName(), fi.absoluteFilePath()});
        m_hasIndex = m_hasIndex || fi.fileName() == QLatin1String("index.db");
    }
}

void IndexSource::ReadFactsAhead() {
    if (!m_facts.valid()) m_facts = std::async(std::launch::async, ReadSourceFacts, m_files).share();
}

store::PublishRun& IndexSource::Publishing() const {
    const std::lock_guard<std::mutex> lock(m_publishingMutex);
    if (!m_publishing) m_publishing = std::make_unique<store::PublishRun>(QDir::tempPath());
    return *m_publishing;
}

}  // namespace zarvik::propagation
