#include "ui/sendfram.h"

#include <QApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <QToolButton>

#include <limits>
#include <stdexcept>
#include <string>

#include "settings/preferences.h"
#include "text/parser.h"
#include "ui/application.h"
#include "ui/latin1.h"
#include "ui/message_boxes.h"

namespace {

// A whole decimal number in 32 bits with an optional sign; spaces around it are allowed.
// Anything else is the conversion error that the application's error box shows.
std::int32_t ToInteger(const QString& text) {
    const QString trimmed = text.trimmed();
    qsizetype pos = 0;
    const bool negative = trimmed.startsWith(QLatin1Char('-'));
    if (negative || trimmed.startsWith(QLatin1Char('+'))) ++pos;
    const std::int64_t limit = negative ? -std::int64_t{std::numeric_limits<std::int32_t>::min()}
                                        : std::int64_t{std::numeric_limits<std::int32_t>::max()};
    std::int64_t magnitude = 0;
    bool valid = pos < trimmed.size();
    for (; valid && pos < trimmed.size(); ++pos) {
        const char16_t c = trimmed.at(pos).unicode();
        valid = c >= u'0' && c <= u'9';
        magnitude = magnitude * 10 + (c - u'0');
        valid = valid && magnitude <= limit;
    }
    if (!valid) {
        // Local 8-bit, as the error box decodes it, so typed Latin-1 characters show whole.
        const QByteArray shown = text.toLocal8Bit();
        throw std::runtime_error("'" + std::string(shown.constData(), shown.size()) +
                                 "' is not a valid integer value");
    }
    return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

}  // namespace

TSendFrame::TSendFrame(QWidget* parent, Preferences& prefs)
    : QFrame(parent), Handlers(this), prefs_(prefs) {
    SendButton = new QPushButton(QStringLiteral("Send &1"), this);
    SendButton->setMinimumSize(75, 57);
    SendButton->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);

    const QFontMetrics metrics(font());
    const int frameAllowance = 12;  // the edit's frame and text margins
    TypeLabel = new QLabel(QStringLiteral("Msg Type"), this);
    MsgTypeEdit = new QLineEdit(this);
    MsgTypeEdit->setMaxLength(1);
    MsgTypeEdit->setFixedWidth(qMax(25, metrics.horizontalAdvance(QLatin1Char('W')) * 2 +
                                            frameAllowance));
    SendCountLabel = new QLabel(QStringLiteral("Count"), this);
    SendCountEdit = new QLineEdit(this);
    DelayLabel = new QLabel(QStringLiteral("Delay (mS)"), this);
    DelayEdit = new QLineEdit(this);
    const int numberWidth =
        qMax(49, metrics.horizontalAdvance(QStringLiteral("0000000")) + frameAllowance);
    SendCountEdit->setFixedWidth(numberWidth);
    DelayEdit->setFixedWidth(numberWidth);

    StopButton = new QToolButton(this);
    StopButton->setIcon(style()->standardIcon(QStyle::SP_MediaStop));
    StopButton->setToolTip(QStringLiteral("Stop"));
    StopButton->setAccessibleName(QStringLiteral("Stop"));
    StopButton->setFixedSize(23, 22);
    StopButton->setEnabled(false);
    CounterLabel = new QLabel(this);
    CounterLabel->setMinimumWidth(metrics.horizontalAdvance(QStringLiteral("000000 / 000000")));

    SendTextLabel = new QLabel(QStringLiteral("Send Text"), this);
    MsgTextEdit = new QLineEdit(this);
    MsgTextEdit->setMinimumWidth(200);
    ReplyTextLabel = new QLabel(QStringLiteral("Response"), this);
    ReplyTextEdit = new QLineEdit(this);
    ReplyTextEdit->setReadOnly(true);
    ShowReply(std::string(), false);

    SepPanel = new QFrame(this);
    SepPanel->setFrameShape(QFrame::HLine);
    SepPanel->setFrameShadow(QFrame::Sunken);
    SepPanel->setFixedHeight(3);

    Tick = new QTimer(this);
    Tick->setSingleShot(true);

    auto* settingsLine = new QHBoxLayout;
    settingsLine->setContentsMargins(0, 0, 0, 0);
    settingsLine->setSpacing(6);
    settingsLine->addWidget(MsgTypeEdit);
    settingsLine->addSpacing(16);
    settingsLine->addWidget(SendCountLabel);
    settingsLine->addWidget(SendCountEdit);
    settingsLine->addSpacing(16);
    settingsLine->addWidget(DelayLabel);
    settingsLine->addWidget(DelayEdit);
    settingsLine->addStretch(1);
    settingsLine->addWidget(StopButton);
    settingsLine->addWidget(CounterLabel);

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(16, 6, 16, 3);
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(3);
    grid->addWidget(SendButton, 0, 0, 3, 1);
    grid->addWidget(TypeLabel, 0, 1);
    grid->addLayout(settingsLine, 0, 2);
    grid->addWidget(SendTextLabel, 1, 1);
    grid->addWidget(MsgTextEdit, 1, 2);
    grid->addWidget(ReplyTextLabel, 2, 1);
    grid->addWidget(ReplyTextEdit, 2, 2);
    grid->addWidget(SepPanel, 3, 0, 1, 3);
    grid->setColumnStretch(2, 1);

