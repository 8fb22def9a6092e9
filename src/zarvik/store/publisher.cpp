// Every object of a version goes up before `current` moves to it; only then are old
// versions removed, so a publish killed at any moment leaves a complete `current`.
#include "zarvik/store/publisher.h"

#include <sqlite3.h>

#include <QBuffer>
#include <QDateTime>
#include <QFile>
#include <QTemporaryFile>
#include <QtEndian>
#include <algorithm>
#include <optional>

#include "zarvik/store/manifest.h"
#include "zarvik/store/pages.h"

namespace zarvik::store {
namespace {

QByteArray FetchSmall(Store& store, const QString& name, qint64 maxBytes) {
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    store.Fetch(name, maxBytes, buffer);
    return buffer.data();
}

// The page size an SQLite file records in its header (bytes 16-17; 1 means 65536).
int PageSizeOf(QFile& file) {
    uchar header[18] = {};
    if (!file.seek(0) || file.read(reinterpret_cast<char*>(header), 18) != 18)
        Refuse(file.fileName(), QStringLiteral("this is not an SQLite file"));
    const int size = qFromBigEndian<quint16>(header + 16);
    return size == 1 ? 65536 : size;
}

// built, documents and the build mode, as the build recorded them in index_info.
void ReadIndexInfo(const QString& path, Manifest* m) {
    sqlite3* db = nullptr;
    sqlite3_stmt* stmt = nullptr;
    m->mode = QStringLiteral("full");
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) ==
            SQLITE_OK &&
        sqlite3_prepare_v2(
            db, "SELECT name, value FROM index_info WHERE name IN ('built','documents','build_mode')", -1,
            &stmt, nullptr) == SQLITE_OK) {
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            const QString name =
                QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
            const QString value =
                QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1)));
            if (name == QLatin1String("built")) m->built = QString(value).remove(QLatin1Char(' '));
            if (name == QLatin1String("documents")) m->documents = value.toLongLong();
            if (name == QLatin1String("build_mode") && value == QLatin1String("changes")) m->mode = value;
        }
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
}

struct StoreState {
    QStringList names;
    qint64 current = 0;
    qint64 highest = 0;
    std::optional<Manifest> manifest;  // of `current`
};

StoreState ReadState(Store& store) {
    StoreState state;
    state.names = store.List();
    for (const QString& name : state.names) state.highest = std::max(state.highest, VersionOfObject(name));
    if (!state.names.contains(QStringLiteral("current"))) return state;
    state.current = ParseCurrent(FetchSmall(store, QStringLiteral("current"), kMaxCurrentBytes),
                                 QStringLiteral("current"));
    const QString name = ManifestName(state.current);
    state.manifest = ParseManifest(FetchSmall(store, name, kMaxManifestBytes), name);
    return state;
}

// The pack against the last published file, when that file is the one `current`
// names and the chain may grow; else nothing.
bool CanPack(const StoreState& state, const QString& baseFile, int pageSize,
             const PublishSettings& settings) {
    if (!state.manifest || state.manifest->chain + 1 >= settings.fullEvery ||
        state.manifest->pageSize != pageSize)
        return false;
    QFile base(baseFile);
    return base.open(QIODevice::ReadOnly) && base.size() == state.manifest->fileSize &&
           Sha256Of(base, baseFile) == state.manifest->sha256;
}

QTemporaryFile* Scratch(const QString& folder, QObject* parent) {
    auto* file = new QTemporaryFile(folder + QStringLiteral("/lumora-publish-XXXXXX"), parent);
    if (!file->open()) Refuse(file->fileTemplate(), file->errorString());
    return file;
}

// Removes the versions before the oldest whole file kept, and those that a killed
// publish or a rollback left after the version `current` named before this publish.
void RemoveOldVersions(Store& store, const QStringList& names, qint64 previous, qint64 version,
                       int keepPublished) {
    QList<qint64> wholes;
    for (const QString& name : names) {
        const qint64 v = VersionOfObject(name);
        if (name.endsWith(QLatin1String(".whole.zst")) && (v <= previous || v == version)) wholes << v;
    }
    std::sort(wholes.begin(), wholes.end(), std::greater<>());
    const int keep = std::max(1, keepPublished);
    const qint64 oldestKept = wholes.size() >= keep ? wholes[keep - 1] : 0;
    for (const QString& name : names) {
        const qint64 v = VersionOfObject(name);
        if (v != 0 && v != version && (v < oldestKept || v > previous)) store.Delete(name);
    }
}

}  // namespace

PublishOutcome Publish(Store& store, const QString& indexFile, const QString& baseFile,
                       const PublishSettings& settings, const QString& scratch) {
    QFile index(indexFile);
    if (!index.open(QIODevice::ReadOnly)) Refuse(indexFile, index.errorString());
    StoreState state = ReadState(store);
    Manifest m;
    m.sha256 = Sha256Of(index, indexFile);
    m.fileSize = index.size();
    PublishOutcome outcome;
    if (state.manifest && state.manifest->sha256 == m.sha256 && state.manifest->fileSize == m.fileSize) {
        outcome.version = state.current;
        return outcome;
    }
    m.version = std::max(state.current, state.highest) + 1;
    if (m.version > kMaxVersion) Refuse(store.Name(), QStringLiteral("the store holds the highest version"));
    m.pageSize = PageSizeOf(index);
    ReadIndexInfo(indexFile, &m);

    QObject owner;
    QTemporaryFile* whole = Scratch(scratch, &owner);
    const qint64 wholeBytes = WriteWhole(index, *whole);
    QTemporaryFile* chosen = whole;
    m.object = {true, WholeName(m.version), wholeBytes, {}};
    if (CanPack(state, baseFile, m.pageSize, settings)) {
        QFile base(baseFile);
        base.open(QIODevice::ReadOnly);
        QTemporaryFile* pack = Scratch(scratch, &owner);
        const qint64 packBytes = WritePack(base, index, m.pageSize, *pack);
        // A pack as large as half the whole file saves little upload but makes every
        // reader behind it fetch nearly a whole file more (a full build rewrites most
        // pages): then the whole file goes, and the chains start again from it.
        if (packBytes * 2 <= wholeBytes) {
            chosen = pack;
            m.object = {false, PackName(m.version), packBytes, {}};
            m.base = state.current;
            m.chain = state.manifest->chain + 1;
        }
    }
    m.object.sha256 = Sha256Of(*chosen, chosen->fileName());
    chosen->close();
    store.Upload(chosen->fileName(), m.object.name);

    QTemporaryFile* text = Scratch(scratch, &owner);
    const QByteArray manifest = FormatManifest(m);
    text->write(manifest);
    text->close();
    store.Upload(text->fileName(), ManifestName(m.version));

    QTemporaryFile* current = Scratch(scratch, &owner);
    current->write(FormatCurrent(m.version));
    current->close();
    store.Replace(current->fileName(), QStringLiteral("current"));

    outcome = {m.version, true, m.object.whole,
               m.object.size + manifest.size() + FormatCurrent(m.version).size(), 3};
    RemoveOldVersions(store, state.names + QStringList{m.object.name}, state.current, m.version,
                      settings.keepPublished);
    return outcome;
}

}  // namespace zarvik::store
