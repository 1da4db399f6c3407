#include "ui/received_list_panel.h"

#include <QAction>
#include <QCheckBox>
#include <QFile>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QSpinBox>
#include <QStyle>
#include <QStyleOptionHeader>
#include <QTableView>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <string>

#include "app/app_core.h"
#include "ui/main_menus.h"
#include "ui/message_boxes.h"
#include "ui/received_list_habits.h"
#include "ui/received_model.h"

namespace {

// Longest wait of a received message before it is listed, during a burst.
constexpr qint64 kListUpdateMs = 50;
// Widths of the list's columns but the message text; that one gets the rest.
constexpr int kColumnWidths[ReceivedListModel::ColumnCount] = {40, 110, 100, 45, 0,
                                                               55, 70,  160, 50, 60};
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
        option.position = count() == 1            ? QStyleOptionHeader::OnlyOneSection
                          : visual == 0           ? QStyleOptionHeader::Beginning
                          : visual == count() - 1 ? QStyleOptionHeader::End
                                                  : QStyleOptionHeader::Middle;
        style()->drawControl(QStyle::CE_Header, &option, painter, this);
    }
};

}  // namespace

ReceivedListPanel::ReceivedListPanel(AppCore& core, QWidget* parent)
    : QWidget(parent), core_(core) {
    setObjectName(QStringLiteral("RxPanel"));
    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(8, 2, 8, 4);
    layout->setHorizontalSpacing(9);
    layout->setVerticalSpacing(2);
    Label1 = new QLabel(QStringLiteral("Received Messages"), this);
    ClearReceivedButton =
        PictureButton(this, QStyle::SP_TrashIcon, "Clear the list of received messages.");
    SaveButton =
        PictureButton(this, QStyle::SP_DialogSaveButton, "Save selected messages to a file.");
    ReceiveConfigureButton = PictureButton(this, QStyle::SP_FileDialogDetailedView,
                                           "Configure how received messages are handled.");
    auto* buttons = new QVBoxLayout;
    buttons->setSpacing(2);
    buttons->addWidget(ClearReceivedButton);
    buttons->addWidget(SaveButton);
    buttons->addSpacing(8);
    buttons->addWidget(ReceiveConfigureButton);
    buttons->addStretch(1);
    ReceivedMsgsGrid = new QTableView(this);
    ReceivedMsgsGrid->setObjectName(QStringLiteral("ReceivedMsgsGrid"));
    ShowNonPrintablesCheckBox =
        new QCheckBox(QStringLiteral("Show non-printable characters"), this);
    layout->addLayout(buttons, 1, 0);
    layout->addWidget(ReceivedMsgsGrid, 1, 1);
    auto* checkBoxLine = new QHBoxLayout;
    checkBoxLine->addSpacing(16);
    checkBoxLine->addWidget(ShowNonPrintablesCheckBox);
    ListHabits = new ReceivedListHabits(ReceivedMsgsGrid, this);
    checkBoxLine->addWidget(ListHabits->FollowBox);
    checkBoxLine->addStretch(1);
    checkBoxLine->addWidget(ListHabits->SearchEdit, 1);
    layout->addLayout(checkBoxLine, 2, 1);
    // The session choice beside the title, where there is room for it: the line below is as
    // wide as the window may be narrow.
    auto* titleLine = new QHBoxLayout;
    titleLine->addWidget(Label1);
    titleLine->addStretch(1);
    titleLine->addWidget(ListHabits->SessionBox);
    ListHabits->SessionBox->setMaximumHeight(ListHabits->SearchEdit->sizeHint().height());
    layout->addLayout(titleLine, 0, 1);
    layout->setColumnStretch(1, 1);
    layout->setRowStretch(1, 1);
    setMinimumHeight(110);

    Wire(ClearReceivedButton, &QToolButton::clicked, [this] { ClearReceivedButtonClick(); });
    Wire(SaveButton, &QToolButton::clicked, [this] { SaveButtonClick(); });
    BuildGrid();
}

