#include "ui/application.h"

#include <exception>

#include "ui/message_boxes.h"

const char* const kApplicationTitle = "Halvorn Vantor Protocol Simulator";

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QString::fromLatin1(kApplicationTitle));
    setApplicationDisplayName(QString::fromLatin1(kApplicationTitle));
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
