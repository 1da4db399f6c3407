#include "ui/mainfrm.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDockWidget>
#include <QFile>
#include <QFileDialog>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QScrollArea>
#include <QShowEvent>
#include <QSplitter>
#include <QStatusBar>
#include <QStyle>
#include <QStyleOptionHeader>
#include <QTableView>
#include <QTime>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <string>

#include "app/app_core.h"
#include "app/send_runs.h"
#include "protocol/frame.h"
#include "settings/link_kind.h"
#include "settings/names.h"
#include "settings/preferences.h"
#include "text/integer.h"
#include "text/parser.h"
#include "ui/application.h"
#include "ui/latin1.h"
#include "ui/elided_label.h"
#include "ui/link_argument_dialog.h"
#include "ui/link_indicator.h"
#include "ui/message_boxes.h"
#include "ui/received_list_habits.h"
#include "ui/received_model.h"
#include "ui/sendfram.h"
#include "ui/capture_dialogs.h"
#include "ui/scenario_panel.h"
#include "ui/traffic_hub.h"
#include "ui/traffic_panel.h"

namespace {

constexpr int kRxPanelHeight = 175;
// Longest wait of a received message before it is listed, during a burst.
constexpr qint64 kListUpdateMs = 50;
// Widths of the list's columns but the message text; that one gets the rest.
constexpr int kColumnWidths[ReceivedListModel::ColumnCount] = {40, 110, 100, 45, 0, 55, 70, 160, 50};
constexpr int kOtherColumnsWidth = 420;

QToolButton* PictureButton(QWidget* parent, QStyle::StandardPixmap icon, const char* hint) {
    auto* button = new QToolButton(parent);
    button->setIcon(parent->style()->standardIcon(icon));
    button->setToolTip(QString::fromLatin1(hint));
    button->setAutoRaise(false);
    button->setFixedSize(23, 22);
    return button;
}

// The list's column headers, drawn without asking which columns are selected: Qt's own
// header asks for every section it paints, and the answer walks every row of the list.
class GridHeader : public QHeaderView {
public:
    explicit GridHeader(QWidget* parent) : QHeaderView(Qt::Horizontal, parent) {}

protected:
    void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override {
        if (!rect.isValid()) return;
        QStyleOptionHeader option;
        initStyleOption(&option);
        option.rect = rect;
        option.section = logicalIndex;
        option.text = model()->headerData(logicalIndex, Qt::Horizontal).toString();
        option.textAlignment = Qt::AlignLeft | Qt::AlignVCenter;
        const int visual = visualIndex(logicalIndex);
        option.position = count() == 1           ? QStyleOptionHeader::OnlyOneSection
                          : visual == 0           ? QStyleOptionHeader::Beginning
                          : visual == count() - 1 ? QStyleOptionHeader::End
                                                  : QStyleOptionHeader::Middle;
        style()->drawControl(QStyle::CE_Header, &option, painter, this);
    }
};

// Connects a control's signal to a handler; an error escaping the handler is shown in the
// application's error box.
template <typename Sender, typename Signal, typename Handler>
void Wire(Sender* sender, Signal signal, Handler handler) {
    QObject::connect(sender, signal, sender, [handler] { RunGuarded(handler); });
}

}  // namespace

