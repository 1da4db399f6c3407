#include "ui/mainfrm.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFile>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
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
#include "protocol/frame.h"
#include "settings/preferences.h"
#include "text/parser.h"
#include "thread/ctrlthrd.h"
#include "ui/application.h"
#include "ui/latin1.h"
#include "ui/message_boxes.h"
#include "ui/received_model.h"
#include "ui/sendfram.h"

namespace {

constexpr std::uint32_t kBrokerMessage = 2026;
constexpr int kRxPanelHeight = 175;
// Longest wait of a received message before it is listed, during a burst.
constexpr qint64 kListUpdateMs = 50;
// Widths of the list's columns but the message text; that one gets the rest.
constexpr int kColumnWidths[ReceivedListModel::ColumnCount] = {40, 110, 100, 45, 0, 55, 70};
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

TMainForm::TMainForm(Preferences& prefs, QWidget* parent)
    : QMainWindow(parent), Handlers(this), prefs_(prefs) {
    BuildControls();

    Handlers.AddHandler(EventId::Error, &TMainForm::ShowErrorText);
    Handlers.AddHandler(EventId::OpenFailed, &TMainForm::ShowErrorText);
    Handlers.AddHandler(EventId::MessageReceived, &TMainForm::AddReceivedMessage);
    Handlers.AddHandler(EventId::Status, &TMainForm::ShowStatusText);
    Handlers.AddHandler(EventId::SendText, &TMainForm::ShowSending);

    // Called on the control thread once per event put in: queue one OnBrokerEvent here.
    ToWindowBroker.reset(new EventBroker(
        [this](std::uint32_t) {
            QMetaObject::invokeMethod(this, [this] { OnBrokerEvent(); }, Qt::QueuedConnection);
        },
        kBrokerMessage));
    ToThreadBroker.reset(new EventBroker());

    const CommPrefs comm = prefs_.Get_comm_prefs();
    ControlThread.reset(new TControlThread(ToThreadBroker.get(), ToWindowBroker.get(), comm, 0));

    for (int code = 0; code < kStatusCodeCount; ++code)
        StatusTexts << QString::fromLatin1(StatusText(code));
    BaudTexts << "115200" << "57600" << "38400" << "19200" << "9600" << "4800" << "2400" << "1200";
    DataBitsTexts << "7" << "8";
    StopBitsTexts << "1" << "2";
    ParityTexts << "E" << "O" << "N";

    ApplyPlacement();

    auto* rows = new QWidget;
    SendScrollBox->setWidget(rows);
    auto* rowsLayout = new QVBoxLayout(rows);
    rowsLayout->setContentsMargins(0, 0, 0, 0);
    rowsLayout->setSpacing(5);
    for (int i = 0; i < kSendSlots; ++i) {
        auto* row = new TSendFrame(rows, prefs_);
        row->setObjectName(QStringLiteral("SendFrame%1").arg(i));
        row->RowIndex = i;
        row->broker = ToThreadBroker.get();
        row->InitFromSettings();
        rowsLayout->addWidget(row);
        SendRows.append(row);
    }
    rowsLayout->addStretch(1);

    BuildReceivedList();

    ControlThread->Resume();
}

TMainForm::~TMainForm() {
    // Normally the close sequence has ended the thread; a window destroyed unclosed must
    // not leave it running against the brokers that go below.
    if (ControlThread) {
        ControlThread->Terminate();
        ControlThread->WaitFor();
    }

    DisplayPrefs display = prefs_.Get_display_prefs();
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

    // The rows store their texts as they go; the members then go in reverse order of
    // declaration: the tables, ToThreadBroker, ToWindowBroker, the thread, Handlers.
    qDeleteAll(SendRows);
    SendRows.clear();
}

void TMainForm::BuildControls() {
    setWindowTitle(QString::fromLatin1(kApplicationTitle));
    setGeometry(295, 120, 800, 560);
    BuildMenus();

    for (int i = 0; i < 3; ++i) {
        StatusPanels[i] = new QLabel(this);
        StatusPanels[i]->setFixedWidth(i == 0 ? 400 : 200);
        StatusPanels[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        statusBar()->addWidget(StatusPanels[i]);
    }
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
    checkBoxLine->addStretch(1);
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
    QMenu* file = menuBar()->addMenu(QStringLiteral("File"));
    BatchSendMenuItem = file->addAction(QStringLiteral("Batch Send"));
    file->addSeparator();
    ExitMenuItem = file->addAction(QStringLiteral("Exit"));
    QMenu* setup = menuBar()->addMenu(QStringLiteral("Setup"));
    PreferencesMenuItem = setup->addAction(QStringLiteral("Preferences..."));
    QMenu* help = menuBar()->addMenu(QStringLiteral("Help"));
    BCCCalcMenuItem = help->addAction(QStringLiteral("BCC Calculator..."));
    FlagsHelpMenuItem = help->addAction(QStringLiteral("Flags..."));
    help->addSeparator();
    AboutMenuItem = help->addAction(QStringLiteral("About..."));

    Wire(BatchSendMenuItem, &QAction::triggered, [this] { BatchSendMenuItemClick(); });
    Wire(ExitMenuItem, &QAction::triggered, [this] { ExitMenuItemClick(); });
    Wire(PreferencesMenuItem, &QAction::triggered, [this] { PreferencesMenuItemClick(PreferencesMenuItem); });
    Wire(BCCCalcMenuItem, &QAction::triggered, [this] { BCCCalcMenuItemClick(); });
    Wire(FlagsHelpMenuItem, &QAction::triggered, [this] { FlagsHelpMenuItemClick(); });
    Wire(AboutMenuItem, &QAction::triggered, [this] { AboutMenuItemClick(); });
}

void TMainForm::BuildReceivedList() {
    ReceivedMessages = new ReceivedListModel(this);
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
    // The message text takes what the others leave of the grid; set once, at the first show.
    grid->setColumnWidth(ReceivedListModel::TextColumn, 295);

    GridPopupMenu = new QMenu(this);
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
    Wire(SelectAllPopupMenuItem, &QAction::triggered, [this] { SelectAllPopupMenuItemClick(); });
    Wire(DeletePopupMenuItem, &QAction::triggered, [this] { DeletePopupMenuItemClick(); });
    Wire(ClearPopupMenuItem, &QAction::triggered, [this] { ClearReceivedButtonClick(); });
    grid->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(grid, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        GridPopupMenu->popup(ReceivedMsgsGrid->viewport()->mapToGlobal(at));
    });
}

void TMainForm::ApplyPlacement() {
    const DisplayPrefs display = prefs_.Get_display_prefs();
    move(display.Left, display.Top);
    resize(display.Width, display.Height);
    TxRxSplitter->setSizes({qMax(0, display.Height - kRxPanelHeight), kRxPanelHeight});
    if (display.State == 2) {
        setWindowState(Qt::WindowMaximized);
    } else if (display.State == 1) {
        setWindowState(Qt::WindowMinimized);
    }
}

void TMainForm::SetDialogs(const MainFormDialogs& dialogs) { dialogs_ = dialogs; }

std::string TMainForm::CommSettingsText(const CommPrefs& comm) {
    return TControlThread::FormatCommSettings(comm);
}

// An index outside its table (a hand-edited configuration file, or a list left without a
// choice in the preferences) shows as "?".
QString TMainForm::TableText(const QStringList& table, int index) const {
    return index >= 0 && index < table.size() ? table.at(index) : QStringLiteral("?");
}

// ---- events -----------------------------------------------------------------------------

void TMainForm::OnBrokerEvent() {
    if (core_ != nullptr) {
        core_->OnBrokerEvent();  // hands the event back through DispatchEvent
        return;
    }
    Event event;
    if (!ToWindowBroker || !ToWindowBroker->GetEvent(event)) return;
    DispatchEvent(event);
}

void TMainForm::DispatchEvent(Event& event) {
    Handlers.CallHandler(event.id, &event);
    for (TSendFrame* row : SendRows) row->Handlers.CallHandler(event.id, &event);
}

void TMainForm::AttachCore(AppCore* core) {
    core_ = core;
    AppCore::Listener listener;
    listener.event = [this](const Event& event) {
        Event copy = event;
        DispatchEvent(copy);
    };
    listener.linkChanged = [this] { ShowCommSettings(); };
    listener.messagesCleared = [this] {
        pendingMessages_.clear();
        listUpdateTimer_->stop();
        ReceivedMessages->Clear();
        ClearReceivedButton->setEnabled(false);
    };
    listener.rowChanged = [this](int row) { SendRows[row]->Refresh(); };
    listener.rowError = [this](int row, const std::string& error) {
        MessageBoxes::Instance().Error(SendRows[row], ToQString(error));
    };
    listener.rowSettingsChanged = [this](int row) { SendRows[row]->LoadTexts(); };
    core_->SetListener(listener);
    for (TSendFrame* row : SendRows) row->UseRuns(&core_->Sends());
}

std::int32_t TMainForm::ShowErrorText(Event* event) {
    StatusPanels[0]->setText(ToQString(event->text));
    return event->id;
}

std::int32_t TMainForm::ShowStatusText(Event* event) {
    const int code = event->value;
    // The engine sends only codes it has texts for; anything else shows its number.
    StatusPanels[1]->setText(code >= 0 && code < StatusTexts.size()
                                 ? StatusTexts.at(code)
                                 : QStringLiteral("UNKNOWN STATUS %1").arg(code));
    return event->id;
}

std::int32_t TMainForm::ShowSending(Event* event) {
    StatusPanels[1]->setText(QStringLiteral("Sending..."));
    return event->id;
}

std::int32_t TMainForm::AddReceivedMessage(Event* event) {
    ReceivedListModel::Message message = ReceivedListModel::ParseRecord(event->text);
    const int now = QTime::currentTime().msecsSinceStartOfDay();
    if (ShowNonPrintablesCheckBox->isChecked()) message.text = Parser().Show_non_printables(message.text);
    pendingMessages_.push_back(ReceivedListModel::Arrival{std::move(message), now});
    ClearReceivedButton->setEnabled(true);
    // The first message after a quiet spell is listed at once; during a burst the list is
    // brought up to date every 50 ms.
    if (!listUpdateTimer_->isActive()) {
        const qint64 since = lastListUpdate_.isValid() ? lastListUpdate_.elapsed() : kListUpdateMs;
        if (since >= kListUpdateMs) {
            FlushReceivedMessages();
        } else {
            listUpdateTimer_->start(static_cast<int>(kListUpdateMs - since));
        }
    }
    return event->id;
}

void TMainForm::FlushReceivedMessages() {
    listUpdateTimer_->stop();
    if (pendingMessages_.empty()) return;
    std::vector<ReceivedListModel::Arrival> arrivals;
    arrivals.swap(pendingMessages_);
    const int row = ReceivedMessages->AddMessages(std::move(arrivals));
    const QModelIndex current = ReceivedMessages->index(row, ReceivedListModel::NumberColumn);
    ReceivedMsgsGrid->selectionModel()->setCurrentIndex(
        current, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    ReceivedMsgsGrid->scrollTo(current);
    lastListUpdate_.start();
}

void TMainForm::PostReplyActions() {
    if (core_ != nullptr) {
        core_->PostReplyActions();
        return;
    }
    std::string table;
    for (int i = 0; i < kReplySlots; ++i) {
        const ReplyPrefs reply = prefs_.Get_reply_prefs(i);
        table += reply.Type + '\t' + reply.Msg + '\t' + std::to_string(reply.Action) + "\r\n";
    }
    ToThreadBroker->PostEvent(Event{EventId::ReplyActions, kReplySlots, 0, table});
}

void TMainForm::ShowCommSettings() {
    const CommPrefs comm = prefs_.Get_comm_prefs();
    QString text;
    switch (comm.Type) {
        case 0:
            text = ToQString(comm.Port) + ',' + TableText(BaudTexts, comm.Baud) + ',' +
                   TableText(DataBitsTexts, comm.Bits) + ',' + TableText(StopBitsTexts, comm.Stop) +
                   ',' + TableText(ParityTexts, comm.Parity);
            break;
        case 1:
            text = QStringLiteral("TCP/IP Client to %1:%2").arg(ToQString(comm.RemoteIp)).arg(comm.RemotePort);
            break;
        case 2:
            text = QStringLiteral("TCP/IP Server on Port %1").arg(comm.LocalPort);
            break;
        default:
            break;
    }
    StatusPanels[2]->setText(text);
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
    PostReplyActions();
    ShowCommSettings();
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
    StatusPanels[0]->setText(QStringLiteral("Closing Control thread..."));
    StatusPanels[0]->repaint();
    if (ControlThread) {
        ControlThread->Terminate();
        ControlThread->WaitFor();
    }
    StatusPanels[0]->clear();
    StatusPanels[0]->repaint();
    return true;
}

// ---- menus ------------------------------------------------------------------------------

void TMainForm::BatchSendMenuItemClick() {
    // A conversion error thrown by a row ends the batch and reaches the error box.
    for (TSendFrame* row : SendRows) {
        if (!row->MsgTypeEdit->text().isEmpty()) row->SendButtonClick(nullptr);
    }
}

void TMainForm::ExitMenuItemClick() { close(); }

void TMainForm::PreferencesMenuItemClick(QObject* sender) {
    PreferencesDialog* dialog = dialogs_.preferences;
    if (dialog == nullptr) return;
    if (sender == PreferencesMenuItem) dialog->ShowCommunicationsPage();
    if (sender == ReceiveConfigureButton) dialog->ShowReplyActionsPage();
    const std::string before = CommSettingsText(prefs_.Get_prefs().Comm);
    if (!dialog->Execute()) return;
    const std::string after = CommSettingsText(prefs_.Get_prefs().Comm);
    if (after != before) {
        if (core_ != nullptr) {
            core_->PostLink();
        } else {
            ToThreadBroker->PostEvent(Event{EventId::CommSettings, 0, 0, after});
        }
        ShowCommSettings();
    }
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
    if (core_ != nullptr) core_->ClearMessages();
    pendingMessages_.clear();
    listUpdateTimer_->stop();
    ReceivedMessages->Clear();
    ClearReceivedButton->setEnabled(false);
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
