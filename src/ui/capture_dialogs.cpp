#include "ui/capture_dialogs.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

#include "app/app_core.h"
#include "ui/dialog_parts.h"
#include "ui/elided_label.h"
#include "ui/latin1.h"
#include "ui/message_boxes.h"

namespace {

std::string PathOf(const QLineEdit* edit) {
    return edit->text().trimmed().toLocal8Bit().toStdString();
}

QString FromPath(const std::string& path) {
    return QString::fromLocal8Bit(path.c_str());
}

// A line edit with a Browse... button beside it.
QHBoxLayout* FileRow(QLineEdit* edit, QPushButton* browse) {
    auto* row = new QHBoxLayout;
    row->addWidget(edit, 1);
    row->addWidget(browse);
    return row;
}

// A form's row of a line edit with a Browse... button beside it, its caption's accelerator
// leading to the edit.
void AddFileRow(QFormLayout* form, const QString& caption, QLineEdit* edit, QPushButton* browse) {
    auto* label = new QLabel(caption);
    label->setBuddy(edit);
    form->addRow(label, FileRow(edit, browse));
}

QString CaptureText(const CaptureWriter::Status& status) {
    if (status.running)
        return QStringLiteral("Capturing to %1: %2 packets, %3 bytes")
            .arg(FromPath(status.path))
            .arg(status.packets)
            .arg(status.bytes);
    if (!status.error.empty()) return ToQString(status.error);  // it says whether it stopped or never began
    if (!status.path.empty())
        return QStringLiteral("Captured to %1: %2 packets").arg(FromPath(status.path)).arg(status.packets);
    return QStringLiteral("No capture");
}

QString ReplayText(const ReplayService::View& v) {
    using Phase = ReplayService::Phase;
    switch (v.phase) {
        case Phase::Idle:
            return QStringLiteral("No replay");
        case Phase::WaitingForLink:
            return QStringLiteral("Replay waits for the link");
        case Phase::Playing:
        case Phase::Collecting:
            return QStringLiteral("Replay: %1 of %2 written, %3 of %4 frames back")
                .arg(v.written)
                .arg(v.steps)
                .arg(v.received)
                .arg(v.expected);
        case Phase::Done:
            if (!v.report) return QStringLiteral("Replay done: %1 written, %2 frames back").arg(v.written).arg(v.received);
            return v.report->passed ? QStringLiteral("Replay passed: every frame as recorded")
                                    : QStringLiteral("Replay FAILED: frames differ from the recording");
        case Phase::Stopped:
            return QStringLiteral("Replay stopped (%1) after %2 of %3").arg(ToQString(v.ended)).arg(v.written).arg(v.steps);
    }
    return {};
}

}  // namespace

CaptureDialog::CaptureDialog(QWidget* parent, AppCore& core) : QDialog(parent), core_(core) {
    setObjectName("CaptureForm");
    setWindowTitle(QStringLiteral("Capture"));
    FileEdit = Named(new QLineEdit(this), "FileEdit");
    FileEdit->setMinimumWidth(360);
    FileEdit->setPlaceholderText(QStringLiteral("trace.pcapng"));
    auto* browse = Named(new QPushButton(QStringLiteral("&Browse..."), this), "BrowseButton");
    connect(browse, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Capture to"), FileEdit->text(),
                                                          QStringLiteral("Captures (*.pcapng);;All files (*)"));
        if (!path.isEmpty()) FileEdit->setText(path);
    });
    RotateKb = Named(new QSpinBox(this), "RotateKb");
    RotateKb->setRange(0, 1 << 30);
    RotateKb->setSuffix(QStringLiteral(" KiB"));
    RotateKb->setSpecialValueText(QStringLiteral("never"));
    StartButton = Named(new QPushButton(QStringLiteral("&Start"), this), "StartButton");
    StopButton = Named(new QPushButton(QStringLiteral("S&top"), this), "StopButton");
    auto* close = new QPushButton(QStringLiteral("Close"), this);
    StateLabel = Named(new QLabel(this), "StateLabel");
    StateLabel->setWordWrap(true);
    connect(StartButton, &QPushButton::clicked, this, [this] { Start(); });
    connect(StopButton, &QPushButton::clicked, this, [this] { core_.StopCapture(); });
    connect(close, &QPushButton::clicked, this, &QDialog::accept);

    auto* form = new QFormLayout;
    AddFileRow(form, QStringLiteral("&File:"), FileEdit, browse);
    form->addRow(QStringLiteral("&New file every:"), RotateKb);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(StateLabel);
    layout->addLayout(ButtonRow({StartButton, StopButton, close}));
    Refresh();
}

