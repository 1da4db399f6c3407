#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "ui/application.h"
#include "ui/link_argument_dialog.h"

class AppCore;
class QAction;
class QMainWindow;
class QMenu;

// Connects a control's signal to a handler; an error escaping the handler is shown in the
// application's error box.
template <typename Sender, typename Signal, typename Handler>
void Wire(Sender* sender, Signal signal, Handler handler) {
    QObject::connect(sender, signal, sender, [handler] { RunGuarded(handler); });
}

// The main window's menu items.
struct MainMenuItems {
    QMenu* FileMenu = nullptr;
    QAction* BatchSendMenuItem = nullptr;
    QAction* ExitMenuItem = nullptr;
    QAction* PreferencesMenuItem = nullptr;
    QAction* BCCCalcMenuItem = nullptr;
    QAction* FlagsHelpMenuItem = nullptr;
    QAction* AboutMenuItem = nullptr;
    // Link: act on the link now (the engine does it on the control thread).
    QAction* DropLinkMenuItem = nullptr;
    QAction* BreakMenuItem = nullptr;
    QAction* XoffMenuItem = nullptr;
    QAction* RawBytesMenuItem = nullptr;
    QAction* ReconnectMenuItem = nullptr;
};

// Builds the menu bar (File, Setup, Link, Help) into `window`.
void BuildMainMenus(QMainWindow* window, MainMenuItems& items);

// The Link menu's items at work: each asks for its argument where it takes one, hands the
// action to the core, and is enabled only when the link in use can do it.
class LinkMenu : public QObject {
public:
    // `say` shows why the core refused an action.
    LinkMenu(QWidget* window, const MainMenuItems& items, AppCore& core,
             std::function<void(const QString&)> say);

    // Asks for an item's argument; tests replace it. Nothing when cancelled.
    std::function<std::optional<QString>(const LinkArgumentRequest& request)> AskLinkArgument;
    // Enables the items the link in use can do.
    void Update();
    // Posts a link action; raw bytes come as they are sent, a hold time as typed.
    void Post(std::int32_t code, const std::string& argument);

private:
    QWidget* window_;
    const MainMenuItems& items_;
    AppCore& core_;
    std::function<void(const QString&)> say_;
};
