// The one reading of a store text, for targets and for the pull agent alike.
#include "zarvik/store/store.h"

#include "zarvik/store/httpstore.h"
#include "zarvik/store/manifest.h"
#include "zarvik/store/rclonestore.h"

namespace zarvik::store {

bool IsStoreTarget(const QString& text) {
    return text.startsWith(QLatin1String("store:"), Qt::CaseInsensitive);
}

std::unique_ptr<Store> OpenStore(const QString& text) {
    const QString lower = text.toLower();
    if (lower.startsWith(QLatin1String("http://")) || lower.startsWith(QLatin1String("https://"))) {
        if (text.contains(QLatin1Char(' ')) || text.contains(QLatin1Char('\n')))
            Refuse(text, QStringLiteral("a URL of a store holds no blank or line break"));
        return std::make_unique<HttpStore>(text);
    }
    const QString path = IsStoreTarget(text) ? text.mid(6) : text;
    CheckRclonePath(path);
    return std::make_unique<RcloneStore>(path);
}

}  // namespace zarvik::store