TMainForm::TMainForm(Preferences& prefs, AppCore& core, QWidget* parent)
    : QMainWindow(parent), Handlers(this), prefs_(prefs), core_(core) {
    BuildControls();

    Handlers.AddHandler(EventId::Error, &TMainForm::ShowErrorText);
    Handlers.AddHandler(EventId::OpenFailed, &TMainForm::ShowErrorText);
    Handlers.AddHandler(EventId::MessageReceived, &TMainForm::AddReceivedMessage);
    Handlers.AddHandler(EventId::Status, &TMainForm::ShowStatusText);
    Handlers.AddHandler(EventId::SendText, &TMainForm::ShowSending);

    for (int code = 0; code < kStatusCodeCount; ++code)
        StatusTexts << QString::fromLatin1(StatusText(code));

    ApplyPlacement();

    auto* rows = new QWidget;
    SendScrollBox->setWidget(rows);
    auto* rowsLayout = new QVBoxLayout(rows);
    rowsLayout->setContentsMargins(0, 0, 0, 0);
    rowsLayout->setSpacing(5);
    for (int i = 0; i < kSendSlots; ++i) {
        auto* row = new TSendFrame(rows, prefs_, core_);
        row->setObjectName(QStringLiteral("SendFrame%1").arg(i));
        row->RowIndex = i;
        row->InitFromSettings();
        rowsLayout->addWidget(row);
        SendRows.append(row);
    }
    rowsLayout->addStretch(1);
    // Tab runs on from one row's Stop to the next row's type.
    for (int i = 1; i < SendRows.size(); ++i) setTabOrder(SendRows[i - 1]->StopButton, SendRows[i]->MsgTypeEdit);
    // However the docks crowd the window, two whole send rows stay in sight.
    TxPanel->setMinimumHeight(2 * SendRows[0]->sizeHint().height() + rowsLayout->spacing() +
                              2 * SendScrollBox->frameWidth());
    RxPanel->setMinimumHeight(110);

    BuildReceivedList();

    Traffic = new TrafficHub(this, core_, prefs_.Get_traffic_prefs());
    connect(Traffic->TrafficDock, &QDockWidget::visibilityChanged, this, [this](bool visible) {
        // Opened below, the traffic view takes less than half of the height, and never what
        // the rows and the list need.
        if (!visible || Traffic->TrafficDock->isFloating()) return;
        QDockWidget* dock = Traffic->TrafficDock;
        const int total = centralWidget()->height() + dock->height();
        const int most = total - centralWidget()->minimumSizeHint().height();
        const int least = dock->minimumSizeHint().height();
        if (most < least) return;
        resizeDocks({dock}, {qBound(least, total * 9 / 20, most)}, Qt::Vertical);
    });
    ListHabits->ApplySettings(prefs_.Get_traffic_prefs());
    connect(ListHabits, &ReceivedListHabits::FollowChanged, this, [this](bool on) {
        TrafficPrefs traffic = prefs_.Get_traffic_prefs();
        traffic.FollowNewest = on ? 1 : 0;  // kept for the next start
        prefs_.Set_traffic_prefs(traffic);
    });
    auto* view = new QMenu(QStringLiteral("&View"), this);
    menuBar()->insertMenu(menuBar()->actions().constLast(), view);  // before Help
    Traffic->AddViewItems(view);
    Scenario = new ScenarioPanel(this, core_);
    Scenario->AddViewItem(view);
    // After Batch Send, before the separator above Exit.
    const QList<QAction*> fileItems = FileMenu->actions();
    Scenario->AddFileItems(FileMenu, fileItems.at(fileItems.indexOf(ExitMenuItem) - 1));
    Captures = new CaptureMenu(this, core_);
    Captures->AddFileItems(FileMenu, fileItems.at(fileItems.indexOf(ExitMenuItem) - 1));
    connect(Scenario, &ScenarioPanel::ScriptError, this, [this](const QString& text) { ShowInFirstPanel(text); });
    statusBar()->addPermanentWidget(Captures->StatusLabel);
    statusBar()->addPermanentWidget(Traffic->HeldLabel);
    statusBar()->addPermanentWidget(Traffic->LogLabel);
    statusBar()->addPermanentWidget(Traffic->Indicator);

    // The window is a view over the core: it hears what the core took in and shows it.
    AppCore::Listener listener;
    listener.event = [this](const Event& event) {
        // The handlers take the event by pointer, as their maps are declared; none changes it.
        DispatchEvent(const_cast<Event&>(event));
    };
    listener.messagesAdded = [this] { ScheduleListUpdate(); };
    listener.messagesDropping = [this](std::size_t count) { ReceivedMessages->Dropping(count); };
    listener.messagesCleared = [this] {
        listUpdateTimer_->stop();
        ReceivedMessages->Cleared();
        ClearReceivedButton->setEnabled(false);
    };
    listener.linkChanged = [this] {
        // A message about the link before is not about this one.
        ShowInFirstPanel(QString());
        ShowCommSettings();
    };
    listener.rowChanged = [this](int row) { SendRows[row]->Refresh(); };
    listener.rowError = [this](int row, const std::string& error) {
        MessageBoxes::Instance().Error(SendRows[row], ToQString(error));
    };
    listener.rowSettingsChanged = [this](int row) { SendRows[row]->LoadTexts(); };
    TrafficHub* traffic = Traffic;
    listener.trafficReady = [traffic] { traffic->EntriesReady(); };
    CaptureMenu* captures = Captures;
    listener.captureChanged = [captures] { captures->Refresh(); };
    core_.SetListener(listener);
}

TMainForm::~TMainForm() {
    // The core outlives the window: it must not call into it any more.
    core_.SetListener({});

    DisplayPrefs display = prefs_.Get_display_prefs();
    if (shown_) display.RxHeight = TxRxSplitter->sizes().value(1, display.RxHeight);
    if (isMaximized()) {
        display.State = 2;
    } else if (isMinimized()) {
        display.State = 1;
    } else {
        display.State = 0;
        display.Left = x();
        display.Top = y();
        display.Height = height();
        display.Width = width();
    }
    prefs_.Set_display_prefs(display);

    // The rows store their texts as they go.
    qDeleteAll(SendRows);
    SendRows.clear();
}

