#include "ui/sendfram.h"

#include <QApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QStyle>
#include <QToolButton>

#include <stdexcept>
#include <string>

#include "app/app_core.h"
#include "app/send_runs.h"
#include "protocol/frame.h"
#include "settings/preferences.h"
#include "ui/application.h"
#include "ui/latin1.h"
#include "ui/message_boxes.h"

TSendFrame::TSendFrame(QWidget* parent, Preferences& prefs, AppCore& core)
    : QFrame(parent), Handlers(this), prefs_(prefs), core_(core) {
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
    StopButton->setIcon(StopIcon());
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

    // Tab goes through what is typed, then to Send, then to Stop (skipped while disabled):
    // fill a row in and send it without the mouse. The response is read-only and left out;
    // a click still selects its text for copying.
    SendButton->setFocusPolicy(Qt::StrongFocus);
    StopButton->setFocusPolicy(Qt::StrongFocus);
    ReplyTextEdit->setFocusPolicy(Qt::ClickFocus);
    setTabOrder(MsgTypeEdit, MsgTextEdit);
    setTabOrder(MsgTextEdit, SendCountEdit);
    setTabOrder(SendCountEdit, DelayEdit);
    setTabOrder(DelayEdit, SendButton);
    setTabOrder(SendButton, StopButton);

    connect(SendButton, &QPushButton::clicked, this,
            [this] { RunGuarded([this] { SendButtonClick(SendButton); }); });
    connect(StopButton, &QToolButton::clicked, this, [this] { StopButtonClick(StopButton); });

    for (QLineEdit* edit : {MsgTypeEdit, MsgTextEdit, SendCountEdit, DelayEdit}) {
        connect(edit, &QLineEdit::textChanged, this, [this] {
            if (!loading_) StoreSettings();
        });
    }

    Handlers.AddHandler(EventId::ResponseAccepted, &TSendFrame::OnOutcome);
    Handlers.AddHandler(EventId::TransactionFailed, &TSendFrame::OnOutcome);
}

TSendFrame::~TSendFrame() {
    // A destructor cannot report; the only failure is a row index outside the settings'
    // slots, which the main window never gives.
    try {
        StoreSettings();
    } catch (const std::exception&) {
    }
}

void TSendFrame::LoadTexts() {
    const SendPrefs settings = prefs_.Get_send_prefs(RowIndex);
    loading_ = true;
    MsgTypeEdit->setText(ToQString(settings.Type));
    MsgTextEdit->setText(ToQString(settings.Msg));
    DelayEdit->setText(ToQString(settings.Delay));
    SendCountEdit->setText(ToQString(settings.Count));
    loading_ = false;
}

void TSendFrame::InitFromSettings() {
    LoadTexts();
    ReplyTextEdit->clear();
    CounterLabel->clear();
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

QIcon TSendFrame::StopIcon() {
    // A red square, which the style greys out while Stop is disabled: the two states look
    // different at a glance, which the theme's stop symbol did not.
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(0x80, 0x00, 0x00), 1));
    painter.setBrush(QColor(0xd0, 0x20, 0x20));
    painter.drawRoundedRect(QRectF(2.5, 2.5, 11, 11), 2, 2);
    return QIcon(pixmap);
}

bool TSendFrame::AskToRestart() {
    // A run going on is not restarted behind the user's back.
    if (!core_.Sends().RowSending(RowIndex)) return true;
    const SendRun* run = core_.Sends().RowRun(RowIndex);
    return MessageBoxes::Instance().Confirm(
        this, QStringLiteral("Row %1 is still sending (%2 / %3). Stop it and start again?")
                  .arg(RowIndex + 1)
                  .arg(SentSoFar(*run))
                  .arg(run->target));
}

std::int32_t TSendFrame::SentSoFar(const SendRun& run) {
    // A message still waiting in the engine's queue (behind another row's) has not gone yet.
    return run.sent - (run.state == SendState::Queued ? 1 : 0);
}

void TSendFrame::SendButtonClick(QObject* sender) {
    if (sender != nullptr && !AskToRestart()) return;
    StoreSettings();
    const RowStart start = core_.SendRow(RowIndex);
    Refresh();
    // The conversion error goes to the application's error box, as the toolkit's would.
    if (start.kind == RowStart::NotANumber) throw ConversionError(start.error);
    if (!start.Ok()) MessageBoxes::Instance().Error(this, ToQString(start.error));
}

void TSendFrame::StopButtonClick(QObject*) {
    StopRequested = true;
    core_.StopRow(RowIndex);
    StopButton->setEnabled(false);
    Refresh();
}

void TSendFrame::Refresh() {
    const SendRun* run = core_.Sends().RowRun(RowIndex);
    if (run == nullptr) {
        // The core was reset: the row's run is gone, and with it what the row showed of it.
        if (shown_.first != 0) {
            shown_ = {0, 0};
            CounterLabel->clear();
            ShowReply("", false);
            StopButton->setEnabled(false);
        }
        return;
    }
    TargetCount = run->target;
    SentCount = run->sent;
    DelayMs = run->delayMs;
    StopRequested = run->stopRequested;
    // A run whose first send failed has counted nothing; the counter keeps what it showed.
    if (run->sent > 0)
        CounterLabel->setText(QString::number(SentSoFar(*run)) + QStringLiteral(" / ") +
                              QString::number(TargetCount));
    const std::pair<std::uint64_t, std::int32_t> message{run->id, run->sent};
    if (run->state == SendState::Queued || run->state == SendState::Waiting) {
        // A message in flight: the last response goes (its colours stay until the next one).
        if (message != shown_) ReplyTextEdit->clear();
        shown_ = message;
        outcomeShown_ = false;
    } else if (message != shown_ || !outcomeShown_) {
        shown_ = message;
        outcomeShown_ = true;
        if (run->state == SendState::Accepted) ShowReply(run->response, false);
        if (run->state == SendState::Failed) ShowReply(run->response, true);
        // Given up after its time-outs: red as a failure, though the run stays on (Stop).
        if (run->state == SendState::TimedOut) ShowReply(StatusText(StatusTimeout), true);
    }
    StopButton->setEnabled(run->StopEnabled());
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

std::int32_t TSendFrame::OnOutcome(Event* event) {
    // The core has taken the outcome in already; the row shows where its run stands now.
    if (event->source == RowIndex) Refresh();
    return event->id;
}