void CaptureDialog::Start() {
    const std::string path = PathOf(FileEdit);
    if (path.empty()) {
        MessageBoxes::Instance().Error(this, QStringLiteral("Give the file to capture to."));
        return;
    }
    const std::string error = core_.StartCapture(path, static_cast<std::uint64_t>(RotateKb->value()) * 1024);
    if (!error.empty()) MessageBoxes::Instance().Error(this, ToQString(error));
    Refresh();
}

void CaptureDialog::Refresh() {
    const CaptureWriter::Status status = core_.CaptureStatus();
    StartButton->setEnabled(!status.running);
    StopButton->setEnabled(status.running);
    StateLabel->setText(CaptureText(status));
    // A capture started elsewhere (the command line, the API) shows its file here.
    if (status.running) FileEdit->setText(FromPath(status.path));
}

ReplayDialog::ReplayDialog(QWidget* parent, AppCore& core) : QDialog(parent), core_(core) {
    setObjectName("ReplayForm");
    setWindowTitle(QStringLiteral("Replay"));
    FileEdit = Named(new QLineEdit(this), "FileEdit");
    FileEdit->setMinimumWidth(360);
    auto* browse = Named(new QPushButton(QStringLiteral("&Browse..."), this), "BrowseButton");
    connect(browse, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getOpenFileName(
            this, QStringLiteral("Replay"), FileEdit->text(),
            QStringLiteral("Recordings (*.pcapng *.jsonl *.json);;All files (*)"));
        if (!path.isEmpty()) FileEdit->setText(path);
    });
    Direction = Named(new QComboBox(this), "Direction");
    Direction->addItem(QStringLiteral("tx: what the simulator wrote"), QStringLiteral("tx"));
    Direction->addItem(QStringLiteral("rx: what the other side wrote"), QStringLiteral("rx"));
    Speed = Named(new QComboBox(this), "Speed");
    Speed->setEditable(true);
    Speed->addItems({QStringLiteral("1.0"), QStringLiteral("2.0"), QStringLiteral("0.5"), QStringLiteral("paced")});
    Validate = Named(new QCheckBox(QStringLiteral("&Compare what comes back with the recording"), this), "Validate");
    MaskEdit = Named(new QLineEdit(this), "MaskEdit");
    MaskEdit->setPlaceholderText(QStringLiteral("none"));
    auto* browseMask = new QPushButton(QStringLiteral("B&rowse..."), this);
    connect(browseMask, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Mask"), MaskEdit->text(),
                                                          QStringLiteral("Masks (*.json);;All files (*)"));
        if (!path.isEmpty()) MaskEdit->setText(path);
    });
    StartButton = Named(new QPushButton(QStringLiteral("&Start"), this), "StartButton");
    StopButton = Named(new QPushButton(QStringLiteral("S&top"), this), "StopButton");
    auto* close = new QPushButton(QStringLiteral("Close"), this);
    StateLabel = Named(new QLabel(this), "StateLabel");
    StateLabel->setWordWrap(true);
    Verdict = Named(new QPlainTextEdit(this), "Verdict");
    Verdict->setReadOnly(true);
    Verdict->setMinimumHeight(120);
    connect(StartButton, &QPushButton::clicked, this, [this] { Start(); });
    connect(StopButton, &QPushButton::clicked, this, [this] { core_.Replays().Stop(); });
    connect(close, &QPushButton::clicked, this, &QDialog::accept);

    auto* form = new QFormLayout;
    AddFileRow(form, QStringLiteral("&Recording:"), FileEdit, browse);
    form->addRow(QStringLiteral("&Play:"), Direction);
    form->addRow(QStringLiteral("Spee&d:"), Speed);
    form->addRow(QString(), Validate);
    AddFileRow(form, QStringLiteral("&Mask:"), MaskEdit, browseMask);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(StateLabel);
    layout->addWidget(Verdict);
    layout->addLayout(ButtonRow({StartButton, StopButton, close}));
    Refresh();
}

