#include "ui/mainfrm.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDockWidget>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QScrollArea>
#include <QShowEvent>
#include <QSplitter>
#include <QStatusBar>
#include <QTableView>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <iterator>
#include <string>

#include "app/app_core.h"
#include "settings/link_kind.h"
#include "settings/names.h"
#include "settings/preferences.h"
#include "ui/application.h"
#include "ui/capture_dialogs.h"
#include "ui/latin1.h"
#include "ui/link_indicator.h"
#include "ui/main_status_bar.h"
#include "ui/message_boxes.h"
#include "ui/received_list_habits.h"
#include "ui/scenario_panel.h"
#include "ui/sendfram.h"
#include "ui/traffic_hub.h"
#include "ui/traffic_panel.h"
#include "ui/window_placement.h"

namespace {

constexpr int kRxPanelHeight = 175;

}  // namespace

TMainForm::TMainForm(Preferences& prefs, AppCore& core, QWidget* parent)
    : QMainWindow(parent), Handlers(this), prefs_(prefs), core_(core) {
    BuildControls();

    Handlers.AddHandler(EventId::Error, &TMainForm::ShowErrorText);
    Handlers.AddHandler(EventId::OpenFailed, &TMainForm::ShowErrorText);
    Handlers.AddHandler(EventId::MessageReceived, &TMainForm::AddReceivedMessage);
    Handlers.AddHandler(EventId::Status, &TMainForm::ShowStatusText);
    Handlers.AddHandler(EventId::SendText, &TMainForm::ShowSending);

    ApplyPlacement(this, TxRxSplitter, prefs_.Get_display_prefs(), kRxPanelHeight);
    BuildSendRows();
    BuildViewMenuAndStatus();
    ShowSessions();
    Listen();
}

TMainForm::~TMainForm() {
    // The core outlives the window: it must not call into it any more.
    core_.SetListener({});
    prefs_.Set_display_prefs(PlacementNow(this, TxRxSplitter, shown_, prefs_.Get_display_prefs()));
    // The rows store their texts as they go.
    qDeleteAll(SendRows);
    SendRows.clear();
    delete Status;
}

void TMainForm::BuildControls() {
    setWindowTitle(QString::fromLatin1(kApplicationTitle));
    setGeometry(295, 120, 800, 560);
    BuildMainMenus(this, *this);
    Links =
        new LinkMenu(this, *this, core_, [this](const QString& text) { ShowInFirstPanel(text); });
    Wire(BatchSendMenuItem, &QAction::triggered, [this] { BatchSendMenuItemClick(); });
    Wire(ExitMenuItem, &QAction::triggered, [this] { ExitMenuItemClick(); });
    Wire(PreferencesMenuItem, &QAction::triggered,
         [this] { PreferencesMenuItemClick(PreferencesMenuItem); });
    Wire(BCCCalcMenuItem, &QAction::triggered, [this] { BCCCalcMenuItemClick(); });
    Wire(FlagsHelpMenuItem, &QAction::triggered, [this] { FlagsHelpMenuItemClick(); });
    Wire(AboutMenuItem, &QAction::triggered, [this] { AboutMenuItemClick(); });

    Status = new MainStatusBar(this);
    std::copy(std::begin(Status->Panels), std::end(Status->Panels), StatusPanels);
    connect(Status->KeepNewestButton, &QToolButton::clicked, this, [this] { KeepNewestClick(); });

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

    RxPanel = new ReceivedListPanel(core_, TxRxSplitter);
    ClearReceivedButton = RxPanel->ClearReceivedButton;
    ReceiveConfigureButton = RxPanel->ReceiveConfigureButton;
    ReceivedMsgsGrid = RxPanel->ReceivedMsgsGrid;
    ReceivedMessages = RxPanel->ReceivedMessages;
    ShowNonPrintablesCheckBox = RxPanel->ShowNonPrintablesCheckBox;
    GridPopupMenu = RxPanel->GridPopupMenu;
    ClearPopupMenuItem = RxPanel->ClearPopupMenuItem;
    ListHabits = RxPanel->ListHabits;

    TxRxSplitter->addWidget(TxPanel);
    TxRxSplitter->addWidget(RxPanel);
    // The lower half keeps its height when the window grows; the rows get the rest.
    TxRxSplitter->setStretchFactor(0, 1);
    TxRxSplitter->setStretchFactor(1, 0);
    TxRxSplitter->setSizes({560 - kRxPanelHeight, kRxPanelHeight});
    setCentralWidget(TxRxSplitter);

    Wire(ReceiveConfigureButton, &QToolButton::clicked,
         [this] { PreferencesMenuItemClick(ReceiveConfigureButton); });
}

