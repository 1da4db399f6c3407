#include "ui/window_placement.h"

#include <QDockWidget>
#include <QGuiApplication>
#include <QMainWindow>
#include <QScreen>
#include <QSplitter>

// A stored placement whose title bar lies on no screen (a file from a larger desktop, a
// monitor since unplugged) would open the window out of reach: it goes to the middle of the
// primary screen instead, at its stored size if that fits there.
QRect ReachablePlacement(const QRect& stored) {
    // The strip the title bar takes, and how much of it must show to be dragged.
    constexpr int kTitleHeight = 30;
    constexpr int kGripWidth = 40;
    constexpr int kGripHeight = 10;
    const QRect title(stored.left(), stored.top(), stored.width(), kTitleHeight);
    const QList<QScreen*> screens = QGuiApplication::screens();
    for (const QScreen* screen : screens) {
        const QRect shown = title.intersected(screen->availableGeometry());
        if (shown.width() >= qMin(kGripWidth, stored.width()) && shown.height() >= kGripHeight)
            return stored;
    }
    const QScreen* primary = QGuiApplication::primaryScreen();
    if (primary == nullptr) return stored;
    const QRect area = primary->availableGeometry();
    const QSize size = stored.size().boundedTo(area.size());
    return QRect(area.left() + (area.width() - size.width()) / 2,
                 area.top() + (area.height() - size.height()) / 2, size.width(), size.height());
}

void ApplyPlacement(QMainWindow* window, QSplitter* splitter, const DisplayPrefs& display,
                    int rxDefault) {
    const QRect placement =
        ReachablePlacement(QRect(display.Left, display.Top, display.Width, display.Height));
    window->move(placement.topLeft());
    window->resize(placement.size());
    // The list's height as the user left it last time.
    const int rxHeight = display.RxHeight > 0 ? display.RxHeight : rxDefault;
    splitter->setSizes({qMax(0, placement.height() - rxHeight), rxHeight});
    if (display.State == 2) {
        window->setWindowState(Qt::WindowMaximized);
    } else if (display.State == 1) {
        window->setWindowState(Qt::WindowMinimized);
    }
}

DisplayPrefs PlacementNow(const QMainWindow* window, const QSplitter* splitter, bool shown,
                          DisplayPrefs display) {
    if (shown) display.RxHeight = splitter->sizes().value(1, display.RxHeight);
    if (window->isMaximized()) {
        display.State = 2;
    } else if (window->isMinimized()) {
        display.State = 1;
    } else {
        display.State = 0;
        display.Left = window->x();
        display.Top = window->y();
        display.Height = window->height();
        display.Width = window->width();
    }
    return display;
}

void SizeDockWhenShown(QMainWindow* window, QDockWidget* dock) {
    QObject::connect(dock, &QDockWidget::visibilityChanged, window, [window, dock](bool visible) {
        if (!visible || dock->isFloating()) return;
        const int total = window->centralWidget()->height() + dock->height();
        const int most = total - window->centralWidget()->minimumSizeHint().height();
        const int least = dock->minimumSizeHint().height();
        if (most < least) return;
        window->resizeDocks({dock}, {qBound(least, total * 9 / 20, most)}, Qt::Vertical);
    });
}