void TMainForm::BuildControls() {
    setWindowTitle(QString::fromLatin1(kApplicationTitle));
    setGeometry(295, 120, 800, 560);
    BuildMenus();

    // The panels share what the window's width leaves: the message takes the rest, the
    // status its text's width, the link summary its own; a text that does not fit ends in
    // "…" with the whole in the tooltip, and no panel ever widens the window.
    for (int i = 0; i < 3; ++i) {
        StatusPanels[i] = new ElidedLabel(this);
        StatusPanels[i]->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
        StatusPanels[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        statusBar()->addWidget(StatusPanels[i], i == 0 ? 1 : 0);
    }
    StatusPanels[1]->setFixedWidth(StatusPanels[1]->fontMetrics().horizontalAdvance(
                                       QStringLiteral("DISABLED ERROR")) + 14);
    // The message gives way first: it takes what the others leave.
    StatusPanels[0]->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    statusBar()->setSizeGripEnabled(true);

    TxRxSplitter = new QSplitter(Qt::Vertical, this);
    TxRxSplitter->setObjectName(QStringLiteral("TxRxSplitter"));
    TxRxSplitter->setHandleWidth(3);
    TxRxSplitter->setChildrenCollapsible(false);

    TxPanel = new QWidget(TxRxSplitter);
    auto* txLayout = new QVBoxLayout(TxPanel);
    txLayout->setContentsMargins(0, 0, 0, 0);
    SendScrollBox = new QScrollArea(TxPanel);
    SendScrollBox->setObjectName(QStringLiteral("SendScrollBox"));
    SendScrollBox->setWidgetResizable(true);
    SendScrollBox->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    txLayout->addWidget(SendScrollBox);

    RxPanel = new QWidget(TxRxSplitter);
    RxPanel->setObjectName(QStringLiteral("RxPanel"));
    auto* rxLayout = new QGridLayout(RxPanel);
    rxLayout->setContentsMargins(8, 2, 8, 4);
    rxLayout->setHorizontalSpacing(9);
    rxLayout->setVerticalSpacing(2);
    Label1 = new QLabel(QStringLiteral("Received Messages"), RxPanel);
    ClearReceivedButton =
        PictureButton(RxPanel, QStyle::SP_TrashIcon, "Clear the list of received messages.");
    SaveButton = PictureButton(RxPanel, QStyle::SP_DialogSaveButton, "Save selected messages to a file.");
    ReceiveConfigureButton = PictureButton(RxPanel, QStyle::SP_FileDialogDetailedView,
                                           "Configure how received messages are handled.");
    auto* buttons = new QVBoxLayout;
    buttons->setSpacing(2);
    buttons->addWidget(ClearReceivedButton);
    buttons->addWidget(SaveButton);
    buttons->addSpacing(8);
    buttons->addWidget(ReceiveConfigureButton);
    buttons->addStretch(1);
    ReceivedMsgsGrid = new QTableView(RxPanel);
    ReceivedMsgsGrid->setObjectName(QStringLiteral("ReceivedMsgsGrid"));
    ShowNonPrintablesCheckBox = new QCheckBox(QStringLiteral("Show non-printable characters"), RxPanel);
    rxLayout->addWidget(Label1, 0, 1);
    rxLayout->addLayout(buttons, 1, 0);
    rxLayout->addWidget(ReceivedMsgsGrid, 1, 1);
    auto* checkBoxLine = new QHBoxLayout;
    checkBoxLine->addSpacing(16);
    checkBoxLine->addWidget(ShowNonPrintablesCheckBox);
    ListHabits = new ReceivedListHabits(ReceivedMsgsGrid, this);
    checkBoxLine->addWidget(ListHabits->FollowBox);
    checkBoxLine->addStretch(1);
    checkBoxLine->addWidget(ListHabits->SearchEdit, 1);
    rxLayout->addLayout(checkBoxLine, 2, 1);
    rxLayout->setColumnStretch(1, 1);
    rxLayout->setRowStretch(1, 1);

    TxRxSplitter->addWidget(TxPanel);
    TxRxSplitter->addWidget(RxPanel);
    // The lower half keeps its height when the window grows; the rows get the rest.
    TxRxSplitter->setStretchFactor(0, 1);
    TxRxSplitter->setStretchFactor(1, 0);
    TxRxSplitter->setSizes({560 - kRxPanelHeight, kRxPanelHeight});
    setCentralWidget(TxRxSplitter);

    Wire(ClearReceivedButton, &QToolButton::clicked, [this] { ClearReceivedButtonClick(); });
    Wire(SaveButton, &QToolButton::clicked, [this] { SaveButtonClick(); });
    Wire(ReceiveConfigureButton, &QToolButton::clicked, [this] { PreferencesMenuItemClick(ReceiveConfigureButton); });
}

void TMainForm::BuildMenus() {
    // Accelerator letters: without them Alt+F would type an "f" into the focused message
    // text, and it would go out with the next send.
    QMenu* file = FileMenu = menuBar()->addMenu(QStringLiteral("&File"));
    BatchSendMenuItem = file->addAction(QStringLiteral("&Batch Send"));
    file->addSeparator();
    ExitMenuItem = file->addAction(QStringLiteral("E&xit"));
    QMenu* setup = menuBar()->addMenu(QStringLiteral("&Setup"));
    PreferencesMenuItem = setup->addAction(QStringLiteral("&Preferences..."));
    QMenu* link = menuBar()->addMenu(QStringLiteral("&Link"));
    DropLinkMenuItem = link->addAction(QStringLiteral("&Drop TCP Connections"));
    BreakMenuItem = link->addAction(QStringLiteral("Send &Break"));
    XoffMenuItem = link->addAction(QStringLiteral("Hold the Peer with &XOFF..."));
    RawBytesMenuItem = link->addAction(QStringLiteral("Send &Raw Bytes..."));
    link->addSeparator();
    ReconnectMenuItem = link->addAction(QStringLiteral("Re&connect"));
    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    BCCCalcMenuItem = help->addAction(QStringLiteral("&BCC Calculator..."));
    FlagsHelpMenuItem = help->addAction(QStringLiteral("&Flags..."));
    help->addSeparator();
    AboutMenuItem = help->addAction(QStringLiteral("&About..."));

    Wire(BatchSendMenuItem, &QAction::triggered, [this] { BatchSendMenuItemClick(); });
    Wire(ExitMenuItem, &QAction::triggered, [this] { ExitMenuItemClick(); });
    Wire(PreferencesMenuItem, &QAction::triggered, [this] { PreferencesMenuItemClick(PreferencesMenuItem); });
    Wire(BCCCalcMenuItem, &QAction::triggered, [this] { BCCCalcMenuItemClick(); });
    Wire(FlagsHelpMenuItem, &QAction::triggered, [this] { FlagsHelpMenuItemClick(); });
    Wire(AboutMenuItem, &QAction::triggered, [this] { AboutMenuItemClick(); });
    Wire(DropLinkMenuItem, &QAction::triggered, [this] { PostLinkAction(LinkActionCode::DropConnections, {}); });
    Wire(BreakMenuItem, &QAction::triggered, [this] { PostLinkAction(LinkActionCode::SendBreak, {}); });
    Wire(ReconnectMenuItem, &QAction::triggered, [this] { PostLinkAction(LinkActionCode::Reconnect, {}); });
    Wire(XoffMenuItem, &QAction::triggered, [this] {
        LinkArgumentRequest request;
        request.title = QStringLiteral("Hold the Peer with XOFF");
        request.label = QStringLiteral("&Milliseconds until XON:");
        request.note = QStringLiteral("XOFF goes out now and XON this many milliseconds later (0 to %1).")
                           .arg(FaultLimit::kMaxMs);
        request.check = [](const QString& text, int&, int&) { return HoldTimeProblem(ToBytes(text)); };
        if (const auto ms = AskLinkArgument(request)) PostLinkAction(LinkActionCode::HoldWithXoff, ToBytes(*ms));
    });
    Wire(RawBytesMenuItem, &QAction::triggered, [this] {
        LinkArgumentRequest request;
        request.title = QStringLiteral("Send Raw Bytes");
        request.label = QStringLiteral("&Bytes:");
        request.note = QStringLiteral(
            "Sent as typed, outside any frame. Escapes: \\r \\n \\t, \\xHH (two hexadecimal "
            "digits), \\<SOH> (a control character by name), \\\\ (a backslash). Raw bytes take "
            "no flags: a % is sent as it is.");
        request.check = [](const QString& text, int& at, int& length) {
            const RawBytes raw = ParseRawBytes(ToBytes(text));
            at = static_cast<int>(raw.errorAt);
            length = static_cast<int>(raw.errorLength);
            return raw.Ok() ? QString() : ToQString(raw.error);
        };
        if (const auto text = AskLinkArgument(request)) {
            const RawBytes raw = ParseRawBytes(ToBytes(*text));
            if (raw.Ok()) PostLinkAction(LinkActionCode::SendRaw, raw.bytes);
        }
    });
    AskLinkArgument = [this](const LinkArgumentRequest& request) -> std::optional<QString> {
        TLinkArgumentForm dialog(request, this);
        if (dialog.exec() != QDialog::Accepted) return std::nullopt;
        return dialog.Text();
    };
}

QString TMainForm::HoldTimeProblem(const std::string& text) {
    const auto ms = ParseInteger(text);
    if (!ms) return ToQString(NotAnIntegerText(text));
    if (*ms < 0 || *ms > FaultLimit::kMaxMs)
        return QStringLiteral("The time must be 0 to %1 milliseconds.").arg(FaultLimit::kMaxMs);
    return {};
}

void TMainForm::UpdateLinkMenu() {
    // Only what the link in use can do.
    for (const auto& [item, code] : {std::pair{DropLinkMenuItem, LinkActionCode::DropConnections},
                                     std::pair{BreakMenuItem, LinkActionCode::SendBreak},
                                     std::pair{XoffMenuItem, LinkActionCode::HoldWithXoff},
                                     std::pair{RawBytesMenuItem, LinkActionCode::SendRaw},
                                     std::pair{ReconnectMenuItem, LinkActionCode::Reconnect}})
        item->setEnabled(core_.CannotDo(code).empty());
}

void TMainForm::PostLinkAction(std::int32_t code, const std::string& argument) {
    LinkActionArgs args;
    if (code == LinkActionCode::HoldWithXoff) {
        if (const QString problem = HoldTimeProblem(argument); !problem.isEmpty()) {
            MessageBoxes::Instance().Error(this, problem);
            return;
        }
        args.ms = *ParseInteger(argument);
    } else if (code == LinkActionCode::SendRaw) {
        args.bytes = argument;
    }
    if (const std::string refused = core_.LinkAction(code, args); !refused.empty()) ShowInFirstPanel(ToQString(refused));
}

void TMainForm::BuildReceivedList() {
    ReceivedMessages = new ReceivedListModel(core_.Messages(), this);
    ReceivedMessages->SetRemover([this](std::size_t first, std::size_t last) {
        core_.RemoveMessages(first, last);
    });
    connect(ShowNonPrintablesCheckBox, &QCheckBox::toggled, this,
            [this](bool on) { core_.SetShowNonPrintables(on); });
    listUpdateTimer_ = new QTimer(this);
    listUpdateTimer_->setSingleShot(true);
    connect(listUpdateTimer_, &QTimer::timeout, this, [this] { FlushReceivedMessages(); });
    QTableView* grid = ReceivedMsgsGrid;
    grid->setHorizontalHeader(new GridHeader(grid));
    grid->setModel(ReceivedMessages);
    grid->setFont(QFont(QStringLiteral("Courier New"), 10));
    grid->setSelectionBehavior(QAbstractItemView::SelectRows);
    grid->setSelectionMode(QAbstractItemView::ContiguousSelection);
    grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grid->setWordWrap(false);
    grid->setTextElideMode(Qt::ElideNone);  // cut at the cell's edge, as typed texts are
    grid->setShowGrid(true);
    grid->setCornerButtonEnabled(false);
    // The number column stands in for the grid's fixed column.
    grid->verticalHeader()->hide();
    // Every row is one line high: the view never measures rows, whatever their number.
    grid->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    grid->verticalHeader()->setDefaultSectionSize(QFontMetrics(grid->font()).height() + 3);
    grid->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    grid->horizontalHeader()->setStretchLastSection(false);
    grid->horizontalHeader()->setHighlightSections(false);
    for (int c = 0; c < ReceivedListModel::ColumnCount; ++c) {
        if (c != ReceivedListModel::TextColumn) grid->setColumnWidth(c, kColumnWidths[c]);
    }
    // The way (shown for the proxy only) beside the type, where it is read with it.
    grid->horizontalHeader()->moveSection(ReceivedListModel::WayColumn, ReceivedListModel::TypeColumn);
    grid->setColumnHidden(ReceivedListModel::WayColumn, !LinkCan(prefs_.Get_comm_prefs()).proxy);
    // The message text takes what the others leave of the grid; set once, at the first show.
    grid->setColumnWidth(ReceivedListModel::TextColumn, 295);

    GridPopupMenu = new QMenu(this);
    CopyPopupMenuItem = GridPopupMenu->addAction(QStringLiteral("Copy"));
    CopyPopupMenuItem->setShortcut(QKeySequence::Copy);  // shown; the list takes the key itself
    CopyPopupMenuItem->setShortcutContext(Qt::WidgetShortcut);
    SelectAllPopupMenuItem = GridPopupMenu->addAction(QStringLiteral("Select All"));
    SelectAllPopupMenuItem->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_A));
    DeletePopupMenuItem = GridPopupMenu->addAction(QStringLiteral("Delete"));
    DeletePopupMenuItem->setShortcut(QKeySequence(Qt::Key_Delete));
    GridPopupMenu->addSeparator();
    ClearPopupMenuItem = GridPopupMenu->addAction(QStringLiteral("Clear"));
    // The shortcuts work while the grid has the focus, menu open or not.
    for (QAction* action : {SelectAllPopupMenuItem, DeletePopupMenuItem}) {
        action->setShortcutContext(Qt::WidgetShortcut);
        grid->addAction(action);
    }
    Wire(CopyPopupMenuItem, &QAction::triggered, [this] { ListHabits->CopySelection(); });
    Wire(SelectAllPopupMenuItem, &QAction::triggered, [this] { SelectAllPopupMenuItemClick(); });
    Wire(DeletePopupMenuItem, &QAction::triggered, [this] { DeletePopupMenuItemClick(); });
    Wire(ClearPopupMenuItem, &QAction::triggered, [this] { ClearReceivedButtonClick(); });
    grid->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(grid, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        GridPopupMenu->popup(ReceivedMsgsGrid->viewport()->mapToGlobal(at));
    });
}

