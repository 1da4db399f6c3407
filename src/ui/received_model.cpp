#include "ui/received_model.h"

#include <QApplication>
#include <QPalette>

#include <algorithm>

#include "app/received_store.h"
#include "base/traffic_sink.h"
#include "protocol/frame.h"
#include "text/parser.h"
#include "text/quote.h"
#include "text/times.h"
#include "ui/latin1.h"

namespace {

const char* const kHeaders[ReceivedListModel::ColumnCount] = {
    "", "TimeStamp", "Status", "Type", "Message Text", "Rx BCC", "Calc BCC", "Injection", "Way", "Session"};

// The text as the list shows it: with control characters by name when the box was ticked as
// the message arrived.
std::string ShownText(const ReceivedStore::View& message) {
    if (!message.namesShown) return std::string(message.text);
    return Parser().Show_non_printables(message.text);
}

}  // namespace

ReceivedListModel::ReceivedListModel(const ReceivedStore& store, QObject* parent)
    : QAbstractTableModel(parent), store_(store) {}

ReceivedListModel::~ReceivedListModel() = default;

int ReceivedListModel::ShowNew() {
    const int total = static_cast<int>(store_.Size());
    if (total <= shown_) return 0;
    const int first = shown_;
    const int count = total - shown_;
    // The old input row takes the first message; the others and the new input row are
    // inserted after it.
    beginInsertRows(QModelIndex(), first + 1, first + count);
    shown_ = total;
    endInsertRows();
    emit dataChanged(index(first, 0), index(first, ColumnCount - 1));
    return count;
}

void ReceivedListModel::Dropping(std::size_t count) {
    const int rows = static_cast<int>(std::min<std::size_t>(count, static_cast<std::size_t>(shown_)));
    if (rows == 0) return;
    beginRemoveRows(QModelIndex(), 0, rows - 1);
    shown_ -= rows;
    endRemoveRows();
}

void ReceivedListModel::Cleared() {
    beginResetModel();
    shown_ = 0;
    endResetModel();
}

void ReceivedListModel::RemoveRows(int first, int last) {
    if (first < 0) first = 0;
    if (last >= MessageCount()) last = MessageCount() - 1;  // the input row stays
    if (first > last) return;
    beginRemoveRows(QModelIndex(), first, last);
    if (remove_) remove_(static_cast<std::size_t>(first), static_cast<std::size_t>(last));
    shown_ -= last - first + 1;
    endRemoveRows();
}

std::string ReceivedListModel::Cell(int row, int column) const {
    if (row < 0 || row >= MessageCount() || column < 0 || column >= ColumnCount) return {};
    const ReceivedStore::View m = store_.At(static_cast<std::size_t>(row));
    switch (column) {
        case NumberColumn: return std::to_string(m.number);
        case TimeColumn: {
            // Shown with a point before the milliseconds, as the traffic view shows times;
            // the saved file keeps the colon.
            std::string time = ListTime(m.msecsSinceMidnight);
            if (const auto colon = time.rfind(':'); colon != std::string::npos) time[colon] = '.';
            return time;
        }
        case StatusColumn: return StatusListText(m.statusCode);
        case TypeColumn: return std::string(1, static_cast<char>(m.type));
        case TextColumn: return ShownText(m);
        case RxBccColumn: return std::string(m.rxBcc);
        case CalcBccColumn: return std::string(m.calcBcc);
        case InjectionColumn: return std::string(m.faults);
        case WayColumn: return m.way < 0 ? "" : ProxyDirectionText(static_cast<ProxyDirection>(m.way));
        case SessionColumn: return m.session != 0 ? std::to_string(m.session) : std::string();
        default: return {};
    }
}

std::string ReceivedListModel::SavedTime(int row) const {
    if (row < 0 || row >= MessageCount()) return {};
    return ListTime(store_.At(static_cast<std::size_t>(row)).msecsSinceMidnight);
}

bool ReceivedListModel::Passes(int row, const MessageFilter& filter) const {
    return row >= 0 && row < MessageCount() && store_.Passes(static_cast<std::size_t>(row), filter);
}

std::string ReceivedListModel::TabSeparatedText() const {
    std::string out = "TimeStamp\tStatus\tType\tMessage Text\tRx BCC\tCalc BCC\t\r\n";
    for (int row = 0; row < MessageCount(); ++row) {
        const ReceivedStore::View m = store_.At(static_cast<std::size_t>(row));
        out += SavedTime(row);
        out += '\t';
        out += StatusListText(m.statusCode);
        out += '\t';
        out += static_cast<char>(m.type);
        out += '\t';
        out += QuoteField(ShownText(m));
        out += '\t';
        out += m.rxBcc;
        out += '\t';
        out += m.calcBcc;
        out += "\t\r\n";
    }
    return out;
}

int ReceivedListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : MessageCount() + 1;
}

int ReceivedListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant ReceivedListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid()) return {};
    if (role == Qt::DisplayRole) {
        // The way is UTF-8 (an arrow); the other cells are bytes.
        if (index.column() == WayColumn) return QString::fromStdString(Cell(index.row(), index.column()));
        return ToQString(Cell(index.row(), index.column()));
    }
    if (role == Qt::ToolTipRole && index.row() < MessageCount()) {
        // Under a scenario: which rule answered, or the rule that came closest and why not.
        const ReceivedStore::View m = store_.At(static_cast<std::size_t>(index.row()));
        if (!m.rule.empty()) return QStringLiteral("Answered by ") + ToQString(m.rule);
        if (!m.nearMiss.empty()) return QStringLiteral("No rule matched; the closest: ") + ToQString(m.nearMiss);
        return {};
    }
    // The number column looks like the fixed column of a grid.
    if (role == Qt::BackgroundRole && index.column() == NumberColumn)
        return QApplication::palette().button();
    return {};
}

QVariant ReceivedListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole) return {};
    if (orientation == Qt::Horizontal && section >= 0 && section < ColumnCount)
        return QString::fromLatin1(kHeaders[section]);
    return {};
}

Qt::ItemFlags ReceivedListModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;  // never editable
}
