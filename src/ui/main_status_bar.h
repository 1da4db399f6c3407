#pragma once

#include <QString>
#include <QStringList>

#include <cstddef>
#include <vector>

class QLabel;
class QMainWindow;
class QToolButton;
struct SettingWarning;

// The main window's three status panels: a message (why the link could not be opened, say),
// the engine's status, and the link in use. The panels share what the window's width leaves;
// none ever widens the window.
class MainStatusBar {
public:
    explicit MainStatusBar(QMainWindow* window);

    QLabel* Panels[3];
    // Offered once the received list has grown large: keep only its newest messages.
    QToolButton* KeepNewestButton;
    QStringList StatusTexts;  // the engine's status texts by their code

    // The first panel; its tooltip holds the whole of a text cut short.
    void ShowMessage(const QString& text);
    void ShowStatus(int code);
    void ShowSending();
    void ShowLink(const QString& summary);
    // The received list holds `bytes`: said once in the first panel, with KeepNewestButton.
    void ShowListLarge(std::size_t bytes, std::size_t listed);
    // Settings the file held out of range, replaced by their defaults: said once, each in
    // the tooltip.
    void ShowLoadWarnings(const std::vector<SettingWarning>& warnings);
};