// A stored placement whose title bar lies on no screen (a file from a larger desktop, a
// monitor since unplugged) would open the window out of reach: it goes to the middle of the
// primary screen instead, at its stored size if that fits there.
QRect TMainForm::ReachablePlacement(const QRect& stored) {
    // The strip the title bar takes, and how much of it must show to be dragged.
    constexpr int kTitleHeight = 30;
    constexpr int kGripWidth = 40;
    constexpr int kGripHeight = 10;
    const QRect title(stored.left(), stored.top(), stored.width(), kTitleHeight);
    const QList<QScreen*> screens = QGuiApplication::screens();
    for (const QScreen* screen : screens) {
        const QRect shown = title.intersected(screen->availableGeometry());
        if (shown.width() >= qMin(kGripWidth, stored.width()) && shown.height() >= kGripHeight)
            return stored;
    }
    const QScreen* primary = QGuiApplication::primaryScreen();
    if (primary == nullptr) return stored;
    const QRect area = primary->availableGeometry();
    const QSize size = stored.size().boundedTo(area.size());
    return QRect(area.left() + (area.width() - size.width()) / 2,
                 area.top() + (area.height() - size.height()) / 2, size.width(), size.height());
}

void TMainForm::ApplyPlacement() {
    const DisplayPrefs display = prefs_.Get_display_prefs();
    const QRect placement =
        ReachablePlacement(QRect(display.Left, display.Top, display.Width, display.Height));
    move(placement.topLeft());
    resize(placement.size());
    // The list's height as the user left it last time.
    const int rxHeight = display.RxHeight > 0 ? display.RxHeight : kRxPanelHeight;
    TxRxSplitter->setSizes({qMax(0, placement.height() - rxHeight), rxHeight});
    if (display.State == 2) {
        setWindowState(Qt::WindowMaximized);
    } else if (display.State == 1) {
        setWindowState(Qt::WindowMinimized);
    }
}

