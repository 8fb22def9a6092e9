// Window layouts: positions and sizes in twips, the unit of the dialogs' design, and
// the dialog font those positions are measured for.
#pragma once

#include <QFont>
#include <QRect>
#include <QStringList>
#include <QtMath>

namespace platform {

// 15 twips make one pixel at 96 dots per inch.
inline QRect Twips(int left, int top, int width, int height) {
    auto px = [](int twips) { return qRound(twips / 15.0); };
    return {px(left), px(top), px(width), px(height)};
}

// The font the layouts are measured for: an 8-point sans serif with Arial's widths
// (Liberation Sans, which scripts/setup.sh installs). A wider default such as DejaVu
// Sans clips the labels and runs them into the controls beside them.
inline QFont DialogFont(qreal pointSize = 8.25) {
    QFont font;
    font.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("Arial"), QStringLiteral("MS Sans Serif")});
    font.setPointSizeF(pointSize);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

}  // namespace platform
