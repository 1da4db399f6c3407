#include "ui/flaghelp.h"

#include <QFont>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

#include <algorithm>

#include "text/parser.h"
#include "ui/dialog_parts.h"
#include "ui/latin1.h"
#include "text/integer.h"

namespace {

const char* const kFlagEntries[] = {
    "%A   - Abbreviated Weekday (MON,TUE,WED...)",
    "%B   - Abbreviated Month (JAN,FEB,MAR...)",
    "%#C  - Date & Time (MM/DD/YY HH:MM) (HH=00-23)",
    "%D   - Day of the Month (01-31)",
    "%F   - Single digit checksum",
    "%G   - Double digit checksum",
    "%H   - Hour of the Day (00-23)",
    "%I   - Hour of the Day (00-12)",
    "%J   - Julian Day of the Year (001-366)",
    "%L   - Last Digit of the Year (0-9)",
    "%M   - Month (01-12)",
    "%N   - Minutes of the Hour (00-59)",
    "%P   - AM or PM",
    "%Q   - Unique 9 digit number",
    "%R   - Week number",
    "%#S  - Serial Number (# = Number of Digits)",
    "%T   - Time of Day (HH:MM where HH=00-23)",
    "%W   - Weekday Number (1=Sunday to 7=Saturday)",
    "%#X  - Date (#2:MM/DD/YY, #4:MM/DD/YYYY)",
    "%#Y  - Year (#2:YY,  #4:YYYY)",
};

// The flags that take a digit count, by the letter after the "#".
struct DigitCountRow {
    char letter;
    const char* caption;
    const char* prompt;
    int lowest;
    int highest;
    int step;
};

const DigitCountRow kDigitCounts[] = {
    {'C', "Date and Time", "Enter the number of digits in the year", 2, 4, 2},
    {'S', "Serial Number", "Enter the number of digits in the serial number", 1, 9, 1},
    {'X', "Date", "Enter the number of digits in the year", 2, 4, 2},
    {'Y', "Year", "Enter the number of digits in the year", 2, 4, 2},
};

const DigitCountRow* DigitCountFor(const QString& flag) {
    if (flag.size() != 3 || flag[1] != '#') return nullptr;
    for (const DigitCountRow& row : kDigitCounts)
        if (flag[2] == QChar(row.letter)) return &row;
    return nullptr;
}

QString Expand(const QString& text) { return ToQString(Parser().Expand_flags(ToBytes(text))); }

// "%" then the digit count as typed, then the flag letter: "%4C".
QString WithDigitCount(const QString& digits, QChar letter) { return '%' + digits + letter; }

}  // namespace

DigitCountBox::DigitCountBox(QWidget* parent) : QAbstractSpinBox(parent) {
    setWrapping(true);
    lineEdit()->setObjectName("ValueEdit");
    lineEdit()->setMaxLength(2);
    lineEdit()->setText(QString::number(position_));
    setMinimumWidth(fontMetrics().horizontalAdvance("000") + 40);  // two digits and arrows
}

void DigitCountBox::SetRange(int lowest, int highest, int step) {
    lowest_ = lowest;
    highest_ = std::max(lowest, highest);
    step_ = std::max(1, step);
    position_ = std::clamp(position_, lowest_, highest_);
}

void DigitCountBox::stepBy(int steps) {
    // The arrows go on from what was typed, like the edit they belong to.
    const std::optional<std::int32_t> typed = ParseInteger(lineEdit()->text().toStdString());
    int position = std::clamp(typed ? *typed : position_, lowest_, highest_);
    for (int i = 0; i < std::abs(steps); ++i) {
        position += steps > 0 ? step_ : -step_;
        if (position > highest_) position = lowest_;
        if (position < lowest_) position = highest_;
    }
    position_ = position;
    lineEdit()->setText(QString::number(position_));
    emit Stepped();
}

QValidator::State DigitCountBox::validate(QString& input, int&) const {
    for (QChar c : input)
        if (!c.isDigit()) return QValidator::Invalid;
    return QValidator::Acceptable;
}

