#pragma once

#include <QApplication>

// The application object. An error that escapes a window's handler is shown in the
// application's error box and the program goes on.
class TApplication : public QApplication {
public:
    TApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

// "Halvorn Vantor Protocol Simulator": the application title and the main window's caption.
extern const char* const kApplicationTitle;
