#include "ui/main_menus.h"

#include <QAction>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>

#include <utility>

#include "app/app_core.h"
#include "base/event.h"
#include "settings/value_checks.h"
#include "text/integer.h"
#include "text/parser.h"
#include "ui/latin1.h"
#include "ui/message_boxes.h"

void BuildMainMenus(QMainWindow* window, MainMenuItems& items) {
    // Accelerator letters: without them Alt+F would type an "f" into the focused message
    // text, and it would go out with the next send.
    QMenuBar* bar = window->menuBar();
    QMenu* file = items.FileMenu = bar->addMenu(QStringLiteral("&File"));
    items.BatchSendMenuItem = file->addAction(QStringLiteral("&Batch Send"));
    file->addSeparator();
    items.ExitMenuItem = file->addAction(QStringLiteral("E&xit"));
    QMenu* setup = bar->addMenu(QStringLiteral("&Setup"));
    items.PreferencesMenuItem = setup->addAction(QStringLiteral("&Preferences..."));
    QMenu* link = bar->addMenu(QStringLiteral("&Link"));
    items.DropLinkMenuItem = link->addAction(QStringLiteral("&Drop TCP Connections"));
    items.BreakMenuItem = link->addAction(QStringLiteral("Send &Break"));
    items.XoffMenuItem = link->addAction(QStringLiteral("Hold the Peer with &XOFF..."));
    items.RawBytesMenuItem = link->addAction(QStringLiteral("Send &Raw Bytes..."));
    link->addSeparator();
    items.ReconnectMenuItem = link->addAction(QStringLiteral("Re&connect"));
    QMenu* help = bar->addMenu(QStringLiteral("&Help"));
    items.BCCCalcMenuItem = help->addAction(QStringLiteral("&BCC Calculator..."));
    items.FlagsHelpMenuItem = help->addAction(QStringLiteral("&Flags..."));
    help->addSeparator();
    items.AboutMenuItem = help->addAction(QStringLiteral("&About..."));
}

LinkMenu::LinkMenu(QWidget* window, const MainMenuItems& items, AppCore& core,
                   std::function<void(const QString&)> say)
    : QObject(window), window_(window), items_(items), core_(core), say_(std::move(say)) {
    Wire(items.DropLinkMenuItem, &QAction::triggered,
         [this] { Post(LinkActionCode::DropConnections, {}); });
    Wire(items.BreakMenuItem, &QAction::triggered, [this] { Post(LinkActionCode::SendBreak, {}); });
    Wire(items.ReconnectMenuItem, &QAction::triggered,
         [this] { Post(LinkActionCode::Reconnect, {}); });
    Wire(items.XoffMenuItem, &QAction::triggered, [this] {
        LinkArgumentRequest request;
        request.title = QStringLiteral("Hold the Peer with XOFF");
        request.label = QStringLiteral("&Milliseconds until XON:");
        request.note =
            QStringLiteral("XOFF goes out now and XON this many milliseconds later (0 to %1).")
                .arg(kHoldMsRange.high);
        request.check = [](const QString& text, int&, int&) {
            return ToQString(HoldTimeProblem(ToBytes(text)));
        };
        if (const auto ms = AskLinkArgument(request))
            Post(LinkActionCode::HoldWithXoff, ToBytes(*ms));
    });
    Wire(items.RawBytesMenuItem, &QAction::triggered, [this] {
        LinkArgumentRequest request;
        request.title = QStringLiteral("Send Raw Bytes");
        request.label = QStringLiteral("&Bytes:");
        request.note = QStringLiteral(
            "Sent as typed, outside any frame. Escapes: \\r \\n \\t, \\xHH (two hexadecimal "
            "digits), \\<SOH> (a control character by name), \\\\ (a backslash). Raw bytes take "
            "no flags: a % is sent as it is.");
        request.check = [](const QString& text, int& at, int& length) {
            const RawBytes raw = ParseRawBytes(ToBytes(text));
            at = static_cast<int>(raw.errorAt);
            length = static_cast<int>(raw.errorLength);
            return raw.Ok() ? QString() : ToQString(raw.error);
        };
        if (const auto text = AskLinkArgument(request)) {
            const RawBytes raw = ParseRawBytes(ToBytes(*text));
            if (raw.Ok()) Post(LinkActionCode::SendRaw, raw.bytes);
        }
    });
    AskLinkArgument = [this](const LinkArgumentRequest& request) -> std::optional<QString> {
        TLinkArgumentForm dialog(request, window_);
        if (dialog.exec() != QDialog::Accepted) return std::nullopt;
        return dialog.Text();
    };
}

void LinkMenu::Update() {
    // Only what the link in use can do.
    for (const auto& [item, code] :
         {std::pair{items_.DropLinkMenuItem, LinkActionCode::DropConnections},
          std::pair{items_.BreakMenuItem, LinkActionCode::SendBreak},
          std::pair{items_.XoffMenuItem, LinkActionCode::HoldWithXoff},
          std::pair{items_.RawBytesMenuItem, LinkActionCode::SendRaw},
          std::pair{items_.ReconnectMenuItem, LinkActionCode::Reconnect}})
        item->setEnabled(core_.CannotDo(code).empty());
}

void LinkMenu::Post(std::int32_t code, const std::string& argument) {
    LinkActionArgs args;
    if (code == LinkActionCode::HoldWithXoff) {
        if (const std::string problem = HoldTimeProblem(argument); !problem.empty()) {
            MessageBoxes::Instance().Error(window_, ToQString(problem));
            return;
        }
        args.ms = *ParseInteger(argument);
    } else if (code == LinkActionCode::SendRaw) {
        args.bytes = argument;
    }
    if (const std::string refused = core_.LinkAction(code, args); !refused.empty())
        say_(ToQString(refused));
}
