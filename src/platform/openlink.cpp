// Opens a web address with the desktop's default handler.
#include "platform/openlink.h"

#include <QDesktopServices>
#include <QUrl>
#include <utility>

namespace platform {
namespace {
std::function<void(const QString&)>& Hook() {
    static std::function<void(const QString&)> hook;
    return hook;
}
}  // namespace

void SetOpenLinkHook(std::function<void(const QString&)> hook) { Hook() = std::move(hook); }

void OpenLink(const QString& address) {
    if (Hook()) {
        Hook()(address);
        return;
    }
    QDesktopServices::openUrl(QUrl(address));
}

}  // namespace platform
