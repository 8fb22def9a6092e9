// Window layouts are given in twips, the unit of the dialogs' design.
#pragma once

#include <QRect>
#include <QtMath>

namespace platform {

// 15 twips make one pixel at 96 dots per inch.
inline QRect Twips(int left, int top, int width, int height) {
    auto px = [](int twips) { return qRound(twips / 15.0); };
    return {px(left), px(top), px(width), px(height)};
}

}  // namespace platform