void ReplayDialog::Start() {
    ReplayService::Request request;
    request.file = PathOf(FileEdit);
    request.direction = Direction->currentData().toString().toStdString();
    request.speed = Speed->currentText().trimmed().toStdString();
    request.validate = Validate->isChecked();
    request.mask = PathOf(MaskEdit);
    try {
        core_.Replays().Start(request);
        if (const std::string warning = core_.Replays().GetView().warning; !warning.empty())
            MessageBoxes::Instance().Error(this, ToQString(warning));
    } catch (const std::exception& error) {
        MessageBoxes::Instance().Error(this, ToQString(error.what()));
    }
    Refresh();
}

void ReplayDialog::Refresh() {
    const ReplayService::View view = core_.Replays().GetView();
    const bool running = core_.Replays().Running();
    StartButton->setEnabled(!running);
    StopButton->setEnabled(running);
    StateLabel->setText(ReplayText(view));
    if (running) {
        // A replay started elsewhere (the command line, the API) shows what it plays.
        FileEdit->setText(FromPath(view.request.file));
        Direction->setCurrentIndex(std::max(0, Direction->findData(QString::fromStdString(view.request.direction))));
        Speed->setCurrentText(QString::fromStdString(view.request.speed));
        Validate->setChecked(view.request.validate);
        MaskEdit->setText(FromPath(view.request.mask));
    }
    QString verdict;
    if (view.report) {
        for (const TestReport::Case& c : view.report->cases) {
            if (!c.failed) continue;
            verdict += ToQString(c.name + ": " + c.verdict + ", " + c.message) + '\n';
            for (const std::string& line : c.evidence) verdict += QStringLiteral("    ") + ToQString(line) + '\n';
        }
        if (verdict.isEmpty()) verdict = QStringLiteral("All %1 frames as recorded.").arg(view.report->cases.size());
    }
    if (Verdict->toPlainText() != verdict) Verdict->setPlainText(verdict);
}

CaptureMenu::CaptureMenu(QMainWindow* window, AppCore& core) : QObject(window), core_(core) {
    // It shares the status bar with the link's news: a part of it, the whole text in its
    // tooltip.
    StatusLabel = Named(new ElidedLabel(window), "CaptureLabel");
    StatusLabel->setMaximumWidth(300);
    StatusLabel->hide();
    Capture = new CaptureDialog(window, core);
    Replay = new ReplayDialog(window, core);
    timer_ = new QTimer(this);
    timer_->setInterval(500);
    connect(timer_, &QTimer::timeout, this, [this] { Refresh(); });
    // The core may outlive the window (tests): a change then finds no one.
    QPointer<CaptureMenu> self(this);
    core_.Replays().AddOnChange([self] {
        if (self) self->Refresh();
    });
}

void CaptureMenu::AddFileItems(QMenu* file, QAction* before) {
    auto* capture = new QAction(QStringLiteral("&Capture..."), file);
    connect(capture, &QAction::triggered, this, [this] {
        Capture->Refresh();
        Capture->show();
        Capture->raise();
    });
    auto* replay = new QAction(QStringLiteral("&Replay..."), file);
    connect(replay, &QAction::triggered, this, [this] {
        Replay->Refresh();
        Replay->show();
        Replay->raise();
    });
    file->insertActions(before, {capture, replay});
}

void CaptureMenu::LinkChanged() {
    if (core_.Replays().Running()) return;
    replayDismissed_ = true;
    Refresh();
}

void CaptureMenu::Refresh() {
    const CaptureWriter::Status capture = core_.CaptureStatus();
    const ReplayService::View replay = core_.Replays().GetView();
    // A replay that runs is shown again, whatever was dismissed before it.
    if (core_.Replays().Running()) replayDismissed_ = false;
    const bool showReplay = replay.phase != ReplayService::Phase::Idle && !replayDismissed_;
    QStringList parts;
    if (capture.running || !capture.error.empty()) parts << CaptureText(capture);
    if (showReplay) parts << ReplayText(replay);
    StatusLabel->setText(parts.join(QStringLiteral("; ")));
    StatusLabel->setToolTip(StatusLabel->text());
    StatusLabel->setVisible(!parts.isEmpty());
    StatusLabel->setStyleSheet(!capture.error.empty() || (showReplay && replay.report && !replay.report->passed)
                                   ? QStringLiteral("color: #c01010")
                                   : QString());
    const bool running = capture.running || core_.Replays().Running();
    if (running && !timer_->isActive()) timer_->start();
    if (!running) timer_->stop();
    if (Capture->isVisible()) Capture->Refresh();
    if (Replay->isVisible()) Replay->Refresh();
}
