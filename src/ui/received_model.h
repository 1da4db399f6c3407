#pragma once

#include <QAbstractTableModel>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

class ReceivedStore;
struct MessageFilter;

// The rows of the received messages list: a view over the core's received store, one row per
// message shown and, always last, one empty input row that is not a message. Columns: row
// number, time stamp, status, type, message text, received BCC, calculated BCC, and the
// faults injected into the answer (shown, not saved: the saved file keeps its columns).
//
// The store is the one copy of the messages; the model only announces what the store gained
// or lost, so that a burst is shown in one insertion (the view then lays out once).
class ReceivedListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { NumberColumn, TimeColumn, StatusColumn, TypeColumn, TextColumn, RxBccColumn,
                  CalcBccColumn, InjectionColumn, WayColumn, SessionColumn, ColumnCount };

    explicit ReceivedListModel(const ReceivedStore& store, QObject* parent = nullptr);
    ~ReceivedListModel() override;

    // What the window's Delete does to the store (positions first..last).
    void SetRemover(std::function<void(std::size_t first, std::size_t last)> remove) {
        remove_ = std::move(remove);
    }

    // Shows the messages the store gained since the last call, in one insertion. Returns
    // how many.
    int ShowNew();
    // The store is about to drop its `count` oldest messages.
    void Dropping(std::size_t count);
    // The store was emptied.
    void Cleared();

    int MessageCount() const { return shown_; }
    // Whether the message in `row` passes the filter, as the store judges it.
    bool Passes(int row, const MessageFilter& filter) const;
    int InputRow() const { return MessageCount(); }
    // Removes message rows first..last (model rows; last may be the input row, which stays).
    void RemoveRows(int first, int last);

    // The saved form: the header line and one line per message, each field followed by a
    // TAB, lines ended by CR LF.
    std::string TabSeparatedText() const;
    // The bytes of one cell, as shown (the input row's cells are empty).
    std::string Cell(int row, int column) const;
    // The time stamp of a message row as the saved file writes it ("hh:mm:ss:mmm").
    std::string SavedTime(int row) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    const ReceivedStore& store_;
    int shown_ = 0;  // the store's first `shown_` messages are rows
    std::function<void(std::size_t, std::size_t)> remove_;
};
