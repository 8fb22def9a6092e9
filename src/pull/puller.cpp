// The pull: read `current`, walk the manifests back to a version a local file holds or
// to a whole file, fetch and check each object, put the new file together where no
// reader sees it, check it, and swap it in. Nothing in the folder changes before the swap.
#include "pull/puller.h"

#include <sqlite3.h>
#include <sys/mman.h>

#include <QHash>
#include <QList>
#include <memory>

#include "component/error.h"
#include "pull/localfiles.h"
#include "zarvik/files/indexcheck.h"
#include "zarvik/store/manifest.h"
#include "zarvik/store/pages.h"

namespace pull {
namespace {

namespace store = zarvik::store;
using store::Manifest;
using store::Refuse;

constexpr int kMaxChain = 1000;

// The store as this pull reads it: every fetch counted, each manifest fetched once.
class Source {
public:
    Source(store::Store& store, PullOutcome& outcome) : m_store(store), m_outcome(outcome) {}

    store::Current Current() {
        const QString name = QStringLiteral("current");
        return store::ParseCurrent(Small(name, store::kMaxCurrentBytes), name);
    }
    const Manifest& Get(const QString& name) {
        if (!m_manifests.contains(name))
            m_manifests.insert(name, store::ParseManifest(Small(name, store::kMaxManifestBytes), name));
        return m_manifests[name];
    }
    // A data object in an unnamed file of the folder, its size and SHA-256 checked.
    std::unique_ptr<QFile> Object(const Manifest& m, const QString& folder) {
        std::unique_ptr<QFile> object = UnnamedFile(folder, m.object.size);
        const qint64 received = m_store.Fetch(m.object.name, m.object.size, *object);
        Count(received);
        if (received != m.object.size)
            Refuse(m.object.name,
                   QStringLiteral("%1 bytes arrived, the manifest says %2").arg(received).arg(m.object.size));
        if (store::Sha256Of(*object, m.object.name) != m.object.sha256)
            Refuse(m.object.name, QStringLiteral("its SHA-256 is not the one its manifest names"));
        return object;
    }

private:
    QByteArray Small(const QString& name, qint64 maxBytes) {
        qint64 received = 0;
        QByteArray bytes = m_store.FetchSmall(name, maxBytes, &received);
        Count(received);
        return bytes;
    }
    void Count(qint64 bytes) {
        m_outcome.bytesFetched += bytes;
        ++m_outcome.objectsFetched;
    }

