#include "ui/traffic_model.h"

#include <QBrush>
#include <QColor>
#include <QDateTime>

#include "protocol/frame.h"
#include "text/parser.h"
#include "traffic/traffic_log.h"
#include "ui/latin1.h"

TrafficModel::TrafficModel(std::size_t bound, QObject* parent)
    : QAbstractTableModel(parent), store_(bound) {}

void TrafficModel::Append(const TrafficBatch& batch) {
    if (batch.entries.empty()) return;
    // Removals at the top and insertions at the end, each announced before it is made, never
    // a reset: the view keeps its selection and its scroll position.
    const TrafficStore::Change change = store_.Plan(batch);
    const std::size_t drop = store_.DropFor(std::min(batch.entries.size(), store_.Bound()));
    if (change.rowsRemoved > 0) beginRemoveRows({}, 0, static_cast<int>(change.rowsRemoved) - 1);
    store_.DropOldest(drop);
    if (change.rowsRemoved > 0) endRemoveRows();
    const int first = rowCount();
    if (change.rowsAdded > 0)
        beginInsertRows({}, first, first + static_cast<int>(change.rowsAdded) - 1);
    store_.AppendWithin(batch);
    if (change.rowsAdded > 0) endInsertRows();
}

void TrafficModel::SetBound(std::size_t bound) {
    beginResetModel();
    store_.SetBound(bound);
    endResetModel();
}

void TrafficModel::SetFilter(const TrafficFilter& filter) {
    beginResetModel();
    store_.SetFilter(filter);
    endResetModel();
}

void TrafficModel::Clear() {
    beginResetModel();
    store_.Clear();
    endResetModel();
}

void TrafficModel::SetHex(bool hex) {
    if (hex == hex_) return;
    hex_ = hex;
    if (rowCount() > 0) emit dataChanged(index(0, TextColumn), index(rowCount() - 1, TextColumn));
}

int TrafficModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(store_.Rows());
}

int TrafficModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

std::string TrafficModel::RowText(int row) const {
    const std::uint64_t sequence = SequenceOfRow(row);
    std::string line = FormatRecord(LogFormat::Tsv, store_.Entry(sequence), store_.Bytes(sequence));
    line.erase(line.size() - 2);  // the log file's CR LF: a pasted line ends as lines do here
    return line + '\n';
}

QString TrafficModel::Cell(const TrafficEntry& e, const std::uint8_t* bytes, int column) const {
    const bool frame = IsFrame(e.kind);
    switch (column) {
        case TimeColumn:
            return QDateTime::fromMSecsSinceEpoch(e.micros / 1000)
                       .toString(QStringLiteral("HH:mm:ss.zzz")) +
                   QStringLiteral("%1").arg(e.micros % 1000, 3, 10, QLatin1Char('0'));
        case DirectionColumn:
            return QString::fromUtf8(DirectionText(e.direction, e.proxy));
        case KindColumn:
            return QString::fromLatin1(KindText(e.kind));
        case StatusColumn:
            return frame ? QString::fromLatin1(StatusListText(e.status)).trimmed() : QString();
        case TypeColumn:
            return frame ? ToQString(std::string(1, static_cast<char>(e.type))) : QString();
        case TextColumn: {
            if (hex_) {
                QString hex;
                for (std::uint32_t i = 0; i < e.length; ++i)
                    hex += QStringLiteral("%1 ").arg(bytes[i], 2, 16, QLatin1Char('0'));
                return hex.trimmed();
            }
            const std::string text =
                frame ? DecodeFrame(bytes, e.length).text
                      : std::string(reinterpret_cast<const char*>(bytes), e.length);
            return ToQString(parser_.Show_non_printables(text));
        }
        case BccColumn: {
            if (!frame) return {};
            const FrameParts parts = DecodeFrame(bytes, e.length);
            return ToQString(parts.receivedBcc + " / " + parts.computedBcc);
        }
        case LatencyColumn:
            return e.latency >= 0 ? QStringLiteral("%1 ms").arg(
                                        static_cast<double>(e.latency) / 1000.0, 0, 'f', 3)
                                  : QString();
        case AttemptColumn:
            return e.attempt > 0 ? QString::number(e.attempt) : QString();
        case SessionColumn:
            return e.session != 0 ? QString::number(e.session) : QString();
        default:
            return {};
    }
}

QVariant TrafficModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const std::uint64_t sequence = SequenceOfRow(index.row());
    const TrafficEntry& entry = store_.Entry(sequence);
    if (role == Qt::DisplayRole) return Cell(entry, store_.Bytes(sequence), index.column());
    if (role == Qt::ForegroundRole) {
        if (entry.kind == EntryKind::Stray || entry.kind == EntryKind::Fault || entry.status != StatusOk ||
            entry.kind == EntryKind::Nak) {
            return QBrush(QColor(0xb0, 0x00, 0x00));
        }
        if (entry.direction == Direction::Tx) return QBrush(QColor(0x00, 0x40, 0xa0));
    }
    return {};
}

QVariant TrafficModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    static const char* const names[ColumnCount] = {
        "Time", "Dir", "Kind", "Status", "Type", "Text", "BCC (rx / calc)", "Latency", "Try", "Session"};
    return section >= 0 && section < ColumnCount ? QString::fromLatin1(names[section]) : QVariant();
}
