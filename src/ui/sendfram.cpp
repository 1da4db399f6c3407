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

#include "app/event_hub.h"
#include "app/send_runs.h"
#include "settings/preferences.h"
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

    for (QLineEdit* edit : {MsgTypeEdit, MsgTextEdit, SendCountEdit, DelayEdit}) {
        connect(edit, &QLineEdit::textChanged, this, [this] {
            if (!loading_) StoreSettings();
        });
    }

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

void TSendFrame::UseRuns(SendRuns* runs) {
    sharedRuns_ = runs;
    ownRuns_.reset();
    ownHub_.reset();
    ownBroker_ = nullptr;
}

SendRuns& TSendFrame::Runs() {
    if (sharedRuns_ != nullptr) return *sharedRuns_;
    if (!ownRuns_ || ownBroker_ != broker) {
        ownHub_ = std::make_unique<EventHub>(1);
        Scheduler& timer = *this;  // Tick, through the private base
        ownRuns_ = std::make_unique<SendRuns>(prefs_, *broker, timer, *ownHub_, SystemMilliseconds);
        ownRuns_->SetHooks({[this](int) { Refresh(); },
                            [this](int, const std::string& error) {
                                MessageBoxes::Instance().Error(this, ToQString(error));
                            }});
        ownBroker_ = broker;
    }
    return *ownRuns_;
}

void TSendFrame::Post(std::function<void()> work, int delayMs) {
    tickWork_ = std::move(work);
    Tick->start(delayMs > 0 ? delayMs : 0);
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
    if (sharedRuns_ == nullptr && broker == nullptr) {
        // Nothing to send through; the type is checked first, as for any send.
        EndRun();
        if (MsgTypeEdit->text().isEmpty()) {
            MessageBoxes::Instance().Error(this,
                                           QStringLiteral("You must specify a message type."));
            return;
        }
        throw std::runtime_error("TSendFrame::SendButtonClick: Unassigned event broker.");
    }
    // A delayed send still pending from an earlier run would put a second message in
    // flight beside this run's first.
    Tick->stop();
    tickWork_ = nullptr;
    StoreSettings();
    const std::string error = Runs().StartRow(RowIndex);
    Refresh();
    if (!error.empty()) MessageBoxes::Instance().Error(this, ToQString(error));
}

void TSendFrame::SendNext() {
    if (sharedRuns_ == nullptr && broker == nullptr)
        throw std::runtime_error("TSendFrame::SendButtonClick: Unassigned event broker.");
    const std::string error = Runs().NextOfRow(RowIndex);
    Refresh();
    if (!error.empty()) MessageBoxes::Instance().Error(this, ToQString(error));
}

void TSendFrame::TickTimer(QObject*) {
    Tick->stop();
    std::function<void()> work = std::move(tickWork_);
    tickWork_ = nullptr;
    if (work) work();
}

void TSendFrame::StopButtonClick(QObject*) {
    StopRequested = true;
    if (SendRuns* runs = ActiveRuns()) runs->StopRow(RowIndex);
    EndRun();
    Refresh();
}

void TSendFrame::EndRun() {
    Tick->stop();
    tickWork_ = nullptr;
    StopButton->setEnabled(false);
}

SendRuns* TSendFrame::ActiveRuns() {
    return sharedRuns_ != nullptr ? sharedRuns_ : ownRuns_.get();
}

void TSendFrame::Refresh() {
    const SendRuns* runs = ActiveRuns();
    const SendRun* run = runs != nullptr ? runs->RowRun(RowIndex) : nullptr;
    if (run == nullptr) return;
    TargetCount = run->target;
    SentCount = run->sent;
    DelayMs = run->delayMs;
    StopRequested = run->stopRequested;
    // A run whose first send failed has counted nothing; the counter keeps what it showed.
    if (run->sent > 0)
        CounterLabel->setText(QString::number(SentCount) + QStringLiteral(" / ") +
                              QString::number(TargetCount));
    // A message in flight: the last response goes (its colours stay until the next one).
    // Responses themselves are shown by the event handlers.
    if (run->state == SendState::Queued || run->state == SendState::Waiting) ReplyTextEdit->clear();
    if (!run->running || run->stopRequested) {
        Tick->stop();
        tickWork_ = nullptr;
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

std::int32_t TSendFrame::OnResponse(Event* event) {
    if (event->source != RowIndex) return event->id;
    ShowReply(event->text, false);
    // The application core has taken the event in already; the row's own runs take it here
    // (and may send the next message at once, which empties the response again).
    if (sharedRuns_ == nullptr && broker != nullptr) Runs().OnEvent(*event);
    Refresh();
    return event->id;
}

std::int32_t TSendFrame::OnFailure(Event* event) {
    if (event->source != RowIndex) return event->id;
    ShowReply(event->text, true);
    if (sharedRuns_ == nullptr && broker != nullptr) Runs().OnEvent(*event);
    EndRun();
    Refresh();
    return event->id;
}
