#include "ui/received_list_habits.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLineEdit>
#include <QSpinBox>
#include <QTableView>

#include <algorithm>
#include <set>

#include "app/received_store.h"
#include "text/quote.h"
#include "ui/latin1.h"
#include "ui/received_model.h"
#include "ui/session_choice.h"

ReceivedListHabits::ReceivedListHabits(QTableView* grid, QObject* parent)
    : QObject(parent), grid_(grid) {
    FollowBox = new QCheckBox(QStringLiteral("Follow newest"), grid->parentWidget());
    FollowBox->setObjectName(QStringLiteral("FollowNewestCheckBox"));
    FollowBox->setToolTip(QStringLiteral("Select each new message as it arrives."));
    FollowBox->setChecked(true);
    SearchEdit = new QLineEdit(grid->parentWidget());
    SearchEdit->setObjectName(QStringLiteral("ReceivedFilterEdit"));
    SearchEdit->setPlaceholderText(QStringLiteral("Filter: type, status, text or injection"));
    SearchEdit->setClearButtonEnabled(true);
    SessionBox = NewSessionChoice(grid->parentWidget(), "Only the messages of this session.");
    SessionBox->setObjectName(QStringLiteral("ReceivedSessionBox"));
    connect(SearchEdit, &QLineEdit::textChanged, this, [this] { ApplySearch(0); });
    connect(SessionBox, &QSpinBox::valueChanged, this, [this] { ApplySearch(0); });
    connect(FollowBox, &QCheckBox::clicked, this, &ReceivedListHabits::FollowChanged);
    grid_->installEventFilter(this);
}

ReceivedListModel* ReceivedListHabits::Model() const {
    return qobject_cast<ReceivedListModel*>(grid_->model());
}

void ReceivedListHabits::ApplySettings(const TrafficPrefs& prefs) {
    FollowBox->setChecked(prefs.FollowNewest != 0);
}

bool ReceivedListHabits::Following() const {
    return FollowBox->isChecked();
}

void ReceivedListHabits::AfterAdd(int firstNew) {
    if (Model() != nullptr && Filtering()) ApplySearch(std::max(0, firstNew));
}

void ReceivedListHabits::ShowSessions(std::uint32_t count) {
    ShowSessionChoice(SessionBox, count);
}

bool ReceivedListHabits::Filtering() const {
    return !SearchEdit->text().isEmpty() || SessionBox->value() != 0;
}

bool ReceivedListHabits::Passes(int row) const {
    const ReceivedListModel* model = Model();
    MessageFilter filter;
    filter.session = static_cast<std::uint32_t>(SessionBox->value());
    if (!model->Passes(row, filter)) return false;
    if (SearchEdit->text().isEmpty()) return true;
    for (int column : {ReceivedListModel::TypeColumn, ReceivedListModel::StatusColumn,
                       ReceivedListModel::TextColumn, ReceivedListModel::InjectionColumn}) {
        if (ToQString(model->Cell(row, column)).contains(SearchEdit->text(), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

void ReceivedListHabits::ApplySearch(int from) {
    ReceivedListModel* model = Model();
    if (model == nullptr) return;
    const bool all = !Filtering();
    for (int row = from; row < model->MessageCount(); ++row) {
        const bool hide = !all && !Passes(row);
        if (grid_->isRowHidden(row) != hide) grid_->setRowHidden(row, hide);
    }
}

QString ReceivedListHabits::SelectedText() const {
    const ReceivedListModel* model = Model();
    if (model == nullptr) return {};
    std::set<int> rows;
    for (const QModelIndex& index : grid_->selectionModel()->selectedIndexes()) {
        if (index.row() < model->MessageCount() && !grid_->isRowHidden(index.row()))
            rows.insert(index.row());
    }
    // For pasting elsewhere: the saved file's fields without its padding and its TAB at the
    // end of every line.
    std::string text;
    for (int row : rows) {
        std::string status = model->Cell(row, ReceivedListModel::StatusColumn);
        status.erase(status.find_last_not_of(' ') + 1);
        text += model->SavedTime(row) + '\t' + status + '\t' +
                model->Cell(row, ReceivedListModel::TypeColumn) + '\t' +
                QuoteField(model->Cell(row, ReceivedListModel::TextColumn)) +
                '\t' + model->Cell(row, ReceivedListModel::RxBccColumn) + '\t' +
                model->Cell(row, ReceivedListModel::CalcBccColumn) + '\n';
    }
    return ToQString(text);
}

void ReceivedListHabits::CopySelection() const {
    const QString text = SelectedText();
    if (!text.isEmpty()) QApplication::clipboard()->setText(text);
}

bool ReceivedListHabits::eventFilter(QObject* watched, QEvent* event) {
    // The view would copy only its current cell on Ctrl+C.
    if (watched == grid_ &&
        (event->type() == QEvent::ShortcutOverride || event->type() == QEvent::KeyPress) &&
        static_cast<QKeyEvent*>(event)->matches(QKeySequence::Copy)) {
        if (event->type() == QEvent::KeyPress) CopySelection();
        event->accept();
        return true;
    }
    return QObject::eventFilter(watched, event);
}
