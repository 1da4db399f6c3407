#pragma once

#include <QApplication>

#include <exception>

#include "ui/message_boxes.h"

// The application object. An error that escapes a window's handler is shown in the
// application's error box and the program goes on.
class TApplication : public QApplication {
public:
    TApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

// "Halvorn Vantor Protocol Simulator": the application title and the main window's caption.
extern const char* const kApplicationTitle;

// Runs a handler that a signal calls and shows an error escaping it in the application's
// error box: an exception must not unwind through Qt's signal delivery.
template <typename Handler>
void RunGuarded(Handler&& handler) {
    try {
        handler();
    } catch (const std::exception& error) {
        MessageBoxes::Instance().ApplicationError(QString::fromLocal8Bit(error.what()));
    }
}
