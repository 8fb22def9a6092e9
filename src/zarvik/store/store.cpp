// The one reading of a store text, for targets and for the pull agent alike: each kind
// of store is a row of kKinds, chosen by how the text begins.
#include "zarvik/store/store.h"

#include <QBuffer>

#include "zarvik/store/httpstore.h"
#include "zarvik/store/manifest.h"
#include "zarvik/store/rclonestore.h"

namespace zarvik::store {
namespace {

bool IsUrl(const QString& text) {
    return text.startsWith(QLatin1String("http://"), Qt::CaseInsensitive) ||
           text.startsWith(QLatin1String("https://"), Qt::CaseInsensitive);
}

std::unique_ptr<Store> OpenHttp(const QString& text) {
    if (text.contains(QLatin1Char(' ')) || text.contains(QLatin1Char('\n')))
        Refuse(text, QStringLiteral("a URL of a store holds no blank or line break"));
    return std::make_unique<HttpStore>(text);
}

std::unique_ptr<Store> OpenRclone(const QString& text) {
    CheckRclonePath(text);
    return std::make_unique<RcloneStore>(text);
}

struct StoreKind {
    bool (*names)(const QString& text);
    std::unique_ptr<Store> (*open)(const QString& text);
    bool publishes;  // whether a store: target may be of this kind
};

// The last row takes every text the rows before it do not.
const StoreKind kKinds[] = {
    {IsUrl, OpenHttp, false},
    {[](const QString&) { return true; }, OpenRclone, true},
};

}  // namespace

bool IsStoreTarget(const QString& text) {
    return text.startsWith(QLatin1String("store:"), Qt::CaseInsensitive);
}

std::unique_ptr<Store> OpenStore(const QString& text) {
    const bool target = IsStoreTarget(text);
    const QString rest = target ? text.mid(6) : text;
    for (const StoreKind& kind : kKinds) {
        if (!kind.names(rest)) continue;
        if (target && !kind.publishes)
            Refuse(rest, QStringLiteral("a URL is where readers fetch a store from; a store target is "
                                        "store:REMOTE:PATH or store:/absolute/folder"));
        return kind.open(rest);
    }
    Refuse(text, QStringLiteral("this names no store"));
}

QByteArray Store::FetchSmall(const QString& name, qint64 maxBytes, qint64* received) {
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    const qint64 n = Fetch(name, maxBytes, buffer);
    if (received) *received = n;
    return buffer.data();
}

}  // namespace zarvik::store
