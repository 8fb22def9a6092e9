// Every object of a version goes up before `current` moves to it, under a name that
// carries its content's SHA-256; `current` moves only if it still names what this run
// read, and only then are old versions removed. A publish killed at any moment, or
// racing another publisher, leaves `current` naming a complete version. Each request
// to a store is a process of its own that mostly waits on the network, so what does
// not depend on another answer (the listing and `current`, the chain's manifests, the
// two objects, the deletes) is asked at once.
#include "zarvik/store/publisher.h"

#include <QFile>
#include <QHash>
#include <algorithm>
#include <atomic>
#include <exception>
#include <future>
#include <mutex>
#include <vector>

#include "component/error.h"
#include "zarvik/store/manifest.h"
#include "zarvik/store/pages.h"

namespace zarvik::store {
namespace {

// A chain longer than this is not followed: the store is treated as damaged.
constexpr int kMaxChain = 1000;
// Requests to a store that one publish has under way at once.
constexpr int kRequestsAtOnce = 8;

// Runs work(i) for every i below count, kRequestsAtOnce at a time; raises the first
// error any of them raised, after all have ended.
template <typename Work>
void AtOnce(int count, const Work& work) {
    std::atomic<int> next{0};
    std::vector<std::future<void>> workers;
    workers.reserve(size_t(std::min(count, kRequestsAtOnce)));
    for (int t = 0; t < std::min(count, kRequestsAtOnce); ++t)
        workers.push_back(std::async(std::launch::async, [&] {
            for (int i; (i = next++) < count;) work(i);
        }));
    for (std::future<void>& w : workers) w.wait();
    for (std::future<void>& w : workers) w.get();
}

// What the store holds, as this run read it before building its version.
struct StoreState {
    QHash<QString, qint64> sizes;  // every object's size, by name
    // The manifests fetched ahead: their text, or why they could not be fetched.
    QHash<QString, std::pair<QByteArray, QString>> fetched;
    qint64 highest = 0;      // the highest version any object belongs to
    QByteArray currentText;  // `current` as read; empty when there is none
    Current current;         // version 0 when there is none or it cannot be read
    QList<Manifest> chain;   // current's manifest back to its whole file; empty when damaged
    QString damage;          // why the versions in the store cannot be built on
};

// Follows the manifests from `current` back to a whole file, checking that every
// object a reader needs on the way is listed with the size its manifest gives.
// Returns why it cannot, or nothing.
QString ReadChain(Store& store, StoreState& state) {
    for (QString name = state.current.manifest; state.chain.size() <= kMaxChain;) {
        if (!state.sizes.contains(name)) return QStringLiteral("the manifest %1 is missing").arg(name);
        Manifest m;
        try {
            const auto ahead = state.fetched.constFind(name);
            if (ahead != state.fetched.cend() && !ahead->second.isEmpty()) return ahead->second;
            m = ParseManifest(
                ahead != state.fetched.cend() ? ahead->first : store.FetchSmall(name, kMaxManifestBytes),
                name);
        } catch (const component::Error& e) {
            return e.Description();
        }
        if (!state.sizes.contains(m.object.name))
            return QStringLiteral("the object %1 is missing").arg(m.object.name);
        if (state.sizes.value(m.object.name) != m.object.size)
            return QStringLiteral("the object %1 has %2 bytes, its manifest says %3")
                .arg(m.object.name)
                .arg(state.sizes.value(m.object.name))
                .arg(m.object.size);
        state.chain << m;
        if (m.object.whole) return {};
        name = m.baseManifest;
    }
    return QStringLiteral("the chain of packs behind current is longer than %1").arg(kMaxChain);
}

// Fetches at once the manifests of the versions from the newest whole file the listing
// shows at or below `current` up to `current`: in a store that one publisher keeps,
// the chain ReadChain then follows without a request of its own. A manifest the chain
// names that is not among them is fetched when it is reached.
void FetchChainAhead(Store& store, StoreState& state) {
    qint64 from = 0;
    QStringList names;
    for (auto it = state.sizes.cbegin(); it != state.sizes.cend(); ++it) {
        const qint64 v = VersionOfObject(it.key());
        if (it.key().endsWith(QLatin1String(".whole.zst")) && v <= state.current.version)
            from = std::max(from, v);
    }
    for (auto it = state.sizes.cbegin(); it != state.sizes.cend(); ++it) {
        const qint64 v = VersionOfObject(it.key());
        if (IsManifestName(it.key()) && v >= from && v <= state.current.version && names.size() < kMaxChain)
            names << it.key();
    }
    std::vector<std::pair<QByteArray, QString>> fetched(size_t(names.size()));
    AtOnce(int(names.size()), [&](int i) {
        try {
            fetched[size_t(i)].first = store.FetchSmall(names[i], kMaxManifestBytes);
        } catch (const component::Error& e) {
            fetched[size_t(i)].second = e.Description();
        }
    });
    for (int i = 0; i < names.size(); ++i) state.fetched.insert(names[i], fetched[size_t(i)]);
}

// `current` is read while the store is listed; what reading it gave counts only when
// the listing has it.
StoreState ReadState(Store& store) {
    StoreState state;
    QList<ObjectInfo> listing;
    std::exception_ptr unread;
    AtOnce(2, [&](int i) {
        if (i == 0) {
            listing = store.List();
            return;
        }
        try {
            state.currentText = store.FetchSmall(QStringLiteral("current"), kMaxCurrentBytes);
        } catch (const component::Error&) {
            unread = std::current_exception();
        }
    });
    for (const ObjectInfo& object : listing) {
        state.sizes.insert(object.name, object.size);
        state.highest = std::max(state.highest, VersionOfObject(object.name));
    }
    if (!state.sizes.contains(QStringLiteral("current"))) {
        state.currentText.clear();
        return state;
    }
    if (unread) std::rethrow_exception(unread);
    try {
        state.current = ParseCurrent(state.currentText, QStringLiteral("current"));
    } catch (const component::Error& e) {
        state.damage = e.Description();
        return state;
    }
    state.highest = std::max(state.highest, state.current.version);
    FetchChainAhead(store, state);
    state.damage = ReadChain(store, state);
    if (!state.damage.isEmpty()) state.chain.clear();
    return state;
}

// Whether a pack against the last published file may be made: that file is the one
// `current` names, every object behind it is there, and the chain may grow.
bool CanPack(const StoreState& state, const QString& baseFile, const IndexFacts& facts,
             const component::PublishSettings& settings) {
    if (state.chain.isEmpty()) return false;
    const Manifest& base = state.chain.first();
    if (base.chain + 1 >= settings.fullEvery || base.pageSize != facts.pageSize) return false;
    QFile file(baseFile);
    return file.open(QIODevice::ReadOnly) && file.size() == base.fileSize &&
           Sha256Of(file, baseFile) == base.sha256;
}

// The version's data object: the pack when it is at most half the last whole file
// published (a full build rewrites most pages, and every reader behind a large pack
// would fetch nearly a whole file more), else the whole file, compressed only then.
CompressedFile ChooseObject(const StoreState& state, const QString& indexFile, const QString& baseFile,
                            const component::PublishSettings& settings, PublishRun& run, Manifest* m,
                            std::unique_ptr<QTemporaryFile>* holder) {
    const IndexFacts& facts = run.Facts(indexFile);
    if (CanPack(state, baseFile, facts, settings)) {
        QFile base(baseFile), index(indexFile);
        if (!base.open(QIODevice::ReadOnly) || !index.open(QIODevice::ReadOnly))
            Refuse(indexFile, index.errorString() + base.errorString());
        *holder = run.NewFile();
        const Written pack = WritePack(base, index, facts.pageSize, **holder);
        if (pack.size * 2 <= state.chain.last().object.size) {
            const Manifest& previous = state.chain.first();
            m->base = previous.version;
            m->baseManifest = state.current.manifest;
            m->chain = previous.chain + 1;
            m->object = {false, DataObjectName(m->version, false, pack.sha256), pack.size, pack.sha256};
            return {(*holder)->fileName(), pack.size, pack.sha256};
        }
    }
    const CompressedFile& whole = run.Whole(indexFile);
    m->object = {true, DataObjectName(m->version, true, whole.sha256), whole.size, whole.sha256};
    return whole;
}

QString WriteSmall(PublishRun& run, const QByteArray& bytes, std::unique_ptr<QTemporaryFile>* holder) {
    *holder = run.NewFile();
    if ((*holder)->write(bytes) != bytes.size() || !(*holder)->flush())
        Refuse((*holder)->fileName(), (*holder)->errorString());
    return (*holder)->fileName();
}

// Moves `current` to the new manifest unless another publisher moved it since this
// run read it.
void MoveCurrent(Store& store, const StoreState& state, const Manifest& m, const QString& manifestName,
                 PublishRun& run) {
    std::unique_ptr<QTemporaryFile> file;
    QByteArray found;
    if (store.ReplaceIf(WriteSmall(run, FormatCurrent(manifestName), &file), QStringLiteral("current"),
                        state.currentText, &found))
        return;
    QString other = QStringLiteral("something that names no version");
    try {
        other = QStringLiteral("version %1").arg(ParseCurrent(found, QStringLiteral("current")).version);
    } catch (const component::Error&) {
        if (found.isEmpty()) other = QStringLiteral("no version");
    }
    Refuse(QStringLiteral("current"),
           QStringLiteral("another publisher changed the store %1 while this run published: it now names %2, "
                          "where this run read %3 and built version %4, which was not made current. "
                          "Publish to a store from one machine only.")
               .arg(store.Name(), other,
                    state.current.version > 0 ? QStringLiteral("version %1").arg(state.current.version)
                                              : QStringLiteral("no version"))
               .arg(m.version));
}

// Keeps `keepPublished` whole files (never fewer than the one the current chain
// starts from) and every version after the oldest of them up to the new one; removes
// the rest, and the versions above the new one that killed or losing publishes left.
// A failed delete is a warning: `current` has already moved.
QStringList RemoveOldVersions(Store& store, const StoreState& state, const Manifest& m, int keepPublished) {
    // With no readable `current`, what was there is kept as if the highest version were.
    const qint64 upTo = state.current.version > 0 ? state.current.version : state.highest;
    QList<qint64> wholes;
    for (auto it = state.sizes.cbegin(); it != state.sizes.cend(); ++it) {
        const qint64 v = VersionOfObject(it.key());
        if (it.key().endsWith(QLatin1String(".whole.zst")) && v <= upTo && !wholes.contains(v)) wholes << v;
    }
    if (m.object.whole) wholes << m.version;
    std::sort(wholes.begin(), wholes.end(), std::greater<>());
    const int keep = std::max(1, keepPublished);
    qint64 oldestKept = wholes.size() >= keep ? wholes[keep - 1] : 0;
    if (!m.object.whole && !state.chain.isEmpty())
        oldestKept = std::min(oldestKept, state.chain.last().version);
    QStringList old, warnings;
    for (auto it = state.sizes.cbegin(); it != state.sizes.cend(); ++it) {
        const qint64 v = VersionOfObject(it.key());
        if (v != 0 && v != m.version && (v < oldestKept || v > upTo)) old << it.key();
    }
    std::mutex mutex;
    AtOnce(int(old.size()), [&](int i) {
        try {
            store.Delete(old[i]);
        } catch (const component::Error& e) {
            const std::lock_guard<std::mutex> lock(mutex);
            warnings << QStringLiteral("an old version could not be removed (%1)").arg(e.Description());
        }
    });
    return warnings;
}

}  // namespace

PublishOutcome Publish(Store& store, const QString& indexFile, const QString& baseFile,
                       const component::PublishSettings& settings, PublishRun& run) {
    const IndexFacts& facts = run.Facts(indexFile);
    const StoreState state = ReadState(store);
    PublishOutcome outcome;
    if (!state.chain.isEmpty() && state.chain.first().sha256 == facts.sha256 &&
        state.chain.first().fileSize == facts.size) {
        outcome.current.version = state.current.version;
        return outcome;
    }
    if (!state.damage.isEmpty())
        outcome.warnings << QStringLiteral("the store %1 was damaged, so a whole file was published: %2")
                                .arg(store.Name(), state.damage);
    Manifest m;
    m.version = state.highest + 1;
    if (m.version > kMaxVersion) Refuse(store.Name(), QStringLiteral("the store holds the highest version"));
    m.sha256 = facts.sha256;
    m.fileSize = facts.size;
    m.pageSize = facts.pageSize;
    m.built = facts.built;
    m.documents = facts.documents;
    m.mode = facts.mode;
    std::unique_ptr<QTemporaryFile> packFile, manifestFile;
    const CompressedFile object = ChooseObject(state, indexFile, baseFile, settings, run, &m, &packFile);
    const QByteArray manifest = FormatManifest(m);
    const QString manifestName = ManifestName(m.version, manifest);
    const QString uploads[][2] = {{object.path, m.object.name},
                                  {WriteSmall(run, manifest, &manifestFile), manifestName}};
    AtOnce(2, [&](int i) { store.Upload(uploads[i][0], uploads[i][1]); });
    MoveCurrent(store, state, m, manifestName, run);

    outcome.current = {m.version, 3, m.object.whole};
    outcome.sent = m.object.size + manifest.size() + FormatCurrent(manifestName).size();
    outcome.warnings << RemoveOldVersions(store, state, m, settings.keepPublished);
    return outcome;
}

}  // namespace zarvik::store
