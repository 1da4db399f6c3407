#include "ui/received_model.h"

#include <QApplication>
#include <QPalette>

#include <cstring>

#include "app/received_store.h"
#include "ui/latin1.h"

namespace {

const char* const kHeaders[ReceivedListModel::ColumnCount] = {
    "", "TimeStamp", "Status", "Type", "Message Text", "Rx BCC", "Calc BCC", "Injection"};

// Record field order: status, type, received BCC, calculated BCC, text; then the injection.
enum Field { StatusField, TypeField, RxBccField, CalcBccField, TextField, InjectionField, FieldCount };

int FieldOfColumn(int column) {
    switch (column) {
        case ReceivedListModel::StatusColumn: return StatusField;
        case ReceivedListModel::TypeColumn: return TypeField;
        case ReceivedListModel::TextColumn: return TextField;
        case ReceivedListModel::RxBccColumn: return RxBccField;
        case ReceivedListModel::CalcBccColumn: return CalcBccField;
        case ReceivedListModel::InjectionColumn: return InjectionField;
        default: return -1;
    }
}

}  // namespace

ReceivedListModel::ReceivedListModel(QObject* parent) : QAbstractTableModel(parent) {}

ReceivedListModel::~ReceivedListModel() = default;

ReceivedListModel::Message ReceivedListModel::ParseRecord(std::string record) {
    ReceivedMessage parsed = ReceivedStore::ParseRecord(std::move(record));
    return Message{std::move(parsed.status), std::move(parsed.type), std::move(parsed.rxBcc),
                   std::move(parsed.calcBcc), std::move(parsed.text), {}};
}

std::string ReceivedListModel::FormatTime(std::int32_t ms) {
    return ReceivedStore::FormatTime(ms);
}

std::string ReceivedListModel::QuoteField(std::string_view text) {
    return ReceivedStore::QuoteField(text);
}

int ReceivedListModel::AddMessage(Message m, std::int32_t msecsSinceMidnight) {
    std::vector<Arrival> one;
    one.push_back(Arrival{std::move(m), msecsSinceMidnight});
    return AddMessages(std::move(one));
}

int ReceivedListModel::AddMessages(std::vector<Arrival> arrivals) {
    if (arrivals.empty()) return -1;
    const int first = InputRow();
    const int count = static_cast<int>(arrivals.size());
    // The old input row takes the first message; the others and the new input row are
    // inserted after it.
    beginInsertRows(QModelIndex(), first + 1, first + count);
    for (Arrival& arrival : arrivals) {
        const Message& m = arrival.message;
        const std::string* fields[FieldCount] = {&m.status, &m.type, &m.rxBcc, &m.calcBcc, &m.text, &m.injection};
        Row row;
        std::size_t total = 0;
        for (int i = 0; i < FieldCount; ++i) {
            row.length[i] = static_cast<std::uint32_t>(fields[i]->size());
            total += fields[i]->size();
        }
        row.texts.reset(new char[total == 0 ? 1 : total]);
        char* out = row.texts.get();
        for (const std::string* field : fields) {
            std::memcpy(out, field->data(), field->size());
            out += field->size();
        }
        row.number = InputRow() + 1;  // the grid counts its header as row 0
        row.time = arrival.msecsSinceMidnight;
        rows_.push_back(std::move(row));
    }
    endInsertRows();
    emit dataChanged(index(first, 0), index(first, ColumnCount - 1));
    return InputRow() - 1;
}

void ReceivedListModel::RemoveRows(int first, int last) {
    if (first < 0) first = 0;
    if (last >= MessageCount()) last = MessageCount() - 1;  // the input row stays
    if (first > last) return;
    beginRemoveRows(QModelIndex(), first, last);
    rows_.erase(rows_.begin() + first, rows_.begin() + last + 1);
    endRemoveRows();
}

void ReceivedListModel::Clear() {
    beginResetModel();
    std::deque<Row>().swap(rows_);
    endResetModel();
}

std::string_view ReceivedListModel::Field(const Row& row, int field) const {
    std::size_t offset = 0;
    for (int i = 0; i < field; ++i) offset += row.length[i];
    return std::string_view(row.texts.get() + offset, row.length[field]);
}

std::string ReceivedListModel::Cell(int r, int column) const {
    if (r < 0 || r >= MessageCount() || column < 0 || column >= ColumnCount) return {};
    const Row& row = rows_[static_cast<std::size_t>(r)];
    if (column == NumberColumn) return std::to_string(row.number);
    if (column == TimeColumn) return FormatTime(row.time);
    return std::string(Field(row, FieldOfColumn(column)));
}

std::string ReceivedListModel::TabSeparatedText() const {
    std::string out = "TimeStamp\tStatus\tType\tMessage Text\tRx BCC\tCalc BCC\t\r\n";
    for (const Row& row : rows_) {
        out += FormatTime(row.time);
        out += '\t';
        out += Field(row, StatusField);
        out += '\t';
        out += Field(row, TypeField);
        out += '\t';
        out += QuoteField(Field(row, TextField));
        out += '\t';
        out += Field(row, RxBccField);
        out += '\t';
        out += Field(row, CalcBccField);
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
    if (role == Qt::DisplayRole) return ToQString(Cell(index.row(), index.column()));
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