void TMainForm::SetDialogs(const MainFormDialogs& dialogs) { dialogs_ = dialogs; }


// ---- events -----------------------------------------------------------------------------

void TMainForm::DispatchEvent(Event& event) {
    if (event.id == EventId::LinkState) {
        // A connection made since a message about the link (one that closed, one that failed)
        // makes that message old news.
        if (const auto* state = std::get_if<LinkState>(&event.payload)) {
            if (LinkState::Gained(linkShown_, *state)) ShowInFirstPanel(QString());
            linkShown_ = *state;
        }
    }
    Handlers.CallHandler(event.id, &event);
    for (TSendFrame* row : SendRows) row->Handlers.CallHandler(event.id, &event);
    Traffic->OnEvent(event);
}

std::int32_t TMainForm::ShowErrorText(Event* event) {
    ShowInFirstPanel(ToQString(event->text));
    return event->id;
}

// The panel is 400 pixels wide and cuts a longer text; its tooltip holds the whole.
void TMainForm::ShowInFirstPanel(const QString& text) {
    StatusPanels[0]->setText(text);
    StatusPanels[0]->setToolTip(text);
}

std::int32_t TMainForm::ShowStatusText(Event* event) {
    const int code = event->value;
    // The engine sends only codes it has texts for; anything else shows its number.
    const QString text = code >= 0 && code < StatusTexts.size()
                             ? StatusTexts.at(code)
                             : QStringLiteral("UNKNOWN STATUS %1").arg(code);
    // Once per message in a flood: only a change costs anything.
    if (StatusPanels[1]->text() != text) {
        StatusPanels[1]->setText(text);
        StatusPanels[1]->setToolTip(text);
    }
    return event->id;
}

