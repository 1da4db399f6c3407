#pragma once

#include <QString>
#include <QStringList>

#include <vector>

class QLabel;
class QMainWindow;
struct SettingWarning;

// The main window's three status panels: a message (why the link could not be opened, say),
// the engine's status, and the link in use. The panels share what the window's width leaves;
// none ever widens the window.
class MainStatusBar {
public:
    explicit MainStatusBar(QMainWindow* window);

    QLabel* Panels[3];
    QStringList StatusTexts;  // the engine's status texts by their code

    // The first panel; its tooltip holds the whole of a text cut short.
    void ShowMessage(const QString& text);
    void ShowStatus(int code);
    void ShowSending();
    void ShowLink(const QString& summary);
    // Settings the file held out of range, replaced by their defaults: said once, each in
    // the tooltip.
    void ShowLoadWarnings(const std::vector<SettingWarning>& warnings);
};
