#pragma once

#include <QAbstractTableModel>

#include <cstdint>
#include <string>

#include "text/parser.h"
#include "traffic/traffic_store.h"

// The traffic view's rows: a thin table over the TrafficStore; cell texts are made when a
// row is drawn, so a million entries cost only their compact records.
class TrafficModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column {
        TimeColumn,
        DirectionColumn,
        KindColumn,
        StatusColumn,
        TypeColumn,
        TextColumn,
        BccColumn,
        LatencyColumn,
        AttemptColumn,
        SessionColumn,  // shown once there have been several sessions
        ColumnCount
    };

    explicit TrafficModel(std::size_t bound, QObject* parent = nullptr);

    void Append(const TrafficBatch& batch);
    void SetBound(std::size_t bound);
    void SetFilter(const TrafficFilter& filter);
    void Clear();
    // The text column shows every byte in hex instead of the frame's text.
    void SetHex(bool hex);
    const TrafficStore& Store() const { return store_; }
    std::uint64_t SequenceOfRow(int row) const {
        return store_.SequenceOfRow(static_cast<std::size_t>(row));
    }
    // A row as a tab-separated line, the continuous log's TSV format ended by a line feed.
    std::string RowText(int row) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    QString Cell(const TrafficEntry& entry, const std::uint8_t* bytes, int column) const;

    TrafficStore store_;
    bool hex_ = false;
    mutable Parser parser_;  // one for every cell drawn: making one costs more than the cell
};