void TMainForm::BuildSendRows() {
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
    for (int i = 1; i < SendRows.size(); ++i)
        setTabOrder(SendRows[i - 1]->StopButton, SendRows[i]->MsgTypeEdit);
    // However the docks crowd the window, two whole send rows stay in sight.
    TxPanel->setMinimumHeight(2 * SendRows[0]->sizeHint().height() + rowsLayout->spacing() +
                              2 * SendScrollBox->frameWidth());
}

void TMainForm::BuildViewMenuAndStatus() {
    Traffic = new TrafficHub(this, core_, prefs_.Get_traffic_prefs());
    SizeDockWhenShown(this, Traffic->TrafficDock);
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
    connect(Scenario, &ScenarioPanel::ScriptError, this,
            [this](const QString& text) { ShowInFirstPanel(text); });
    // A panel docked beside the rows that leaves them too narrow for their controls opens as
    // a window of its own instead (at the default 800 by 560 there is no room beside them).
    for (QDockWidget* dock : {Traffic->StatisticsDock, Scenario->Dock}) {
        connect(dock, &QDockWidget::visibilityChanged, this, [this, dock](bool visible) {
            if (visible && !dock->isFloating()) QTimer::singleShot(0, this, [this, dock] { FloatIfCramped(dock); });
        });
    }
    statusBar()->addPermanentWidget(Captures->StatusLabel);
    statusBar()->addPermanentWidget(Traffic->HeldLabel);
    statusBar()->addPermanentWidget(Traffic->LogLabel);
    statusBar()->addPermanentWidget(Traffic->Indicator);
}

void TMainForm::Listen() {
    // The window is a view over the core: it hears what the core took in and shows it.
    AppCore::Listener listener;
    listener.event = [this](const Event& event) {
        // The handlers take the event by pointer, as their maps are declared; none changes it.
        DispatchEvent(const_cast<Event&>(event));
    };
    ReceivedListPanel* list = RxPanel;
    listener.messagesAdded = [list] { list->MessagesAdded(); };
    listener.messagesDropping = [list](std::size_t count) { list->MessagesDropping(count); };
    listener.messagesCleared = [list] { list->MessagesCleared(); };
    listener.linkChanged = [this] {
        // A message about the link before is not about this one, nor is an ended replay's
        // verdict.
        ShowInFirstPanel(QString());
        ShowCommSettings();
        if (Captures != nullptr) Captures->LinkChanged();
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
    listener.listLarge = [this](std::size_t bytes) { Status->ShowListLarge(bytes, core_.Messages().Size()); };
    core_.SetListener(listener);
}

void TMainForm::SetDialogs(const MainFormDialogs& dialogs) {
    dialogs_ = dialogs;
}

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
    if (event.id == EventId::Session) ShowSessions();
    Handlers.CallHandler(event.id, &event);
    for (TSendFrame* row : SendRows) row->Handlers.CallHandler(event.id, &event);
    Traffic->OnEvent(event);
}

std::int32_t TMainForm::ShowErrorText(Event* event) {
    ShowInFirstPanel(ToQString(event->text));
    return event->id;
}

void TMainForm::ShowInFirstPanel(const QString& text) {
    Status->ShowMessage(text);
}

std::int32_t TMainForm::ShowStatusText(Event* event) {
    Status->ShowStatus(event->value);
    return event->id;
}

std::int32_t TMainForm::ShowSending(Event* event) {
    Status->ShowSending();
    return event->id;
}

std::int32_t TMainForm::AddReceivedMessage(Event* event) {
    // The core has the message already; the list shows it with the others of its burst.
    ClearReceivedButton->setEnabled(true);
    return event->id;
}

void TMainForm::PostReplyActions() {
    core_.PostReplyActions();
}

void TMainForm::ShowSessions() {
    // With one peer the lists look as they always did.
    const SessionTable& sessions = core_.Sessions();
    const std::uint32_t count = sessions.SeveralBegun() ? sessions.Begun() : 0;
    RxPanel->ShowSessions(count);
    Traffic->Traffic->ShowSessions(count);
}

