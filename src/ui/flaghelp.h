#pragma once

#include <QAbstractSpinBox>
#include <QDialog>

#include "ui/dialogs.h"

class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

// The digit count field with its up-down arrows. Unlike a spin box it takes any digits, even
// outside the range, and may be left empty; the arrows wrap round at either end.
class DigitCountBox : public QAbstractSpinBox {
    Q_OBJECT
public:
    explicit DigitCountBox(QWidget* parent = nullptr);

    // A position outside the new range is moved into it.
    void SetRange(int lowest, int highest, int step);
    int Lowest() const { return lowest_; }
    int Highest() const { return highest_; }
    int Step() const { return step_; }
    int Position() const { return position_; }

    QLineEdit* Edit() const { return lineEdit(); }

    void stepBy(int steps) override;
    QValidator::State validate(QString& input, int& pos) const override;

signals:
    // The arrows (or the arrow keys) changed the digit count.
    void Stepped();

protected:
    StepEnabled stepEnabled() const override { return StepUpEnabled | StepDownEnabled; }

private:
    int lowest_ = 1;
    int highest_ = 10;
    int step_ = 1;
    int position_ = 1;
};

// Lists the message flags with a live sample of the selected one and hands the chosen flag
// back for insertion into a send row. The selection and digit count persist between showings.
class TFlagHelpForm : public QDialog, public FlagHelpDialog {
    Q_OBJECT
public:
    explicit TFlagHelpForm(QWidget* parent = nullptr);

    bool Execute() override;
    QString ChosenText() const override { return chosenText_; }

    QListWidget* FlagListBox;
    QLineEdit* SampleEdit;
    QGroupBox* PromptGroupBox;
    QLabel* PromptLabel;
    QLineEdit* ValueEdit;
    DigitCountBox* ValueUpDown;
    QPushButton* InsertButton;
    QPushButton* CancelButton;

public slots:
    void InsertButtonClick();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void FlagListBoxClick();
    void ValueEditChange();
    QString SelectedFlag() const;

    QString chosenText_;
};