std::int32_t TMainForm::ShowSending(Event* event) {
    StatusPanels[1]->setText(QStringLiteral("Sending..."));
    return event->id;
}

std::int32_t TMainForm::AddReceivedMessage(Event* event) {
    // The core has the message already; the list shows it with the others of its burst.
    ClearReceivedButton->setEnabled(true);
    return event->id;
}

void TMainForm::ScheduleListUpdate() {
    // The first message after a quiet spell is listed at once; during a burst the list is
    // brought up to date every 50 ms.
    ClearReceivedButton->setEnabled(true);
    if (listUpdateTimer_->isActive()) return;
    const qint64 since = lastListUpdate_.isValid() ? lastListUpdate_.elapsed() : kListUpdateMs;
    if (since >= kListUpdateMs) {
        FlushReceivedMessages();
    } else {
        listUpdateTimer_->start(static_cast<int>(kListUpdateMs - since));
    }
}

void TMainForm::FlushReceivedMessages() {
    listUpdateTimer_->stop();
    const int firstNew = ReceivedMessages->MessageCount();
    if (ReceivedMessages->ShowNew() == 0) return;
    ListHabits->AfterAdd(firstNew);
    lastListUpdate_.start();
    if (!ListHabits->Following()) return;
    const int row = ReceivedMessages->MessageCount() - 1;
    const QModelIndex current = ReceivedMessages->index(row, ReceivedListModel::NumberColumn);
    ReceivedMsgsGrid->selectionModel()->setCurrentIndex(
        current, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    ReceivedMsgsGrid->scrollTo(current);
}

void TMainForm::PostReplyActions() {
    core_.PostReplyActions();
}

void TMainForm::ShowCommSettings() {
    // The way a message went shows only where there are two ways: between the proxy's sides.
    const bool proxy = LinkCan(core_.Link()).proxy;
    ReceivedMsgsGrid->setColumnHidden(ReceivedListModel::WayColumn, !proxy);
    if (Traffic != nullptr) Traffic->Traffic->ShowProxyWays(proxy);
    const QString summary = ToQString(LinkSummaryText(prefs_.Get_comm_prefs()));
    StatusPanels[2]->setText(summary);
    StatusPanels[2]->setToolTip(summary);
    UpdateLinkMenu();
}

// ---- showing and closing ----------------------------------------------------------------

void TMainForm::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!shown_) {
        shown_ = true;
        FormShow();
    }
}