TFlagHelpForm::TFlagHelpForm(QWidget* parent) : QDialog(parent) {
    setObjectName("FlagHelpForm");
    setWindowTitle("Message Flags");
    FixedFrame(this, {632, 343});

    FlagListBox = Named(new QListWidget(this), "FlagListBox");
    QFont fixed("Courier New");
    fixed.setStyleHint(QFont::TypeWriter);
    fixed.setFixedPitch(true);
    FlagListBox->setFont(fixed);
    for (const char* entry : kFlagEntries) FlagListBox->addItem(QString::fromLatin1(entry));
    FlagListBox->setSelectionMode(QAbstractItemView::SingleSelection);
    connect(FlagListBox, &QListWidget::itemSelectionChanged, this,
            &TFlagHelpForm::FlagListBoxClick);
    connect(FlagListBox, &QListWidget::itemDoubleClicked, this, &TFlagHelpForm::InsertButtonClick);

    auto* editPanel = Named(new QWidget(this), "EditPanel");
    SampleEdit = Named(new QLineEdit(editPanel), "SampleEdit");
    SampleEdit->setReadOnly(true);
    QFont heavy("Arial Black");
    heavy.setStyleHint(QFont::SansSerif);
    heavy.setWeight(QFont::Black);
    heavy.setPointSize(14);
    SampleEdit->setFont(heavy);

    PromptGroupBox = Named(new QGroupBox(editPanel), "PromptGroupBox");
    PromptLabel = Named(new QLabel(PromptGroupBox), "PromptLabel");
    PromptLabel->setWordWrap(true);
    ValueUpDown = Named(new DigitCountBox(PromptGroupBox), "ValueUpDown");
    ValueEdit = ValueUpDown->Edit();
    PromptLabel->setBuddy(ValueUpDown);
    connect(ValueEdit, &QLineEdit::textEdited, this, &TFlagHelpForm::ValueEditChange);
    connect(ValueUpDown, &DigitCountBox::Stepped, this, &TFlagHelpForm::ValueEditChange);
    auto* promptLayout = new QVBoxLayout(PromptGroupBox);
    promptLayout->addWidget(PromptLabel);
    promptLayout->addWidget(ValueUpDown, 0, Qt::AlignLeft);
    PromptGroupBox->hide();

    auto* panelLayout = new QVBoxLayout(editPanel);
    panelLayout->addWidget(new QLabel("Sample", editPanel));
    panelLayout->addWidget(SampleEdit);
    panelLayout->addWidget(PromptGroupBox);
    panelLayout->addStretch();

    InsertButton = Named(new QPushButton("Insert", this), "InsertButton");
    InsertButton->setDefault(true);
    CancelButton = Named(new QPushButton("Cancel", this), "CancelButton");
    connect(InsertButton, &QPushButton::clicked, this, &TFlagHelpForm::InsertButtonClick);
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);

    auto* top = new QHBoxLayout;
    top->addWidget(FlagListBox, 3);
    top->addWidget(editPanel, 2);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(ButtonRow({InsertButton, CancelButton}));
}

bool TFlagHelpForm::Execute() { return exec() == QDialog::Accepted; }

void TFlagHelpForm::showEvent(QShowEvent* event) {
    // Otherwise the focus stays where the last showing left it, on Cancel perhaps, and Enter
    // would cancel instead of inserting.
    if (!event->spontaneous()) FlagListBox->setFocus();
    QDialog::showEvent(event);
}

QString TFlagHelpForm::SelectedFlag() const {
    const QList<QListWidgetItem*> selected = FlagListBox->selectedItems();
    if (selected.isEmpty()) return {};
    const QString entry = selected.first()->text();
    return entry.left(entry.indexOf(' '));
}

void TFlagHelpForm::FlagListBoxClick() {
    const QString flag = SelectedFlag();
    if (flag.isEmpty()) return;
    const DigitCountRow* row = DigitCountFor(flag);
    if (!row) {
        PromptGroupBox->hide();
        SampleEdit->setText(Expand(flag));
        return;
    }
    PromptLabel->setText(QString("%1 (%2-%3)")
                             .arg(QString::fromLatin1(row->prompt))
                             .arg(row->lowest)
                             .arg(row->highest));
    ValueUpDown->SetRange(row->lowest, row->highest, row->step);
    ValueEdit->setText(QString::number(ValueUpDown->Position()));
    SampleEdit->setText(Expand(WithDigitCount(ValueEdit->text(), QChar(row->letter))));
    PromptGroupBox->setTitle(QString::fromLatin1(row->caption));
    PromptGroupBox->show();
}

void TFlagHelpForm::ValueEditChange() {
    const DigitCountRow* row = DigitCountFor(SelectedFlag());
    if (!row) return;  // the digit count belongs to no flag now
    if (ValueEdit->text().isEmpty()) {
        SampleEdit->setText("<%#V>");
        return;
    }
    SampleEdit->setText(Expand(WithDigitCount(ValueEdit->text(), QChar(row->letter))));
}

void TFlagHelpForm::InsertButtonClick() {
    chosenText_.clear();
    const QString flag = SelectedFlag();
    if (const DigitCountRow* row = DigitCountFor(flag))
        chosenText_ = WithDigitCount(ValueEdit->text(), QChar(row->letter));
    else
        chosenText_ = flag;
    accept();
}
