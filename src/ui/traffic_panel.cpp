#include "ui/traffic_panel.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFont>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QSplitter>
#include <QStyle>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>
#include <set>

#include "protocol/frame.h"
#include "ui/latin1.h"
#include "ui/session_choice.h"
#include "ui/traffic_model.h"

namespace {

constexpr int kSearchWidth = 120;  // the search's least width, with one session

}  // namespace

TrafficPanel::TrafficPanel(std::size_t bound, QWidget* parent)
    : QWidget(parent), model_(new TrafficModel(bound, this)), table_(new QTableView(this)) {
    DirectionBox = new QComboBox(this);
    DirectionBox->addItems({"Both ways", "Received", "Sent"});
    KindBox = new QComboBox(this);
    KindBox->addItems({"All kinds", "Messages", "ACK", "NAK", "Answers", "Stray bytes", "Faults"});
    TypeEdit = new QLineEdit(this);
    TypeEdit->setMaxLength(1);
    TypeEdit->setPlaceholderText("Type");
    TypeEdit->setMaximumWidth(50);
    StatusBox = new QComboBox(this);
    StatusBox->addItem("Any status");
    StatusBox->addItem("Errors only");
    for (int code = 0; code < kStatusCodeCount; ++code)
        StatusBox->addItem(QString::fromLatin1(StatusListText(code)).trimmed());
    SessionBox = NewSessionChoice(this, "Only the entries of this session.");
    SearchEdit = new QLineEdit(this);
    SearchEdit->setPlaceholderText("Search: text, <ETX> or hex 03 10");
    SearchEdit->setToolTip("Entries holding the text (control characters by name, as the list shows "
                           "them: <ETX>), or, for hexadecimal byte pairs such as 03 10, those bytes.");
    SearchEdit->setClearButtonEnabled(true);
    SearchEdit->setMinimumWidth(kSearchWidth);
    CaseBox = new QCheckBox("Aa", this);
    CaseBox->setToolTip("Match case: A and a differ.");
    CaseBox->setChecked(true);
    FollowBox = new QCheckBox("Follow", this);
    FollowBox->setChecked(true);
    FollowBox->setToolTip("Keep the newest entry in view.");
    PauseButton = new QPushButton("Pause", this);
    PauseButton->setCheckable(true);
    PauseButton->setToolTip(
        "Hold new entries back so that the list stays still; they are added on resume.");
    HexBox = new QCheckBox("Hex", this);
    HexBox->setToolTip("Show every entry's bytes in hex.");
    ClearButton = new QPushButton("Clear", this);
    CountLabel = new QLabel(this);
    // Widths that do not change with the texts: a growing count or "Resume" must not move
    // the buttons under the mouse.
    const QFontMetrics bar_metrics(font());
    PauseButton->setFixedWidth(std::max(PauseButton->sizeHint().width(),
                                        bar_metrics.horizontalAdvance("Resume") + 24));
    CountLabel->setFixedWidth(bar_metrics.horizontalAdvance("1000000 of 1000000, 1000000 held") + 6);
    CountLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    // Two lines, so that the view fits the window at its default width: what is shown, then
    // how.
    auto* filters = new QHBoxLayout;
    for (QWidget* w : std::initializer_list<QWidget*>{SessionBox, DirectionBox, KindBox, TypeEdit, StatusBox, SearchEdit, CaseBox})
        filters->addWidget(w);
    filters->setStretchFactor(SearchEdit, 1);
    SessionBox->setMaximumHeight(DirectionBox->sizeHint().height());
    auto* controls = new QHBoxLayout;
    for (QWidget* w : std::initializer_list<QWidget*>{FollowBox, PauseButton, HexBox, ClearButton})
        controls->addWidget(w);
    controls->addStretch(1);
    controls->addWidget(CountLabel);
    auto* bar = new QVBoxLayout;
    bar->setSpacing(2);
    bar->addLayout(filters);
    bar->addLayout(controls);

    table_->setModel(model_);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setWordWrap(false);
    table_->verticalHeader()->setVisible(false);
    // Fixed row heights: a million rows must not be measured one by one.
    table_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 4);
    table_->horizontalHeader()->setStretchLastSection(false);
    table_->horizontalHeader()->setSectionResizeMode(TrafficModel::TextColumn,
                                                     QHeaderView::Stretch);
    table_->setFont(QFont(QStringLiteral("Monospace"), 9));
    const QFontMetrics metrics(table_->font());
    const auto width = [&metrics](const char* sample) {
        return metrics.horizontalAdvance(QString::fromLatin1(sample)) + 14;
    };
    const std::pair<int, const char*> widths[] = {{TrafficModel::TimeColumn, "00:00:00.000000"},
                                                  {TrafficModel::DirectionColumn, "Dir"},
                                                  {TrafficModel::KindColumn, "Message"},
                                                  {TrafficModel::StatusColumn, "Comm Disabled"},
                                                  {TrafficModel::TypeColumn, "Type"},
                                                  {TrafficModel::BccColumn, "BCC (rx / calc)"},
                                                  {TrafficModel::LatencyColumn, "0000.000 ms"},
                                                  {TrafficModel::AttemptColumn, "Try"},
                                                  {TrafficModel::SessionColumn, "Session"}};
    for (const auto& [column, sample] : widths)
        table_->horizontalHeader()->resizeSection(column, width(sample));
    // The session after the time, shown once there have been several.
    QHeaderView* header = table_->horizontalHeader();
    header->moveSection(header->visualIndex(TrafficModel::SessionColumn),
                        header->visualIndex(TrafficModel::DirectionColumn));
    table_->setColumnHidden(TrafficModel::SessionColumn, true);

    BytesView = new QPlainTextEdit(this);
    BytesView->setReadOnly(true);
    BytesView->setFont(QFont(QStringLiteral("Monospace"), 9));
    BytesView->setPlaceholderText("The selected entry's bytes");

    auto* split = new QSplitter(Qt::Vertical, this);
    split->addWidget(table_);
    split->addWidget(BytesView);
    split->setStretchFactor(0, 4);
    split->setStretchFactor(1, 1);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->addLayout(bar);
    layout->addWidget(split);

    auto* copy = new QAction("Copy", table_);
    copy->setShortcut(QKeySequence::Copy);
    copy->setShortcutContext(Qt::WidgetShortcut);
    table_->addAction(copy);
    // The view would copy only its current cell on Ctrl+C: the key is taken here first.
    table_->installEventFilter(this);
    table_->setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(copy, &QAction::triggered, this, [this] { CopySelection(); });

    for (QComboBox* box : {DirectionBox, KindBox, StatusBox}) {
        connect(box, &QComboBox::currentIndexChanged, this, [this] { ApplyFilter(); });
    }
    connect(TypeEdit, &QLineEdit::textChanged, this, [this] { ApplyFilter(); });
    connect(SessionBox, &QSpinBox::valueChanged, this, [this] {
        ApplyFilter();
        emit SessionChosen(Session());
    });
    connect(SearchEdit, &QLineEdit::textChanged, this, [this] { ApplyFilter(); });
    connect(CaseBox, &QCheckBox::toggled, this, [this] { ApplyFilter(); });
    connect(PauseButton, &QPushButton::toggled, this, [this](bool on) { SetPaused(on); });
    connect(HexBox, &QCheckBox::toggled, model_, &TrafficModel::SetHex);
    connect(ClearButton, &QPushButton::clicked, this, [this] {
        model_->Clear();
        held_.clear();
        heldEntries_ = 0;
        BytesView->clear();
        UpdateCount();
    });
    connect(table_->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this] { ShowCurrent(); });
    UpdateCount();
}

