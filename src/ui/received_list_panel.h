#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QWidget>

#include <cstddef>
#include <cstdint>
#include <functional>

class AppCore;
class QAction;
class QCheckBox;
class QLabel;
class QMenu;
class QTableView;
class QTimer;
class QToolButton;
class ReceivedListHabits;
class ReceivedListModel;

// The main window's lower half: the received messages list with its buttons (clear, save,
// configure), its check boxes, filter box and popup menu. A view over the core's received
// store: it lists what the core took in, at most every 50 ms during a burst.
class ReceivedListPanel : public QWidget {
public:
    ReceivedListPanel(AppCore& core, QWidget* parent);

    QLabel* Label1;
    QToolButton* ClearReceivedButton;
    QToolButton* SaveButton;
    QToolButton* ReceiveConfigureButton;  // the window opens the reply actions with it
    QTableView* ReceivedMsgsGrid;
    ReceivedListModel* ReceivedMessages;
    QCheckBox* ShowNonPrintablesCheckBox;
    QMenu* GridPopupMenu;
    QAction* CopyPopupMenuItem;
    QAction* SelectAllPopupMenuItem;
    QAction* DeletePopupMenuItem;
    QAction* ClearPopupMenuItem;
    // The list's bound, follow-newest toggle, Ctrl+C and filter box.
    ReceivedListHabits* ListHabits;
    // Where Save asks for the file; tests replace it. Empty means cancelled.
    std::function<QString()> ChooseSaveFile;

    // The core took in messages: the first after a quiet spell is listed at once, during a
    // burst the list catches up every 50 ms (with a long list Qt's view lays out every row
    // after each insertion, so a burst goes in in one step).
    void MessagesAdded();
    void MessagesDropping(std::size_t count);
    void MessagesCleared();
    // Lists the messages waiting, in one go, and makes the newest current while following.
    // Every list command lists the waiting messages first.
    void Flush();
    // Widens the number column to show the newest number whole.
    void FitNumbers();
    // The message text column takes the width the grid has now; the list starts empty.
    void FitToShow();
    // The way a message went shows only where there are two ways: between the proxy's sides.
    void ShowWays(bool proxy);
    // Which session a message came in shows, and can be chosen, once there have been several:
    // sessions 1 to `count`; 0 shows none.
    void ShowSessions(std::uint32_t count);

    void ClearReceivedButtonClick();
    void SelectAllPopupMenuItemClick();
    void DeletePopupMenuItemClick();
    void SaveButtonClick();
    // Writes the list to `path`; false (after the error box) when it could not.
    bool SaveReceivedMessages(const QString& path);

private:
    void BuildGrid();

    AppCore& core_;
    QTimer* updateTimer_;
    QElapsedTimer lastUpdate_;
};