void TMainForm::FormShow() {
    ClearReceivedButton->setEnabled(false);
    for (TSendFrame* row : SendRows) row->setVisible(true);
    // The message text column takes the width the grid has now.
    const int rest = ReceivedMsgsGrid->width() - kOtherColumnsWidth - 30;
    if (rest > 0) ReceivedMsgsGrid->setColumnWidth(ReceivedListModel::TextColumn, rest);
    ShowCommSettings();
    // Settings the file held out of range, replaced by their defaults: said once, all of them
    // in the tooltip.
    if (const auto& warnings = prefs_.LoadWarnings(); !warnings.empty()) {
        QStringList all, keys;
        for (const SettingWarning& warning : warnings) {
            all << QString::fromLocal8Bit(warning.text.c_str());
            keys << QString::fromLocal8Bit(warning.setting.c_str());
        }
        ShowInFirstPanel("Default used for " + keys.join(", "));
        StatusPanels[0]->setToolTip(all.join('\n'));
    }
}

void TMainForm::closeEvent(QCloseEvent* event) {
    if (FormCloseQuery()) {
        event->accept();
        emit Closed();
    } else {
        event->ignore();
    }
}

bool TMainForm::FormCloseQuery() {
    ShowInFirstPanel(QStringLiteral("Closing Control thread..."));
    StatusPanels[0]->repaint();
    // The link stops being read, everything read before is recorded and logged, and the
    // control thread ends.
    core_.Shutdown();
    FlushReceivedMessages();
    ShowInFirstPanel(QString());
    StatusPanels[0]->repaint();
    return true;
}

// ---- menus ------------------------------------------------------------------------------

void TMainForm::BatchSendMenuItemClick() {
    for (TSendFrame* row : SendRows) row->StoreSettings();
    // Rows whose runs go on are started again only when the user says so.
    QStringList running;
    for (TSendFrame* row : SendRows) {
        const SendRun* run = core_.Sends().RowRun(row->RowIndex);
        if (run != nullptr && run->running && !row->MsgTypeEdit->text().isEmpty())
            running << QString::number(row->RowIndex + 1);
    }
    if (!running.isEmpty() &&
        !MessageBoxes::Instance().Confirm(
            this, QStringLiteral("%1 %2 still sending. Stop and start every row again?")
                      .arg(running.size() == 1 ? QStringLiteral("Row") : QStringLiteral("Rows"),
                           running.join(QStringLiteral(", ")) + (running.size() == 1 ? " is" : " are"))))
        return;
    for (const AppCore::BatchResult& result : core_.BatchSend()) {
        TSendFrame* row = SendRows[result.row];
        row->Refresh();
        // A count or delay that is not a number ends the batch with the conversion error,
        // shown in the application's error box; the other refusals each get their box.
        if (result.start.kind == RowStart::NotANumber) throw ConversionError(result.start.error);
        if (!result.start.Ok()) MessageBoxes::Instance().Error(row, ToQString(result.start.error));
    }
}

void TMainForm::ExitMenuItemClick() { close(); }

