#pragma once

#include <QDialog>
#include <QObject>

class AppCore;
class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QMainWindow;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class QTimer;

// File > Capture...: a pcapng capture of the link to a file, started and stopped here; the
// core writes it.
class CaptureDialog : public QDialog {
public:
    CaptureDialog(QWidget* parent, AppCore& core);
    void Refresh();

    QLineEdit* FileEdit = nullptr;
    QSpinBox* RotateKb = nullptr;
    QPushButton* StartButton = nullptr;
    QPushButton* StopButton = nullptr;
    QLabel* StateLabel = nullptr;

private:
    void Start();
    AppCore& core_;
};

// File > Replay...: one side of a recording played on the link, with its progress and the
// validation's verdict; the core plays and judges it.
class ReplayDialog : public QDialog {
public:
    ReplayDialog(QWidget* parent, AppCore& core);
    void Refresh();

    QLineEdit* FileEdit = nullptr;
    QComboBox* Direction = nullptr;
    QComboBox* Speed = nullptr;
    QCheckBox* Validate = nullptr;
    QLineEdit* MaskEdit = nullptr;
    QPushButton* StartButton = nullptr;
    QPushButton* StopButton = nullptr;
    QLabel* StateLabel = nullptr;
    QPlainTextEdit* Verdict = nullptr;

private:
    void Start();
    AppCore& core_;
};

// The File menu's Capture... and Replay..., and what the status bar shows of both.
class CaptureMenu : public QObject {
public:
    CaptureMenu(QMainWindow* window, AppCore& core);
    // Inserts the items into `file` before `before`.
    void AddFileItems(QMenu* file, QAction* before);
    // Capture or replay changed: the status bar and the open dialogs.
    void Refresh();
    // The link changed: the verdict of a replay that has ended is old news from now on.
    void LinkChanged();

    QLabel* StatusLabel = nullptr;
    CaptureDialog* Capture = nullptr;
    ReplayDialog* Replay = nullptr;

private:
    AppCore& core_;
    QTimer* timer_ = nullptr;  // the counts while a capture or replay runs
    bool replayDismissed_ = false;  // the ended replay is no longer shown
};
