#include "ui/elided_label.h"

#include <QPainter>
#include <QStyle>

namespace {
constexpr int kMinimumChars = 6;  // what a panel keeps when the window is narrow
}

ElidedLabel::ElidedLabel(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
}

void ElidedLabel::SetMark(const QColor& colour) {
    mark_ = colour;
    updateGeometry();
    update();
}

int ElidedLabel::MarkWidth() const {
    return mark_.isValid() ? fontMetrics().height() : 0;
}

QSize ElidedLabel::sizeHint() const {
    const QMargins m = contentsMargins();
    // Two pixels beyond the text: advances are fractional, and a text that just fits is not cut.
    const int width = fontMetrics().horizontalAdvance(text()) + MarkWidth() + m.left() + m.right() + 2 * margin() + 6;
    return {width, QLabel::sizeHint().height()};
}

QSize ElidedLabel::minimumSizeHint() const {
    const QMargins m = contentsMargins();
    const int width = fontMetrics().averageCharWidth() * kMinimumChars + MarkWidth() + m.left() + m.right();
    return {std::min(width, sizeHint().width()), QLabel::minimumSizeHint().height()};
}

QString ElidedLabel::ShownText() const {
    const int room = contentsRect().width() - 2 * margin() - MarkWidth() - 4;
    return fontMetrics().elidedText(text(), Qt::ElideRight, std::max(0, room));
}

void ElidedLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    drawFrame(&painter);
    QRect area = contentsRect().adjusted(margin() + 2, 0, -margin() - 2, 0);
    if (mark_.isValid()) {
        const int size = fontMetrics().height() * 2 / 3;
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(mark_);
        painter.drawEllipse(QRect(area.left(), area.center().y() - size / 2, size, size));
        area.setLeft(area.left() + MarkWidth());
    }
    painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, foregroundRole()));
    painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter, ShownText());
}
