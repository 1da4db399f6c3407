#include "ui/application.h"

#include <exception>

#include "ui/message_boxes.h"

const char* const kApplicationTitle = "Halvorn Vantor Protocol Simulator";

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
    // No display name: Qt would add it to every window's caption, and the dialogs' captions
    // are theirs alone ("Preferences", "About"). The program's own name, not the window's
    // caption, names the application: Qt gives that name to a hidden window of its own (the
    // X11 client leader), and a close request sent to a window found by the caption must
    // reach the main window, not that one, which ignores it.
    setApplicationName(QStringLiteral("vantor-simulator"));
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        MessageBoxes::Instance().ApplicationError(QString::fromLocal8Bit(error.what()));
    } catch (...) {
        MessageBoxes::Instance().ApplicationError(QStringLiteral("Unknown error"));
    }
    return false;
}
