// Opens a web address with the desktop's default handler.
#pragma once

#include <QString>
#include <functional>

namespace platform {
// The result is ignored by design: nothing is reported if it fails.
void OpenLink(const QString& address);
// Tests: links go to the hook instead.
void SetOpenLinkHook(std::function<void(const QString&)> hook);
}
