#include "ui/session_choice.h"

#include <QSpinBox>

#include <algorithm>
#include <limits>

QSpinBox* NewSessionChoice(QWidget* parent, const char* tip) {
    auto* box = new QSpinBox(parent);
    box->setRange(0, 0);
    box->setSpecialValueText(QStringLiteral("All sessions"));
    box->setPrefix(QStringLiteral("Session "));
    box->setToolTip(QString::fromLatin1(tip));
    box->hide();
    return box;
}

void ShowSessionChoice(QSpinBox* box, std::uint32_t count) {
    const auto top = std::min<std::uint32_t>(count, std::numeric_limits<int>::max());
    box->setMaximum(static_cast<int>(top));
    box->setVisible(count > 0);
}
