// The store kind of target: the store layer publishes, this names the files.
#include "zarvik/propagation/storetarget.h"

#include <QDir>
#include <QFileInfo>

#include "component/error.h"
#include "zarvik/store/publisher.h"

namespace zarvik::propagation {

std::unique_ptr<Target> StoreTarget::Read(const QString& text, QString* why) {
    try {
        store::OpenStore(text);
    } catch (const component::Error& e) {
        *why = RefuseTarget(text, e.Description());
        return nullptr;
    }
    return std::make_unique<StoreTarget>(text);
}

// A store folder inside the index folder would be copied along by local targets.
QString StoreTarget::Check(IndexSource& source) {
    const QString path = Text().mid(6);
    if (path.startsWith(QLatin1Char('/')) &&
        (QDir(path).absolutePath() + QLatin1Char('/'))
            .startsWith(source.Folder().absolutePath() + QLatin1Char('/')))
        return QStringLiteral("the store folder is inside the index folder");
    return {};
}

QString StoreTarget::Copy(const IndexSource& source, CopyProgress& progress) {
    try {
        const std::unique_ptr<store::Store> s = store::OpenStore(Text());
        const QDir& folder = source.Folder();
        const store::PublishOutcome outcome =
            store::Publish(*s, folder.absoluteFilePath(QStringLiteral("index.db")),
                           folder.absoluteFilePath(QStringLiteral("index.previous.db")),
                           source.Settings().publishing, source.Publishing());
        progress.warnings = outcome.warnings;
        progress.bytes = QFileInfo(folder.absoluteFilePath(QStringLiteral("index.db"))).size();
        progress.sent = outcome.sent;
        progress.published = outcome.current;
        return {};
    } catch (const component::Error& e) {
        return e.Description();
    }
}

}  // namespace zarvik::propagation