void TMainForm::ShowCommSettings() {
    const bool proxy = LinkCan(core_.Link()).proxy;
    RxPanel->ShowWays(proxy);
    if (Traffic != nullptr) Traffic->Traffic->ShowProxyWays(proxy);
    Status->ShowLink(ToQString(LinkSummaryText(prefs_.Get_comm_prefs())));
    Links->Update();
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
    for (TSendFrame* row : SendRows) row->setVisible(true);
    RxPanel->FitToShow();
    ShowCommSettings();
    Status->ShowLoadWarnings(prefs_.LoadWarnings());
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
    for (int row : core_.BatchRestarts()) running << QString::number(row + 1);
    if (!running.isEmpty() &&
        !MessageBoxes::Instance().Confirm(
            this,
            QStringLiteral("%1 %2 still sending. Stop and start every row again?")
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

void TMainForm::ExitMenuItemClick() {
    close();
}

void TMainForm::PreferencesMenuItemClick(QObject* sender) {
    PreferencesDialog* dialog = dialogs_.preferences;
    if (dialog == nullptr) return;
    if (sender == PreferencesMenuItem) dialog->ShowCommunicationsPage();
    if (sender == ReceiveConfigureButton) dialog->ShowReplyActionsPage();
    // The core takes the settings, and hands on what changed (a new link is shown as it opens).
    if (!dialog->Execute([this](const Prefs& chosen) { return core_.ApplyPreferences(chosen); }))
        return;
    Traffic->ApplySettings(prefs_.Get_traffic_prefs());
    ListHabits->ApplySettings(prefs_.Get_traffic_prefs());
    FlushReceivedMessages();
}

void TMainForm::BCCCalcMenuItemClick() {
    if (dialogs_.bccCalculator) dialogs_.bccCalculator->ShowModeless();
}

bool TMainForm::SideDockShown() const {
    for (const QDockWidget* dock : {Traffic->StatisticsDock, Scenario->Dock})
        if (dock->isVisible() && !dock->isFloating()) return true;
    return false;
}

void TMainForm::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    if (Scenario != nullptr && !SideDockShown()) sizeWithoutSideDocks_ = size();
}

void TMainForm::FloatIfCramped(QDockWidget* dock) {
    if (!dock->isVisible() || dock->isFloating()) return;
    const bool grew = sizeWithoutSideDocks_.isValid() && width() > sizeWithoutSideDocks_.width();
    // The panel scrolls when it is narrower than what it holds needs.
    const auto* view = qobject_cast<const QScrollArea*>(dock->widget());
    const QWidget* content = view != nullptr ? view->widget() : nullptr;
    const int contentNeeds = content != nullptr ? std::max(content->minimumWidth(), content->minimumSizeHint().width()) : 0;
    const bool rowsWhole = SendScrollBox->viewport()->width() >= SendRows[0]->minimumSizeHint().width();
    if (!grew && rowsWhole && view != nullptr && view->viewport()->width() >= contentNeeds) return;
    // Wide enough for what it holds, with room for its scroll bar.
    const QSize wanted = dock->sizeHint().expandedTo(QSize(std::max(360, contentNeeds + 40), 420));
    dock->setFloating(true);
    // The window grew to make room for it: back to the size the user gave it.
    if (grew && !SideDockShown() && !isMaximized() && !isFullScreen()) {
        layout()->activate();  // its minimum without the dock first
        resize(sizeWithoutSideDocks_);
    }
    // Beside the window where the screen has room, else over its right part.
    QRect place(QPoint(frameGeometry().right() + 1, geometry().top()), wanted);
    if (const QScreen* screen = this->screen(); screen && !screen->availableGeometry().contains(place))
        place.moveRight(std::min(screen->availableGeometry().right(), frameGeometry().right()));
    dock->setGeometry(place);
}

void TMainForm::KeepNewestClick() {
    int count = 100000;
    if (!MessageBoxes::Instance().AskNumber(this, QStringLiteral("Keep newest"),
                                            QStringLiteral("Messages to keep:"), count, 1, kListMaxRange.high))
        return;
    const std::string refused = core_.KeepNewest(count);
    if (!refused.empty()) {
        MessageBoxes::Instance().Error(this, ToQString(refused));
        return;
    }
    Status->KeepNewestButton->hide();
    ShowInFirstPanel(QStringLiteral("Keeping the newest %1 received messages").arg(count));
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
