// Checks that every label and button of a window shows its whole text: the text fits
// its control at the control's font, and a label's text does not run into another
// control beside it.
#pragma once

#include <QAbstractButton>
#include <QFontMetrics>
#include <QLabel>
#include <QStyle>
#include <QWidget>
#include <climits>
#include <string>
#include <vector>

namespace testsupport {

// The font as a screen of dpi dots per inch shows it, on a platform that reports
// another resolution (the offscreen platform always reports 96): a point is dpi / 72
// pixels, so the same font at that resolution is the point size scaled.
inline QFont AtResolution(const QWidget& widget, int dpi) {
    QFont font = widget.font();
    if (font.pointSizeF() > 0) font.setPointSizeF(font.pointSizeF() * dpi / widget.logicalDpiY());
    return font;
}

// The rectangle, in the parent's coordinates, that a label's text covers.
inline QRect LabelTextRect(const QLabel& label, int dpi) {
    const QFontMetrics fm(AtResolution(label, dpi));
    const QRect r = label.geometry();
    const QRect inner = r.marginsRemoved(label.contentsMargins());
    QRect text;
    if (label.wordWrap()) {
        text = fm.boundingRect(QRect(0, 0, inner.width(), INT_MAX), Qt::TextWordWrap | Qt::AlignLeft, label.text());
    } else {
        text = QRect(0, 0, fm.horizontalAdvance(label.text()), fm.height());
    }
    const Qt::Alignment a = label.alignment();
    int x = inner.left();
    if (a & Qt::AlignRight) x = inner.right() + 1 - text.width();
    if (a & Qt::AlignHCenter) x = inner.left() + (inner.width() - text.width()) / 2;
    int y = inner.top() + (inner.height() - text.height()) / 2;
    if (a & Qt::AlignTop) y = inner.top();
    if (a & Qt::AlignBottom) y = inner.bottom() + 1 - text.height();
    return {x, y, text.width(), text.height()};
}

// One line per label or button whose text is clipped or overlaps a sibling, with the
// text measured at dpi dots per inch.
inline std::vector<std::string> LayoutProblems(const QWidget& window, int dpi) {
    std::vector<std::string> problems;
    auto name = [](const QWidget* w) { return w->objectName().toStdString(); };
    for (const QLabel* label : window.findChildren<QLabel*>()) {
        if (label->text().isEmpty() || !label->isVisibleTo(&window)) continue;
        const QRect text = LabelTextRect(*label, dpi);
        const QRect box = label->geometry().marginsRemoved(label->contentsMargins());
        if (!box.contains(text))
            problems.push_back(name(label) + ": \"" + label->text().toStdString() + "\" needs " +
                               std::to_string(text.width()) + "x" + std::to_string(text.height()) + ", has " +
                               std::to_string(box.width()) + "x" + std::to_string(box.height()));
        for (const QObject* other : label->parent()->children()) {
            const auto* sibling = qobject_cast<const QWidget*>(other);
            if (!sibling || sibling == label || sibling->isWindow() || !sibling->isVisibleTo(&window)) continue;
            if (sibling->geometry().intersects(text))
                problems.push_back(name(label) + ": \"" + label->text().toStdString() + "\" runs into " + name(sibling));
        }
    }
    for (const QAbstractButton* button : window.findChildren<QAbstractButton*>()) {
        if (button->text().isEmpty() || !button->isVisibleTo(&window)) continue;
        const QFontMetrics fm(AtResolution(*button, dpi));
        // The frame and the focus rectangle take this much on each side.
        const int margin = button->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button) / 2 +
                           button->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, button);
        const int needW = fm.horizontalAdvance(button->text()) + 2 * margin;
        const int needH = fm.height() + 2 * button->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, button);
        if (needW > button->width() || needH > button->height())
            problems.push_back(name(button) + ": \"" + button->text().toStdString() + "\" needs " +
                               std::to_string(needW) + "x" + std::to_string(needH) + ", has " +
                               std::to_string(button->width()) + "x" + std::to_string(button->height()));
    }
    return problems;
}

}  // namespace testsupport
