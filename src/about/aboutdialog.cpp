// The About box.
#include "about/aboutdialog.h"

#include "platform/messagebox.h"
#include "platform/dialoglayout.h"
#include "platform/openlink.h"

#include <QBitmap>
#include <QEvent>
#include <QFrame>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>

namespace about {

namespace {
using platform::Twips;

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, const QRect& geometry) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    label->setGeometry(geometry);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

// 80 x 105: a stack of index cards under a magnifying glass.
QPixmap AboutPicture() {
    QPixmap pixmap(80, 105);
    pixmap.fill(QColor(0xe8, 0xee, 0xf4));
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor ink(0x1f, 0x3a, 0x5f);
    for (int i = 2; i >= 0; --i) {
        p.setPen(QPen(ink, 1.2));
        p.setBrush(QColor(0xf4, 0xf1, 0xe6).darker(100 + i * 6));
        p.drawRoundedRect(QRectF(8 + i * 4, 14 + i * 8, 52, 40), 3, 3);
    }
    p.setPen(QPen(QColor(0xd9, 0x8e, 0x04), 2));
    p.drawLine(14, 24, 40, 24);
    p.setPen(QPen(ink.lighter(160), 2));
    for (int y = 32; y <= 48; y += 6) p.drawLine(14, y, 50, y);
    p.setPen(QPen(ink, 6, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(55, 78), QPointF(70, 96));
    p.setPen(QPen(ink, 4));
    p.setBrush(QColor(0xcf, 0xe6, 0xf7, 210));
    p.drawEllipse(QPointF(46, 66), 15, 15);
    return pixmap;
}

// A 32 x 32 monochrome hand with its hot spot at the tip of the finger (12, 9).
QCursor HandCursor() {
    QBitmap shape(32, 32);
    QBitmap mask(32, 32);
    shape.fill(Qt::color0);
    mask.fill(Qt::color0);
    QPainterPath hand;
    hand.addRoundedRect(QRectF(10, 7, 5, 14), 2.5, 2.5);   // pointing finger
    hand.addRoundedRect(QRectF(15, 14, 4, 8), 2, 2);       // folded fingers
    hand.addRoundedRect(QRectF(19, 15, 4, 7), 2, 2);
    hand.addRoundedRect(QRectF(23, 16, 4, 6), 2, 2);
    hand.addRoundedRect(QRectF(6, 17, 6, 5), 2, 2);        // thumb
    hand.addRoundedRect(QRectF(9, 19, 18, 10), 3, 3);      // palm
    hand.setFillRule(Qt::WindingFill);
    {
        QPainter pm(&mask);
        pm.setPen(QPen(Qt::color1, 2));
        pm.setBrush(Qt::color1);
        pm.drawPath(hand);
        QPainter ps(&shape);
        ps.setPen(QPen(Qt::color1, 1));
        ps.setBrush(Qt::NoBrush);
        ps.drawPath(hand);
    }
    return QCursor(shape, mask, 12, 9);
}
}  // namespace

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("AboutDialog"));
    setWindowTitle(QStringLiteral("About MyApp"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFixedSize(Twips(0, 0, 5730, 3210).size());
    setModal(true);
    setFont(platform::DialogFont());

    m_picture1 = MakeLabel(this, "Picture1", QString(), Twips(240, 240, 1200, 1575));
    m_picture1->setPixmap(AboutPicture());
    m_titleLabel = MakeLabel(this, "lblTitle", QStringLiteral("Application Title"), Twips(1560, 240, 3960, 330));
    QFont titleFont = m_titleLabel->font();
    titleFont.setBold(true);
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.3);
    m_titleLabel->setFont(titleFont);
    m_versionLabel = MakeLabel(this, "lblVersion", QStringLiteral("Version"), Twips(1560, 600, 3960, 255));
    MakeLabel(this, "lblDescription", QStringLiteral("Powered by SQLite FTS5"), Twips(1560, 900, 3960, 255));
    MakeLabel(this, "Label1",
                         QStringLiteral("SQLite, and with it the FTS5 full-text engine, has been dedicated to the "
                                        "public domain by its authors."),
                         Twips(1560, 1170, 3960, 480));
    m_urlLabel = MakeLabel(this, "lblURL", QStringLiteral("https://sqlite.org/fts5.html"), Twips(1560, 1680, 3960, 255));
    QFont linkFont = platform::DialogFont();
    linkFont.setUnderline(true);
    m_urlLabel->setFont(linkFont);
    QPalette linkPalette = m_urlLabel->palette();
    linkPalette.setColor(QPalette::WindowText, Qt::blue);
    m_urlLabel->setPalette(linkPalette);
    m_urlLabel->setCursor(HandCursor());
    m_urlLabel->installEventFilter(this);

    // An etched separator: a grey line with a white one right below it.
    for (int i = 0; i < 2; ++i) {
        auto* line = new QFrame(this);
        line->setObjectName(QStringLiteral("Line1_%1").arg(i));
        line->setGeometry(Twips(240, 2070 + i * 15, 5250, 15));
        line->setAutoFillBackground(true);
        QPalette pal = line->palette();
        pal.setColor(QPalette::Window, i == 0 ? QColor(0x80, 0x80, 0x80) : QColor(Qt::white));
        line->setPalette(pal);
    }
    MakeLabel(this, "lblDisclaimer",
                                QStringLiteral("Lumora Index Manager is free software under the MIT license. It is "
                                               "provided as is, without warranty of any kind."),
                                Twips(240, 2190, 3960, 840));
    m_okButton = new QPushButton(QStringLiteral("OK"), this);
    m_okButton->setObjectName(QStringLiteral("cmdOK"));
    m_okButton->setGeometry(Twips(4320, 2610, 1170, 375));
    m_okButton->setDefault(true);
    connect(m_okButton, &QPushButton::clicked, this, &AboutDialog::OnOkClicked);

    OnLoad();
}

QString AboutDialog::VersionLine(int major, int minor, int revision) {
    return QStringLiteral("Version ") + QString::number(major) + QLatin1Char('.') + QString::number(minor) +
           QLatin1Char('.') + QString::number(revision);
}

void AboutDialog::OnLoad() {
    setWindowTitle(QStringLiteral("About ") + platform::ApplicationTitle());
    m_versionLabel->setText(VersionLine(LUMORA_VERSION_MAJOR, LUMORA_VERSION_MINOR, LUMORA_VERSION_PATCH));
    m_titleLabel->setText(platform::ApplicationTitle());
}

void AboutDialog::OnOkClicked() { accept(); }

void AboutDialog::OnUrlClicked() { platform::OpenLink(m_urlLabel->text()); }

bool AboutDialog::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_urlLabel && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        OnUrlClicked();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

}  // namespace about