void ReceivedListPanel::BuildGrid() {
    ReceivedMessages = new ReceivedListModel(core_.Messages(), this);
    ReceivedMessages->SetRemover(
        [this](std::size_t first, std::size_t last) { core_.RemoveMessages(first, last); });
    connect(ShowNonPrintablesCheckBox, &QCheckBox::toggled, this,
            [this](bool on) { core_.SetShowNonPrintables(on); });
    updateTimer_ = new QTimer(this);
    updateTimer_->setSingleShot(true);
    connect(updateTimer_, &QTimer::timeout, this, [this] { Flush(); });
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
    grid->horizontalHeader()->moveSection(ReceivedListModel::WayColumn,
                                          ReceivedListModel::TypeColumn);
    ShowWays(LinkCan(core_.Link()).proxy);
    // The session after the time stamp, shown once there have been several.
    QHeaderView* header = grid->horizontalHeader();
    header->moveSection(header->visualIndex(ReceivedListModel::SessionColumn),
                        header->visualIndex(ReceivedListModel::StatusColumn));
    ShowSessions(0);
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

void ReceivedListPanel::MessagesAdded() {
    ClearReceivedButton->setEnabled(true);
    if (updateTimer_->isActive()) return;
    const qint64 since = lastUpdate_.isValid() ? lastUpdate_.elapsed() : kListUpdateMs;
    if (since >= kListUpdateMs) {
        Flush();
    } else {
        updateTimer_->start(static_cast<int>(kListUpdateMs - since));
    }
}

void ReceivedListPanel::MessagesDropping(std::size_t count) {
    ReceivedMessages->Dropping(count);
}

void ReceivedListPanel::MessagesCleared() {
    updateTimer_->stop();
    ReceivedMessages->Cleared();
    ClearReceivedButton->setEnabled(false);
}

void ReceivedListPanel::Flush() {
    updateTimer_->stop();
    const int firstNew = ReceivedMessages->MessageCount();
    if (ReceivedMessages->ShowNew() == 0) return;
    FitNumbers();
    ListHabits->AfterAdd(firstNew);
    lastUpdate_.start();
    if (!ListHabits->Following()) return;
    const int row = ReceivedMessages->MessageCount() - 1;
    const QModelIndex current = ReceivedMessages->index(row, ReceivedListModel::NumberColumn);
    ReceivedMsgsGrid->selectionModel()->setCurrentIndex(
        current, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    ReceivedMsgsGrid->scrollTo(current);
}

void ReceivedListPanel::FitNumbers() {
    // The newest number is the widest (a deletion only repeats smaller ones); the column
    // grows to show it whole and never shrinks under what the user chose.
    const int newest = ReceivedMessages->MessageCount() - 1;
    const QString number = QString::fromStdString(ReceivedMessages->Cell(newest, ReceivedListModel::NumberColumn));
    const int needed = ReceivedMsgsGrid->fontMetrics().horizontalAdvance(number) +
                       2 * ReceivedMsgsGrid->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, ReceivedMsgsGrid) + 8;
    if (needed > ReceivedMsgsGrid->columnWidth(ReceivedListModel::NumberColumn))
        ReceivedMsgsGrid->setColumnWidth(ReceivedListModel::NumberColumn, needed);
}

void ReceivedListPanel::FitToShow() {
    ClearReceivedButton->setEnabled(false);
    const int rest = ReceivedMsgsGrid->width() - kOtherColumnsWidth - 30;
    if (rest > 0) ReceivedMsgsGrid->setColumnWidth(ReceivedListModel::TextColumn, rest);
}

void ReceivedListPanel::ShowWays(bool proxy) {
    ReceivedMsgsGrid->setColumnHidden(ReceivedListModel::WayColumn, !proxy);
}

void ReceivedListPanel::ShowSessions(std::uint32_t count) {
    ReceivedMsgsGrid->setColumnHidden(ReceivedListModel::SessionColumn, count == 0);
    ListHabits->ShowSessions(count);
}

void ReceivedListPanel::ClearReceivedButtonClick() {
    if (!MessageBoxes::Instance().Confirm(
            window(),
            QStringLiteral("Are you sure you want to clear the list of received messages?")))
        return;
    core_.ClearMessages();  // the list hears of it from the core
}

void ReceivedListPanel::SelectAllPopupMenuItemClick() {
    Flush();
    const int count = ReceivedMessages->MessageCount();
    if (count == 0) return;
    const QItemSelection all(
        ReceivedMessages->index(0, 0),
        ReceivedMessages->index(count - 1, ReceivedListModel::ColumnCount - 1));
    ReceivedMsgsGrid->selectionModel()->select(all, QItemSelectionModel::ClearAndSelect);
}

void ReceivedListPanel::DeletePopupMenuItemClick() {
    Flush();
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

void ReceivedListPanel::SaveButtonClick() {
    QString path;
    if (ChooseSaveFile) {
        path = ChooseSaveFile();
    } else {
        QFileDialog dialog(window());
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setDefaultSuffix(QStringLiteral("tsv"));
        dialog.setNameFilter(QStringLiteral("Tab Separated (*.tsv)"));
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
            path = dialog.selectedFiles().first();
    }
    if (path.isEmpty()) return;
    SaveReceivedMessages(path);
}

bool ReceivedListPanel::SaveReceivedMessages(const QString& path) {
    Flush();
    const std::string content = ReceivedMessages->TabSeparatedText();
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        MessageBoxes::Instance().ApplicationError(
            QStringLiteral("Cannot create file %1").arg(path));
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
