#include "Pictures.h"

#include <QPainter>
#include <QPainterPath>

namespace {

const QColor Teal(0, 96, 112);
const QColor Amber(232, 160, 32);

// A chip with four legs on each side; Box is its body.
void DrawChip(QPainter& P, const QRectF& Box) {
    P.setPen(Qt::NoPen);
    P.setBrush(QColor(150, 150, 150));
    const double leg = Box.width() / 9;
    for (int i = 0; i < 4; ++i) {
        const double x = Box.left() + leg * (1 + 2 * i);
        P.drawRect(QRectF(x, Box.top() - leg, leg, leg));
        P.drawRect(QRectF(x, Box.bottom(), leg, leg));
    }
    P.setBrush(Teal);
    P.drawRoundedRect(Box, leg * 0.6, leg * 0.6);
    P.setBrush(Amber);
    P.drawEllipse(QRectF(Box.left() + leg * 0.8, Box.top() + leg * 0.8, leg * 1.4, leg * 1.4));
    P.setPen(QPen(Qt::white, std::max(1.0, leg * 0.5)));
    P.drawLine(QPointF(Box.center().x() - leg * 2, Box.bottom() - leg * 2),
               QPointF(Box.center().x() + leg * 2.5, Box.top() + leg * 2));
}

QPixmap Canvas(int Size = 16) {
    QPixmap pm(Size, Size);
    pm.fill(Qt::transparent);
    return pm;
}

}  // namespace

QPixmap LogoPixmap(const QSize& Size) {
    QPixmap pm(Size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const double h = Size.height();
    const double chip = h * 0.62;
    DrawChip(p, QRectF(h * 0.12, (h - chip) / 2, chip, chip));

    const double textLeft = h * 0.12 + chip + h * 0.18;
    const QRectF textBox(textLeft, 0, Size.width() - textLeft, h);
    QFont name("DejaVu Sans");
    name.setBold(true);
    name.setPixelSize(std::max(8, static_cast<int>(h * 0.36)));
    name.setLetterSpacing(QFont::PercentageSpacing, 105);
    p.setFont(name);
    p.setPen(Teal);
    p.drawText(textBox.adjusted(0, 0, 0, -h * 0.42), Qt::AlignLeft | Qt::AlignBottom, "TARNWICK");
    QFont line("DejaVu Sans");
    line.setPixelSize(std::max(6, static_cast<int>(h * 0.18)));
    p.setFont(line);
    p.setPen(QColor(90, 90, 90));
    p.drawText(textBox.adjusted(0, h * 0.62, 0, 0), Qt::AlignLeft | Qt::AlignTop, "instruments & control");
    p.setPen(QPen(Amber, std::max(1.0, h * 0.04)));
    p.drawLine(QPointF(textLeft, h * 0.6), QPointF(Size.width() - h * 0.1, h * 0.6));
    return pm;
}

QIcon StopIcon() {
    QPixmap pm = Canvas();
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QColor(120, 0, 0));
    p.setBrush(QColor(210, 40, 40));
    p.drawRoundedRect(QRectF(3.5, 3.5, 9, 9), 1.5, 1.5);
    return QIcon(pm);
}

QIcon SingleStepIcon() {
    QPixmap pm = Canvas();
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QColor(120, 90, 0));
    p.setBrush(QColor(240, 180, 30));
    QPainterPath tri;
    tri.moveTo(2.5, 3.5);
    tri.lineTo(9.5, 8);
    tri.lineTo(2.5, 12.5);
    tri.closeSubpath();
    p.drawPath(tri);
    p.drawRect(QRectF(10.5, 3.5, 2.5, 9));
    return QIcon(pm);
}

QIcon RunIcon() {
    QPixmap pm = Canvas();
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QColor(0, 100, 0));
    p.setBrush(QColor(40, 180, 40));
    QPainterPath tri;
    tri.moveTo(4, 2.5);
    tri.lineTo(13, 8);
    tri.lineTo(4, 13.5);
    tri.closeSubpath();
    p.drawPath(tri);
    return QIcon(pm);
}

QIcon ApplicationIcon() {
    QIcon icon;
    for (int size : {16, 32, 48}) {
        QPixmap pm = Canvas(size);
        QPainter p(&pm);
        p.setRenderHint(QPainter::Antialiasing);
        const double leg = size / 8.0;
        DrawChip(p, QRectF(leg * 0.5, leg * 1.2, size - leg, size - leg * 2.4));
        icon.addPixmap(pm);
    }
    return icon;
}
