// The dialog's own pictures: a magnifying glass over an index card.
#include "maindialog/artwork.h"

#include <QPainter>
#include <QPainterPath>

namespace maindialog {
namespace {
const QColor kCard(0xf4, 0xf1, 0xe6);
const QColor kInk(0x1f, 0x3a, 0x5f);
const QColor kAccent(0xd9, 0x8e, 0x04);

void DrawLens(QPainter& p, QPointF centre, qreal radius) {
    p.setPen(QPen(kInk, radius * 0.28, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(centre + QPointF(radius * 0.7, radius * 0.7), centre + QPointF(radius * 1.6, radius * 1.6));
    p.setPen(QPen(kInk, radius * 0.22));
    p.setBrush(QColor(0xcf, 0xe6, 0xf7, 200));
    p.drawEllipse(centre, radius, radius);
}

// A transparent picture with the card's pen and brush set.
void PrepareCard(QPixmap& pixmap, QPainter& p) {
    pixmap.fill(Qt::transparent);
    p.begin(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(kInk, 1.5));
    p.setBrush(kCard);
}
}  // namespace

QPixmap LogoPixmap() {
    QPixmap pixmap(66, 38);
    QPainter p;
    PrepareCard(pixmap, p);
    p.drawRoundedRect(QRectF(2, 4, 44, 30), 3, 3);
    p.setPen(QPen(kInk.lighter(160), 2));
    for (int y = 12; y <= 28; y += 5) p.drawLine(8, y, 38, y);
    p.setPen(QPen(kAccent, 2));
    p.drawLine(8, 12, 22, 12);
    DrawLens(p, QPointF(46, 15), 10);
    p.end();
    return pixmap;
}

QIcon WindowIcon() {
    QPixmap pixmap(32, 32);
    QPainter p;
    PrepareCard(pixmap, p);
    p.drawRect(QRectF(2, 4, 20, 24));
    p.setPen(QPen(kAccent, 2));
    p.drawLine(6, 10, 17, 10);
    DrawLens(p, QPointF(19, 15), 7);
    p.end();
    return QIcon(pixmap);
}

}  // namespace maindialog
