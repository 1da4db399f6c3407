#pragma once

#include <QRect>

#include "settings/prefs.h"

class QDockWidget;
class QMainWindow;
class QSplitter;

// Where the main window, its splitter and its docks go, from the settings and back.

// Where a stored placement (left, top, width, height) opens: as stored while its title bar
// shows on some screen, else in the middle of the primary screen.
QRect ReachablePlacement(const QRect& stored);

// Places `window` as `display` says (maximised, minimised, or where it was), and gives the
// splitter's lower part the height it had (`rxDefault` when none was kept).
void ApplyPlacement(QMainWindow* window, QSplitter* splitter, const DisplayPrefs& display,
                    int rxDefault);

// `display` with the window's placement now; the splitter's lower height only once shown.
DisplayPrefs PlacementNow(const QMainWindow* window, const QSplitter* splitter, bool shown,
                          DisplayPrefs display);

// Opened below the rows, `dock` takes less than half of the height, and never what the rows
// and the list need.
void SizeDockWhenShown(QMainWindow* window, QDockWidget* dock);
