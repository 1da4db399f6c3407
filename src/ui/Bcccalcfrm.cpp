#include "ui/Bcccalcfrm.h"

#include <QFont>
#include <QFontDatabase>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <cstdint>
#include <string>

#include "text/parser.h"
#include "ui/dialog_parts.h"
#include "ui/latin1.h"
#include "ui/message_boxes.h"

namespace {

QLabel* ResultLabel(QWidget* parent, const char* name) {
    auto* label = Named(new QLabel(parent), name);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

}  // namespace

TBccCalcForm::TBccCalcForm(QWidget* parent) : QDialog(parent) {
    setObjectName("BccCalcForm");
    setWindowTitle("BCC Calculator");
    setModal(false);
    FixedFrame(this, {794, 260});

    TypeEdit = Named(new QLineEdit(this), "TypeEdit");
    TypeEdit->setMaxLength(1);
    TypeEdit->setMaximumWidth(40);
    MessageTextEdit = Named(new QLineEdit(this), "MessageTextEdit");
    AsciiLabel = ResultLabel(this, "AsciiLabel");
    DecimalLabel = ResultLabel(this, "DecimalLabel");
    HexLabel = ResultLabel(this, "HexLabel");
    BinaryLabel = ResultLabel(this, "BinaryLabel");
    PacketEdit = Named(new QLineEdit(this), "PacketEdit");
    PacketEdit->setReadOnly(true);
    PacketEdit->setFocusPolicy(Qt::ClickFocus);  // out of the Tab order, still copyable
    PacketEdit->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

    CalculateButton = Named(new QPushButton("Calculate", this), "CalculateButton");
    CalculateButton->setDefault(true);
    CloseButton = Named(new QPushButton("&Close", this), "CloseButton");
    connect(CalculateButton, &QPushButton::clicked, this, &TBccCalcForm::CalculateButtonClick);
    connect(CloseButton, &QPushButton::clicked, this, &QDialog::close);

    auto* inputs = new QFormLayout;
    inputs->addRow("Type", TypeEdit);
    inputs->addRow("Message Text", MessageTextEdit);
    auto* results = new QFormLayout;
    results->addRow("BCC as ASCII :", AsciiLabel);
    results->addRow("Decimal :", DecimalLabel);
    results->addRow("Hexadecimal :", HexLabel);
    results->addRow("Binary :", BinaryLabel);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(inputs);
    layout->addLayout(results);
    layout->addWidget(PacketEdit);
    layout->addStretch();
    layout->addLayout(ButtonRow({CalculateButton, CloseButton}));
}

void TBccCalcForm::ShowModeless() {
    if (!isVisible()) TypeEdit->setFocus();  // not the Close button it was closed with
    show();
    raise();
    activateWindow();
}

void TBccCalcForm::CalculateButtonClick() {
    if (TypeEdit->text().isEmpty()) {
        MessageBoxes::Instance().Error(this, "You must specify a message type character.");
        return;
    }
    const std::string type = ToBytes(TypeEdit->text());
    const std::string text = ToBytes(MessageTextEdit->text());

    // The text is summed as typed: flags and escapes are not expanded, nothing is escaped.
    std::uint8_t sum = static_cast<std::uint8_t>(type[0]);
    for (char c : text) sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(c));
    const char digits[3] = {static_cast<char>('0' + sum / 100),
                            static_cast<char>('0' + sum % 100 / 10),
                            static_cast<char>('0' + sum % 10)};

    QString ascii, decimal, hex, binary;
    for (char digit : digits) {
        const int code = static_cast<unsigned char>(digit);
        ascii += QString(QChar(digit)) + ' ';
        decimal += QString::number(code) + ' ';
        hex += "\\x" + QString("%1 ").arg(code, 2, 16, QChar('0')).toUpper();
        binary += QString("%1   ").arg(code, 8, 2, QChar('0'));
    }
    AsciiLabel->setText(ascii.chopped(1));
    DecimalLabel->setText(decimal.chopped(1));
    HexLabel->setText(hex.chopped(1));
    BinaryLabel->setText(binary);

    const std::string packet = "<SOH>" + type + "<STX>" + text + "<ETX>" +
                               std::string(digits, 3) + "<CR>";
    PacketEdit->setText(ToQString(Parser().Expand_flags(packet)));
}
