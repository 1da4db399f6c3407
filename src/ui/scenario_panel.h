#pragma once

#include <QObject>
#include <QString>

#include <cstddef>

class AppCore;
class QAction;
class QDockWidget;
class QLabel;
class QMainWindow;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QTableWidget;
class QTabWidget;
class QTimer;

// The Scenario dock: the scenario in force (its state, variables, each rule's hits, the
// script's errors, the latest near misses) and each expectation with a light and, on
// selection, its evidence. Load, Reload and Stop go to the core; the dock only shows.
class ScenarioPanel : public QObject {
    Q_OBJECT
public:
    ScenarioPanel(QMainWindow* window, AppCore& core);

    // File > Load Scenario... and Load Expectations...; the View menu's toggle.
    void AddFileItems(QMenu* file, QAction* before);
    void AddViewItem(QMenu* view);
    // Asks for a scenario file and starts it (the dock shows); false when none was loaded.
    bool LoadScenario();
    bool LoadExpectations();
    // Loads the file (a scenario, or with `expectations` an expectations file); a file that is
    // refused is told in an error box, and what ran goes on.
    bool LoadFrom(const QString& path, bool expectations);

    QDockWidget* Dock = nullptr;
    QLabel* NameLabel = nullptr;
    QLabel* StateLabel = nullptr;
    QLabel* ErrorLabel = nullptr;
    QLabel* VerdictLabel = nullptr;
    QPushButton* LoadButton = nullptr;
    QPushButton* ReloadButton = nullptr;
    QPushButton* StopButton = nullptr;
    QPushButton* ExpectButton = nullptr;
    QTabWidget* Tabs = nullptr;
    QTableWidget* Rules = nullptr;
    QTableWidget* Variables = nullptr;
    QTableWidget* Expectations = nullptr;
    QPlainTextEdit* Evidence = nullptr;
    QPlainTextEdit* NearMisses = nullptr;

signals:
    // A script error the status bar should show.
    void ScriptError(const QString& text);

public slots:
    // Shows what the core holds now.
    void Refresh();

private:
    void ShowEvidence();

    QMainWindow* window_;
    AppCore& core_;
    QTimer* refresh_;
    std::size_t errorsShown_ = 0;
    QString lastError_;
    bool shownOnce_ = false;
};
