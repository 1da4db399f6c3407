#pragma once

#include <QDialog>

#include "ui/dialogs.h"

class QLabel;
class QLineEdit;
class QPushButton;

// Shows the block check of a typed message type and text in several notations, and the whole
// packet with its control bytes by name. Not modal; keeps its contents between showings.
class TBccCalcForm : public QDialog, public BccCalculatorDialog {
    Q_OBJECT
public:
    explicit TBccCalcForm(QWidget* parent = nullptr);

    void ShowModeless() override;

    QLineEdit* TypeEdit;
    QLineEdit* MessageTextEdit;
    QPushButton* CalculateButton;
    QPushButton* CloseButton;
    QLabel* AsciiLabel;
    QLabel* DecimalLabel;
    QLabel* HexLabel;
    QLabel* BinaryLabel;
    QLineEdit* PacketEdit;

public slots:
    void CalculateButtonClick();
};
