// The store kind of target: the store layer does the work, this names the files.
#include "zarvik/propagation/storepublish.h"

#include <QDir>

#include "component/error.h"
#include "zarvik/store/publisher.h"

namespace zarvik::propagation {

QString PublishToStore(const PropagationTarget& target, const QString& indexPath,
                       std::atomic<qint64>& bytes) {
    try {
        const std::unique_ptr<store::Store> s = store::OpenStore(target.text);
        const QDir folder(indexPath);
        const store::PublishOutcome outcome =
            store::Publish(*s, folder.absoluteFilePath(QStringLiteral("index.db")),
                           folder.absoluteFilePath(QStringLiteral("index.previous.db")),
                           store::PublishSettings{}, QDir::tempPath());
        bytes = outcome.bytesUploaded;
        return {};
    } catch (const component::Error& e) {
        return e.Description();
    }
}

}  // namespace zarvik::propagation
