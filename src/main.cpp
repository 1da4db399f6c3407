// The Vantor Protocol Simulator: start-up and shutdown order.

#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>

#include <csignal>
#include <exception>
#include <memory>

#include "settings/preferences.h"
#include "ui/Bcccalcfrm.h"
#include "ui/PrefEdit.h"
#include "ui/about.h"
#include "ui/application.h"
#include "ui/flaghelp.h"
#include "ui/mainfrm.h"
#include "ui/message_boxes.h"

namespace {

void ShowError(const std::exception& error) {
    MessageBoxes::Instance().ApplicationError(QString::fromLocal8Bit(error.what()));
}

int g_signalSockets[2] = {-1, -1};

void OnTerminationSignal(int) {
    // Only what is safe in a signal handler: wake the user-interface thread.
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_signalSockets[1], &byte, 1);
}

// Ctrl+C in the terminal, a closed terminal or a plain kill close the main window the way its
// close box does, so the link is shut down in order and the settings are saved.
void CloseOnTerminationSignals(QWidget* mainWindow) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalSockets) != 0) return;
    auto* notifier = new QSocketNotifier(g_signalSockets[0], QSocketNotifier::Read, mainWindow);
    QObject::connect(notifier, &QSocketNotifier::activated, mainWindow, [mainWindow] {
        char byte = 0;
        [[maybe_unused]] const ssize_t got = ::read(g_signalSockets[0], &byte, 1);
        mainWindow->close();
    });
    struct sigaction action {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    // A peer that goes away mid-send must not end the program; the drivers see the error.
    std::signal(SIGPIPE, SIG_IGN);

    // The settings first: loaded now, kept until every window is gone, saved last.
    Preferences::Get_instance();

    TApplication app(argc, argv);
    int result = 0;
    {
        std::unique_ptr<TMainForm> mainForm;
        // The dialogs: created after the main window, destroyed before it (it holds plain
        // pointers to them), each once for the whole run.
        std::unique_ptr<TAboutBox> aboutBox;
        std::unique_ptr<TPreferencesForm> preferencesForm;
        std::unique_ptr<TBccCalcForm> bccCalcForm;
        std::unique_ptr<TFlagHelpForm> flagHelpForm;
        try {
            mainForm = std::make_unique<TMainForm>(Preferences::Get_instance());
            aboutBox = std::make_unique<TAboutBox>(mainForm.get());
            preferencesForm =
                std::make_unique<TPreferencesForm>(Preferences::Get_instance(), mainForm.get());
            bccCalcForm = std::make_unique<TBccCalcForm>(mainForm.get());
            flagHelpForm = std::make_unique<TFlagHelpForm>(mainForm.get());
            mainForm->SetDialogs(
                {preferencesForm.get(), flagHelpForm.get(), bccCalcForm.get(), aboutBox.get()});
        } catch (const std::exception& error) {
            ShowError(error);
            result = 1;
        }
        if (mainForm) {
            // The program ends with its main window, whatever else is open.
            QObject::connect(mainForm.get(), &TMainForm::Closed, &app, &QApplication::quit,
                             Qt::QueuedConnection);
            CloseOnTerminationSignals(mainForm.get());
            mainForm->show();
            result = app.exec();
        }
        // The windows go here: the main window stores its placement, each row its texts.
    }

    try {
        Preferences::Destroy_instance();  // writes the configuration file
    } catch (const std::exception& error) {
        ShowError(error);
        if (result == 0) result = 1;
    }
    return result;
}
