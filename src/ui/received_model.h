#pragma once

#include <QAbstractTableModel>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The rows of the received messages list: one row per message and, always last, one empty
// input row that is not a message. Columns: row number, time stamp, status, type, message
// text, received BCC, calculated BCC, and the faults injected into the answer (shown, not
// saved: the saved file keeps its columns).
//
// Built for long runs: a row is one small record plus one allocation holding its five texts
// (about 60 bytes beyond the texts), the time is kept as milliseconds since midnight and
// formatted only when shown, and adding a row never touches the rows before it.
class ReceivedListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { NumberColumn, TimeColumn, StatusColumn, TypeColumn, TextColumn, RxBccColumn,
                  CalcBccColumn, InjectionColumn, ColumnCount };

    // One received message, cut out of its record.
    struct Message {
        std::string status;
        std::string type;
        std::string rxBcc;
        std::string calcBcc;
        std::string text;
        std::string injection;  // the faults put into its answer; empty for none
    };

    explicit ReceivedListModel(QObject* parent = nullptr);
    ~ReceivedListModel() override;

    // Cuts a received-message record into its fields. Everything after the fourth separator
    // is the text, separators included: the list shows the message that arrived, whole.
    static Message ParseRecord(std::string record);
    // "hh:mm:ss:mmm".
    static std::string FormatTime(std::int32_t msecsSinceMidnight);
    // The text between double quotes, with every double quote in it doubled.
    static std::string QuoteField(std::string_view text);

    // Writes the message into the input row, numbered with that row's index counting the
    // header as row 0, and appends a new input row. Returns the row written.
    int AddMessage(Message message, std::int32_t msecsSinceMidnight);
    // The same for several messages in order, in one insertion (the view then lays out once).
    // Returns the last row written, or -1 when there was nothing to add.
    struct Arrival {
        Message message;
        std::int32_t msecsSinceMidnight;
    };
    int AddMessages(std::vector<Arrival> arrivals);
    int MessageCount() const { return static_cast<int>(rows_.size()); }
    int InputRow() const { return MessageCount(); }
    // Removes message rows first..last (model rows; last may be the input row, which stays).
    void RemoveRows(int first, int last);
    void Clear();

    // The saved form: the header line and one line per message, each field followed by a
    // TAB, lines ended by CR LF.
    std::string TabSeparatedText() const;

    // The bytes of one cell, as shown (the input row's cells are empty).
    std::string Cell(int row, int column) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    // The six texts live in one allocation, one after another, in field order.
    struct Row {
        std::unique_ptr<char[]> texts;
        std::uint32_t length[6];  // status, type, rx BCC, calc BCC, text, injection
        std::int32_t number;
        std::int32_t time;  // milliseconds since local midnight
    };
    std::string_view Field(const Row& row, int field) const;

    std::deque<Row> rows_;
};
