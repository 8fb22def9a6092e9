// The dialog's own pictures, drawn in code: the logo and the window icon.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace maindialog {
QPixmap LogoPixmap();  // 66 x 38
QIcon WindowIcon();    // 32 x 32
}