bool TrafficPanel::eventFilter(QObject* watched, QEvent* event) {
    if (watched == table_ &&
        (event->type() == QEvent::ShortcutOverride || event->type() == QEvent::KeyPress) &&
        static_cast<QKeyEvent*>(event)->matches(QKeySequence::Copy)) {
        if (event->type() == QEvent::KeyPress) CopySelection();
        event->accept();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void TrafficPanel::AddBatch(const TrafficBatch& batch) {
    if (batch.entries.empty()) return;
    if (paused_) {
        held_.push_back(batch);
        heldEntries_ += batch.entries.size();
        // What the list could not keep anyway is let go at once.
        while (held_.size() > 1 &&
               heldEntries_ - held_.front().entries.size() >= model_->Store().Bound()) {
            heldEntries_ -= held_.front().entries.size();
            held_.pop_front();
        }
        UpdateCount();
        return;
    }
    model_->Append(batch);
    if (FollowBox->isChecked()) table_->scrollToBottom();
    UpdateCount();
}

void TrafficPanel::SetBound(std::size_t bound) {
    if (bound == model_->Store().Bound()) return;
    model_->SetBound(bound);
    UpdateCount();
}

void TrafficPanel::SetPaused(bool paused) {
    if (paused == paused_) return;
    paused_ = paused;
    if (PauseButton->isChecked() != paused) PauseButton->setChecked(paused);
    PauseButton->setText(paused ? "Resume" : "Pause");
    if (paused) return;
    std::deque<TrafficBatch> held;
    held.swap(held_);
    heldEntries_ = 0;
    for (const TrafficBatch& batch : held) model_->Append(batch);
    if (FollowBox->isChecked()) table_->scrollToBottom();
    UpdateCount();
}

void TrafficPanel::ShowProxyWays(bool proxy) {
    DirectionBox->setItemText(1, proxy ? QString::fromUtf8("A \u2192 B") : QStringLiteral("Received"));
    DirectionBox->setItemText(2, proxy ? QString::fromUtf8("B \u2192 A") : QStringLiteral("Sent"));
}

void TrafficPanel::ShowSessions(std::uint32_t count) {
    table_->setColumnHidden(TrafficModel::SessionColumn, count == 0);
    // The search makes room for the session choice before it shows: the view asks for no more
    // width than before, so a second peer does not widen the window.
    const int room = SessionBox->sizeHint().width() + std::max(0, style()->pixelMetric(QStyle::PM_LayoutHorizontalSpacing));
    SearchEdit->setMinimumWidth(count > 0 ? std::max(0, kSearchWidth - room) : kSearchWidth);
    ShowSessionChoice(SessionBox, count);
}

std::uint32_t TrafficPanel::Session() const {
    return static_cast<std::uint32_t>(SessionBox->value());
}

void TrafficPanel::ApplyFilter() {
    TrafficFilter filter;
    filter.direction = DirectionBox->currentIndex() - 1;
    static const unsigned kinds[] = {0x1F,   1u << 0, 1u << 1, 1u << 2, (1u << 1) | (1u << 2),
                                     1u << 3, 1u << 4};
    filter.kinds = kinds[std::clamp(KindBox->currentIndex(), 0, 6)];
    const std::string type = ToBytes(TypeEdit->text());
    filter.type = type.empty() ? -1 : static_cast<std::uint8_t>(type[0]);
    const int status = StatusBox->currentIndex();
    filter.status = status == 0 ? -1 : status == 1 ? TrafficFilter::kAnyError : status - 2;
    filter.patterns = TrafficSearchPatterns(ToBytes(SearchEdit->text()));
    filter.ignoreCase = !CaseBox->isChecked();
    filter.session = Session();
    model_->SetFilter(filter);
    BytesView->clear();
    if (FollowBox->isChecked()) table_->scrollToBottom();
    UpdateCount();
}

void TrafficPanel::ShowCurrent() {
    const QModelIndex current = table_->currentIndex();
    if (!current.isValid()) {
        BytesView->clear();
        return;
    }
    const std::uint64_t sequence = model_->SequenceOfRow(current.row());
    const TrafficEntry& entry = model_->Store().Entry(sequence);
    QString text = QStringLiteral("%1 %2, %3 bytes")
                       .arg(QString::fromUtf8(DirectionText(entry.direction, entry.proxy)),
                            QString::fromLatin1(KindText(entry.kind)))
                       .arg(entry.length);
    if (entry.latency >= 0)
        text += QStringLiteral(", %1 us after the message it answers").arg(entry.latency);
    if (entry.attempt > 0) text += QStringLiteral(", try %1").arg(entry.attempt);
    BytesView->setPlainText(text + "\n" +
                            ToQString(HexDump(model_->Store().Bytes(sequence), entry.length)));
}

QString TrafficPanel::SelectedText() const {
    std::set<int> rows;
    for (const QModelIndex& index : table_->selectionModel()->selectedRows())
        rows.insert(index.row());
    std::string text;
    for (int row : rows) text += model_->RowText(row);
    return ToQString(text);
}

void TrafficPanel::CopySelection() const {
    const QString text = SelectedText();
    if (!text.isEmpty()) QApplication::clipboard()->setText(text);
}

void TrafficPanel::UpdateCount() {
    QString text = QStringLiteral("%1 of %2").arg(model_->rowCount()).arg(model_->Store().Size());
    if (heldEntries_ > 0) text += QStringLiteral(", %1 held").arg(heldEntries_);
    CountLabel->setText(text);
}