void TMainForm::PreferencesMenuItemClick(QObject* sender) {
    PreferencesDialog* dialog = dialogs_.preferences;
    if (dialog == nullptr) return;
    if (sender == PreferencesMenuItem) dialog->ShowCommunicationsPage();
    if (sender == ReceiveConfigureButton) dialog->ShowReplyActionsPage();
    const CommPrefs before = prefs_.Get_comm_prefs();
    const LineFaults faultsBefore = prefs_.Get_line_faults(0);
    const LineFaults faultsBeforeB = prefs_.Get_line_faults(1);
    const ProxyFaults proxyBefore = prefs_.Get_proxy_faults();
    if (!dialog->Execute()) return;
    if (prefs_.Get_line_faults(0) != faultsBefore) core_.ApplyLineFaults(prefs_.Get_line_faults(0), 0);
    if (prefs_.Get_line_faults(1) != faultsBeforeB) core_.ApplyLineFaults(prefs_.Get_line_faults(1), 1);
    if (prefs_.Get_proxy_faults() != proxyBefore) core_.ApplyProxyFaults(prefs_.Get_proxy_faults());
    core_.ApplyTrafficSettings();
    Traffic->ApplySettings(prefs_.Get_traffic_prefs());
    ListHabits->ApplySettings(prefs_.Get_traffic_prefs());
    FlushReceivedMessages();
    if (prefs_.Get_comm_prefs() != before) core_.PostLink();  // which shows the new link
    PostReplyActions();
}

void TMainForm::BCCCalcMenuItemClick() {
    if (dialogs_.bccCalculator) dialogs_.bccCalculator->ShowModeless();
}

void TMainForm::AboutMenuItemClick() {
    if (dialogs_.about) dialogs_.about->Execute();
}

void TMainForm::FlagsHelpMenuItemClick() {
    FlagHelpDialog* dialog = dialogs_.flagHelp;
    if (dialog == nullptr || !dialog->Execute()) return;
    const QString code = dialog->ChosenText();
    QCoreApplication::processEvents();  // once: let the focus come back from the dialog
    if (code.isEmpty()) return;
    // The window's focus widget: the one that has the keyboard focus when the window is
    // active, and the one that gets it back when it becomes active again.
    QWidget* focused = focusWidget();
    for (TSendFrame* row : SendRows) {
        QLineEdit* edit = row->MsgTextEdit;
        if (edit != focused) continue;
        const int start = edit->hasSelectedText() ? edit->selectionStart() : edit->cursorPosition();
        const int length = static_cast<int>(edit->selectedText().size());
        edit->setFocus();
        QString text = edit->text();
        text.remove(start, length);
        text.insert(start, code);
        edit->setText(text);
        edit->setCursorPosition(start + static_cast<int>(code.size()));
        return;
    }
}

// ---- the received messages list ---------------------------------------------------------

void TMainForm::ClearReceivedButtonClick() {
    if (!MessageBoxes::Instance().Confirm(
            this, QStringLiteral("Are you sure you want to clear the list of received messages?")))
        return;
    core_.ClearMessages();  // the list hears of it from the core
}

void TMainForm::SelectAllPopupMenuItemClick() {
    FlushReceivedMessages();
    const int count = ReceivedMessages->MessageCount();
    if (count == 0) return;
    const QItemSelection all(ReceivedMessages->index(0, 0),
                             ReceivedMessages->index(count - 1, ReceivedListModel::ColumnCount - 1));
    ReceivedMsgsGrid->selectionModel()->select(all, QItemSelectionModel::ClearAndSelect);
}

void TMainForm::DeletePopupMenuItemClick() {
    FlushReceivedMessages();
    int top = -1;
    int bottom = -1;
    // The selection is one range of whole rows; its ranges give its ends without a walk
    // over every selected row.
    for (const QItemSelectionRange& range : ReceivedMsgsGrid->selectionModel()->selection()) {
        if (top < 0 || range.top() < top) top = range.top();
        if (range.bottom() > bottom) bottom = range.bottom();
    }
    if (top < 0) {
        const QModelIndex current = ReceivedMsgsGrid->currentIndex();
        if (!current.isValid()) return;
        top = bottom = current.row();
    }
    // A range that runs into the input row removes the messages from its top down; the
    // input row alone removes nothing.
    ReceivedMessages->RemoveRows(top, bottom);
}

void TMainForm::SaveButtonClick() {
    QString path;
    if (ChooseSaveFile) {
        path = ChooseSaveFile();
    } else {
        QFileDialog dialog(this);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setDefaultSuffix(QStringLiteral("tsv"));
        dialog.setNameFilter(QStringLiteral("Tab Separated (*.tsv)"));
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
            path = dialog.selectedFiles().first();
    }
    if (path.isEmpty()) return;
    SaveReceivedMessages(path);
}

bool TMainForm::SaveReceivedMessages(const QString& path) {
    FlushReceivedMessages();
    const std::string content = ReceivedMessages->TabSeparatedText();
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        MessageBoxes::Instance().ApplicationError(QStringLiteral("Cannot create file %1").arg(path));
        return false;
    }
    const qint64 written = file.write(content.data(), static_cast<qint64>(content.size()));
    file.close();
    if (written != static_cast<qint64>(content.size()) || file.error() != QFileDevice::NoError) {
        MessageBoxes::Instance().ApplicationError(QStringLiteral("Stream write error"));
        return false;
    }
    return true;
}