    store::Store& m_store;
    PullOutcome& m_outcome;
    QHash<QString, Manifest> m_manifests;
};

// The way to the newest version: the manifests whose objects are applied, newest
// first, onto a copy of `base` (whose SHA-256 must be baseSha), or onto nothing when
// the chain ends at a whole file.
struct Plan {
    QList<Manifest> chain;
    LocalFile* base = nullptr;
    QByteArray baseSha;
};

// Whether the local file is the version of m; a file of m's size whose record says
// nothing is hashed to know.
bool Holds(LocalFile& file, const Manifest& m) {
    return file.exists && file.size == m.fileSize && HashOf(file) == m.sha256;
}

// Walks back from the manifest `newest` to a version one of `locals` holds, or to a
// whole file. A pack whose base the record names for a local file stops the walk
// without fetching the base's manifest.
Plan Walk(Source& source, const QString& newest, const QList<LocalFile*>& locals) {
    Plan plan;
    for (QString name = newest;;) {
        const Manifest& m = source.Get(name);
        for (LocalFile* file : locals)
            if (Holds(*file, m)) return {plan.chain, file, m.sha256};
        plan.chain << m;
        if (m.object.whole) return plan;
        for (LocalFile* file : locals)
            if (!file->manifest.isEmpty() && file->manifest == m.baseManifest && !file->sha.isEmpty())
                return {plan.chain, file, file->sha};
        if (plan.chain.size() > kMaxChain)
            Refuse(name, QStringLiteral("the chain of packs is longer than %1").arg(kMaxChain));
        name = m.baseManifest;
    }
}

// The index checks on a private mapping of the unnamed file: SQLite cannot open a
// file without a name, and whatever the check writes stays in this process's
// copy-on-write pages (the SHA-256 is compared afterwards anyway).
void CheckDatabase(QFile& working, const QString& name) {
    const size_t size = size_t(working.size());
    void* map = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE, working.handle(), 0);
    if (map == MAP_FAILED) Refuse(name, SystemError(QStringLiteral("cannot map the new index")));
    sqlite3* db = nullptr;
    QString why;
    if (sqlite3_open(":memory:", &db) != SQLITE_OK ||
        sqlite3_deserialize(db, "main", static_cast<unsigned char*>(map), sqlite3_int64(size),
                            sqlite3_int64(size), 0) != SQLITE_OK)
        why = QString::fromUtf8(sqlite3_errmsg(db));
    else
        why = zarvik::files::CheckIndexFile(db);
    sqlite3_close(db);
    ::munmap(map, size);
    if (!why.isEmpty()) Refuse(name, QStringLiteral("the new index fails a check (%1)").arg(why));
}

// Puts the newest version together by the plan and checks it; null when the plan's
// local base turned out not to be the version it claimed.
std::unique_ptr<QFile> Assemble(Source& source, const Folder& folder, const Plan& plan, const QString& name) {
    const Manifest& newest = source.Get(name);
    std::unique_ptr<QFile> working = UnnamedFile(folder.path, newest.fileSize);
    if (plan.base && !CopyHashed(*plan.base, *working, plan.baseSha, folder.path)) return nullptr;
    for (auto m = plan.chain.crbegin(); m != plan.chain.crend(); ++m) {
        std::unique_ptr<QFile> object = source.Object(*m, folder.path);
        if (m->object.whole)
            store::ApplyWhole(*object, m->object.name, m->fileSize, *working);
        else
            store::ApplyPack(*object, m->object.name, m->pageSize, m->fileSize, *working);
    }
    if (!working->flush())
        Refuse(folder.path, QStringLiteral("cannot write in it: ") + working->errorString());
    if (working->size() != newest.fileSize)
        Refuse(name, QStringLiteral("the new index has %1 bytes, the manifest says %2")
                         .arg(working->size())
                         .arg(newest.fileSize));
    CheckDatabase(*working, name);
    if (store::Sha256Of(*working, name) != newest.sha256)
        Refuse(name, QStringLiteral("the new index's SHA-256 is not the one the manifest names"));
    return working;
}

// The newest version by the cheapest way; when that way started from a local file
// and did not lead to a sound file, by the newest whole file. Null when index.db is
// the newest version already (and only its record was missing).
std::unique_ptr<QFile> Newest(Source& source, Folder& folder, const QString& name) {
    const Plan plan = Walk(source, name, {&folder.index, &folder.previous});
    if (plan.chain.isEmpty() && plan.base == &folder.index) return nullptr;
    if (!plan.base) return Assemble(source, folder, plan, name);
    try {
        if (std::unique_ptr<QFile> working = Assemble(source, folder, plan, name)) return working;
    } catch (const component::Error&) {
        // The whole file below fails as well when the store is at fault, and says so.
    }
    folder.index.manifest.clear();
    folder.index.sha.clear();
    return Assemble(source, folder, Walk(source, name, {}), name);
}

}  // namespace

void Pull(store::Store& store, const QString& path, PullOutcome& outcome) {
    const FolderLock lock(path);
    RemoveLeftBehind(path);
    Folder folder = ReadFolder(path, lock);
    outcome.version = folder.index.manifest.isEmpty() ? 0 : store::VersionOfObject(folder.index.manifest);
    Source source(store, outcome);
    const store::Current current = source.Current();
    if (folder.index.exists && folder.index.manifest == current.manifest) return;

    const std::unique_ptr<QFile> working = Newest(source, folder, current.manifest);
    LocalFile installed = folder.index;
    installed.manifest = current.manifest;
    installed.sha = source.Get(current.manifest).sha256;
    // Put together, it is installed; found in place (its record lost), it is recorded.
    if (working) Install(*working, path, folder.index);
    lock.Write(Record(Restamped(installed), working ? folder.index : folder.previous));
    outcome.version = current.version;
    outcome.installed = working != nullptr;
}

QString Verify(const QString& path) {
    const FolderLock lock(path);
    Folder folder = ReadFolder(path, lock);
    LocalFile& index = folder.index;
    if (!index.exists) Refuse(index.path, QStringLiteral("there is no index.db"));
    if (folder.claimed.isEmpty()) Refuse(index.path, QStringLiteral("no pull recorded which version it is"));
    const qint64 version = store::VersionOfObject(folder.claimed);
    if (index.manifest.isEmpty())
        Refuse(index.path, QStringLiteral("it changed since the pull that installed version %1 (%2); the "
                                          "next pull replaces it")
                               .arg(version)
                               .arg(folder.claimed));
    const QByteArray claimed = index.sha;
    index.sha.clear();
    if (HashOf(index) != claimed)
        Refuse(index.path,
               QStringLiteral("it is not version %1 (%2) that it claims to be: its SHA-256 differs "
                              "(damaged, or changed by hand); the pull of the next version "
                              "replaces it")
                   .arg(version)
                   .arg(folder.claimed));
    return QStringLiteral("%1 is version %2 (%3), byte for byte.")
        .arg(index.path)
        .arg(version)
        .arg(folder.claimed);
}

}  // namespace pull