    // Stop comes last so a run can be stopped from the keyboard too; it is skipped while
    // disabled.
    setTabOrder(SendButton, MsgTypeEdit);
    setTabOrder(MsgTypeEdit, MsgTextEdit);
    setTabOrder(MsgTextEdit, ReplyTextEdit);
    setTabOrder(ReplyTextEdit, SendCountEdit);
    setTabOrder(SendCountEdit, DelayEdit);
    setTabOrder(DelayEdit, StopButton);

    connect(SendButton, &QPushButton::clicked, this,
            [this] { RunGuarded([this] { SendButtonClick(SendButton); }); });
    connect(StopButton, &QToolButton::clicked, this, [this] { StopButtonClick(StopButton); });
    connect(Tick, &QTimer::timeout, this, [this] { RunGuarded([this] { TickTimer(Tick); }); });

    Handlers.AddHandler(EventId::ResponseAccepted, &TSendFrame::OnResponse);
    Handlers.AddHandler(EventId::TransactionFailed, &TSendFrame::OnFailure);
}

TSendFrame::~TSendFrame() {
    // A destructor cannot report; the only failure is a row index outside the settings'
    // slots, which the main window never gives.
    try {
        StoreSettings();
    } catch (const std::exception&) {
    }
}

void TSendFrame::InitFromSettings() {
    const SendPrefs settings = prefs_.Get_send_prefs(RowIndex);
    MsgTypeEdit->setText(ToQString(settings.Type));
    MsgTextEdit->setText(ToQString(settings.Msg));
    ReplyTextEdit->clear();
    CounterLabel->clear();
    DelayEdit->setText(ToQString(settings.Delay));
    SendCountEdit->setText(ToQString(settings.Count));
    SendButton->setText(QStringLiteral("Send &") + QString::number(RowIndex + 1));
    StopButton->setEnabled(false);
}

void TSendFrame::StoreSettings() {
    SendPrefs settings = prefs_.Get_send_prefs(RowIndex);
    settings.Type = ToBytes(MsgTypeEdit->text());
    settings.Msg = ToBytes(MsgTextEdit->text());
    settings.Count = ToBytes(SendCountEdit->text());
    settings.Delay = ToBytes(DelayEdit->text());
    prefs_.Set_send_prefs(RowIndex, settings);
}

void TSendFrame::SendButtonClick(QObject*) {
    TargetCount = ToInteger(SendCountEdit->text());
    if (TargetCount < 1) {
        MessageBoxes::Instance().Error(this, QStringLiteral("The count must be greater than zero."));
        return;
    }
    DelayMs = ToInteger(DelayEdit->text());
    if (DelayMs < 0) {
        MessageBoxes::Instance().Error(
            this, QStringLiteral("The delay time must be greater than or equal to zero."));
        return;
    }
    // A delayed send still pending from an earlier run would put a second message in
    // flight beside this run's first.
    Tick->stop();
    SentCount = 0;
    StopRequested = false;
    if (TargetCount > 1) StopButton->setEnabled(true);
    SendNext();
}

void TSendFrame::SendNext() {
    // Either failure leaves nothing in flight, so the run is over: no response will come
    // to continue it, and Stop would have nothing to stop.
    if (MsgTypeEdit->text().isEmpty()) {
        EndRun();
        MessageBoxes::Instance().Error(this, QStringLiteral("You must specify a message type."));
        return;
    }
    ReplyTextEdit->clear();
    const std::string type = ToBytes(MsgTypeEdit->text().left(1));
    Event event;
    event.id = EventId::SendBytes;
    event.value = static_cast<unsigned char>(type[0]);
    event.source = RowIndex;
    // A fresh parser per send: the time, the random digits and the serial number are
    // those of this send.
    event.text = Parser().Expand_flags(ToBytes(MsgTextEdit->text()));
    if (broker == nullptr) {
        EndRun();
        throw std::runtime_error("TSendFrame::SendButtonClick: Unassigned event broker.");
    }
    broker->PostEvent(event);
    ++SentCount;
    CounterLabel->setText(QString::number(SentCount) + QStringLiteral(" / ") +
                          QString::number(TargetCount));
}

void TSendFrame::TickTimer(QObject*) {
    Tick->stop();
    SendNext();
}

void TSendFrame::StopButtonClick(QObject*) {
    StopRequested = true;
    EndRun();
}

void TSendFrame::EndRun() {
    Tick->stop();
    StopButton->setEnabled(false);
}

void TSendFrame::ShowReply(const std::string& text, bool failed) {
    const QPalette standard = QApplication::palette();
    const QColor background = failed ? QColor(Qt::red) : standard.color(QPalette::ToolTipBase);
    const QColor foreground = failed ? QColor(Qt::white) : standard.color(QPalette::WindowText);
    QPalette palette = ReplyTextEdit->palette();
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        palette.setColor(group, QPalette::Base, background);
        palette.setColor(group, QPalette::Text, foreground);
    }
    ReplyTextEdit->setPalette(palette);
    ReplyTextEdit->setText(ToQString(text));
}

std::int32_t TSendFrame::OnResponse(Event* event) {
    if (event->source != RowIndex) return event->id;
    ShowReply(event->text, false);
    if (SentCount >= TargetCount || StopRequested) {
        StopButton->setEnabled(false);
    } else if (DelayMs == 0) {
        SendNext();
    } else {
        Tick->start(DelayMs);
    }
    return event->id;
}

std::int32_t TSendFrame::OnFailure(Event* event) {
    if (event->source != RowIndex) return event->id;
    ShowReply(event->text, true);
    EndRun();
    return event->id;
}
