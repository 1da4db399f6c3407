#include "ui/scenario_panel.h"

#include <QDateTime>
#include <QDockWidget>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QSplitter>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "app/app_core.h"
#include "scenario/scenario.h"
#include "ui/latin1.h"
#include "ui/message_boxes.h"

namespace {

// Often enough to follow a handshake by eye; rarely enough to cost nothing under a flood.
constexpr int kRefreshMs = 150;

QTableWidget* Table(const QStringList& headers) {
    auto* table = new QTableWidget(0, static_cast<int>(headers.size()));
    table->setHorizontalHeaderLabels(headers);
    table->verticalHeader()->hide();
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->horizontalHeader()->setStretchLastSection(true);
    // The leading columns as wide as their texts; the last takes the rest.
    for (int column = 0; column + 1 < headers.size(); ++column)
        table->horizontalHeader()->setSectionResizeMode(column, QHeaderView::ResizeToContents);
    table->verticalHeader()->setDefaultSectionSize(table->fontMetrics().height() + 6);
    table->setWordWrap(false);
    return table;
}

// Sets a cell's text, making the item when it is new; unchanged texts are left alone, so a
// refresh does not move the selection or the scroll position.
void SetCell(QTableWidget* table, int row, int column, const QString& text) {
    QTableWidgetItem* item = table->item(row, column);
    if (item == nullptr) {
        table->setItem(row, column, new QTableWidgetItem(text));
    } else if (item->text() != text) {
        item->setText(text);
    }
}

QString Light(scenario::Verifier::Verdict verdict) {
    switch (verdict) {
        case scenario::Verifier::Passed: return QStringLiteral("\u25CF passed");
        case scenario::Verifier::Holding: return QStringLiteral("\u25CF holding");
        case scenario::Verifier::Failed: return QStringLiteral("\u25CF failed");
        case scenario::Verifier::Pending: break;
    }
    return QStringLiteral("\u25CB pending");
}

QColor LightColor(scenario::Verifier::Verdict verdict) {
    switch (verdict) {
        case scenario::Verifier::Passed:
        case scenario::Verifier::Holding: return QColor(0, 128, 0);
        case scenario::Verifier::Failed: return QColor(200, 0, 0);
        case scenario::Verifier::Pending: break;
    }
    return QColor(110, 110, 110);
}

QString ClockTime(std::int64_t ms) {
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("HH:mm:ss.zzz"));
}

}  // namespace

ScenarioPanel::ScenarioPanel(QMainWindow* window, AppCore& core)
    : QObject(window), window_(window), core_(core), refresh_(new QTimer(this)) {
    auto* panel = new QWidget;
    auto* layout = new QVBoxLayout(panel);
    layout->setContentsMargins(4, 4, 4, 4);

    auto* top = new QHBoxLayout;
    NameLabel = new QLabel;
    NameLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    StateLabel = new QLabel;
    StateLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    LoadButton = new QPushButton(QStringLiteral("&Load..."));
    ReloadButton = new QPushButton(QStringLiteral("Re&load"));
    StopButton = new QPushButton(QStringLiteral("S&top"));
    ExpectButton = new QPushButton(QStringLiteral("&Expectations..."));
    LoadButton->setToolTip(QStringLiteral("Answer as a scenario file says"));
    ReloadButton->setToolTip(QStringLiteral("Read the scenario's file again and start it from its start state"));
    StopButton->setToolTip(QStringLiteral("Back to the reply actions alone"));
    ExpectButton->setToolTip(QStringLiteral("Judge the other side by an expectations file"));
    // The buttons on a row of their own, so that the dock stays narrow beside the rows.
    top->addWidget(LoadButton);
    top->addWidget(ReloadButton);
    top->addWidget(StopButton);
    top->addWidget(ExpectButton);
    top->addStretch(1);
    layout->addLayout(top);
    NameLabel->setWordWrap(true);
    layout->addWidget(NameLabel);
    StateLabel->setWordWrap(true);
    layout->addWidget(StateLabel);
    VerdictLabel = new QLabel;
    layout->addWidget(VerdictLabel);
    ErrorLabel = new QLabel;
    ErrorLabel->setStyleSheet(QStringLiteral("color: #c00000"));
    ErrorLabel->setWordWrap(true);
    ErrorLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    ErrorLabel->hide();
    layout->addWidget(ErrorLabel);

    Tabs = new QTabWidget;
    Expectations = Table({QStringLiteral("Verdict"), QStringLiteral("Expectation"), QStringLiteral("How it stands")});
    Evidence = new QPlainTextEdit;
    Evidence->setReadOnly(true);
    Evidence->setPlaceholderText(QStringLiteral("Select an expectation to see its evidence."));
    auto* judged = new QSplitter(Qt::Vertical);
    judged->addWidget(Expectations);
    judged->addWidget(Evidence);
    judged->setStretchFactor(0, 2);
    judged->setStretchFactor(1, 1);
    Rules = Table({QStringLiteral("Rule"), QStringLiteral("Hits")});
    Variables = Table({QStringLiteral("Variable"), QStringLiteral("Value")});
    NearMisses = new QPlainTextEdit;
    NearMisses->setReadOnly(true);
    NearMisses->setLineWrapMode(QPlainTextEdit::NoWrap);
    NearMisses->setPlaceholderText(QStringLiteral("Messages no rule matched, each with the closest rule."));
    Tabs->addTab(judged, QStringLiteral("E&xpectations"));
    Tabs->addTab(Rules, QStringLiteral("&Rules"));
    Tabs->addTab(Variables, QStringLiteral("&Variables"));
    Tabs->addTab(NearMisses, QStringLiteral("&Near Misses"));
    layout->addWidget(Tabs, 1);

    Dock = new QDockWidget(QStringLiteral("Scenario"), window);
    Dock->setObjectName(QStringLiteral("ScenarioDock"));
    // Narrower than its buttons need, the panel scrolls: it never widens the window.
    auto* view = new QScrollArea;
    view->setWidget(panel);
    view->setWidgetResizable(true);
    view->setFrameShape(QFrame::NoFrame);
    view->setMinimumWidth(60);
    Dock->setWidget(view);
    window->addDockWidget(Qt::RightDockWidgetArea, Dock);
    Dock->hide();
    connect(Dock, &QDockWidget::visibilityChanged, this, [this, panel](bool visible) {
        // Opened beside the rows, the dock takes what the buttons need and leaves the rest.
        if (!visible || Dock->isFloating() || shownOnce_) return;
        shownOnce_ = true;
        window_->resizeDocks({Dock}, {panel->minimumSizeHint().width() + 40}, Qt::Horizontal);
    });

    connect(LoadButton, &QPushButton::clicked, this, [this] { LoadScenario(); });
    connect(ExpectButton, &QPushButton::clicked, this, [this] { LoadExpectations(); });
    connect(ReloadButton, &QPushButton::clicked, this, [this] {
        try {
            core_.Scenarios().Reload();
        } catch (const std::exception& error) {
            MessageBoxes::Instance().Error(window_, ToQString(error.what()));
        }
        Refresh();
    });
    connect(StopButton, &QPushButton::clicked, this, [this] {
        core_.Scenarios().Stop();
        Refresh();
    });
    connect(Expectations, &QTableWidget::itemSelectionChanged, this, [this] { ShowEvidence(); });
    connect(Dock, &QDockWidget::visibilityChanged, this, [this](bool visible) {
        if (visible) Refresh();
    });

    // The core says when anything changed; the dock catches up a moment later, once for many.
    refresh_->setSingleShot(true);
    refresh_->setInterval(kRefreshMs);
    connect(refresh_, &QTimer::timeout, this, &ScenarioPanel::Refresh);
    // The core may outlive the window: the guard keeps a late change from reaching a closed one.
    core_.Scenarios().AddOnChange([self = QPointer<ScenarioPanel>(this)] {
        if (self && !self->refresh_->isActive()) self->refresh_->start();
    });
    Refresh();
}

void ScenarioPanel::AddFileItems(QMenu* file, QAction* before) {
    file->insertSeparator(before);
    auto* load = new QAction(QStringLiteral("Load &Scenario..."), file);
    connect(load, &QAction::triggered, this, [this] { LoadScenario(); });
    auto* expect = new QAction(QStringLiteral("Load &Expectations..."), file);
    connect(expect, &QAction::triggered, this, [this] { LoadExpectations(); });
    file->insertActions(before, {load, expect});
}

void ScenarioPanel::AddViewItem(QMenu* view) {
    QAction* toggle = Dock->toggleViewAction();
    toggle->setText(QStringLiteral("S&cenario"));
    toggle->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_E));
    view->addAction(toggle);
}

bool ScenarioPanel::LoadScenario() {
    const QString path = QFileDialog::getOpenFileName(window_, QStringLiteral("Load Scenario"), QString(),
                                                      QStringLiteral("Scenarios (*.json);;All files (*)"));
    return !path.isEmpty() && LoadFrom(path, false);
}

bool ScenarioPanel::LoadExpectations() {
    const QString path = QFileDialog::getOpenFileName(window_, QStringLiteral("Load Expectations"), QString(),
                                                      QStringLiteral("Expectations (*.json);;All files (*)"));
    return !path.isEmpty() && LoadFrom(path, true);
}

bool ScenarioPanel::LoadFrom(const QString& path, bool expectations) {
    const std::string file = path.toLocal8Bit().toStdString();
    try {
        if (expectations) {
            core_.Scenarios().SetExpectationsFile(file);
        } else {
            core_.Scenarios().LoadFile(file);
        }
    } catch (const std::exception& error) {
        // The scenario in force goes on; the user sees why this one was refused.
        MessageBoxes::Instance().Error(window_, QString::fromLocal8Bit(error.what()));
        return false;
    }
    Dock->show();
    Dock->raise();
    if (expectations) Tabs->setCurrentIndex(0);
    Refresh();
    return true;
}

void ScenarioPanel::Refresh() {
    refresh_->stop();
    const ScenarioService::View v = core_.Scenarios().GetView();
    // New script errors reach the status bar even with the dock closed.
    if (!v.errors.empty() && (v.errors.size() != errorsShown_ || ToQString(v.errors.back()) != lastError_)) {
        lastError_ = ToQString(v.errors.back());
        emit ScriptError(QStringLiteral("Scenario script: ") + lastError_);
    }
    errorsShown_ = v.errors.size();
    ReloadButton->setEnabled(v.fromFile);
    StopButton->setEnabled(v.running);
    if (!Dock->isVisible()) return;

    if (v.running) {
        NameLabel->setText(QStringLiteral("<b>%1</b> &nbsp;%2")
                               .arg(ToQString(v.name).toHtmlEscaped(), ToQString(v.origin).toHtmlEscaped()));
        StateLabel->setText(QStringLiteral("State: %1, since %2 · %3 unmatched")
                                .arg(ToQString(v.status.state))
                                .arg(v.status.enteredMs > 0 ? ClockTime(v.status.enteredMs) : QStringLiteral("-"))
                                .arg(v.status.unmatched));
    } else {
        NameLabel->setText(QStringLiteral("No scenario: the reply actions answer."));
        StateLabel->setText(QString());
    }
    ErrorLabel->setVisible(!v.status.lastError.empty());
    ErrorLabel->setText(ToQString(v.status.lastError));
    if (v.results.empty()) {
        VerdictLabel->setText(QStringLiteral("Nothing judged"));
    } else {
        VerdictLabel->setText(QStringLiteral("%1 passed · %2 holding · %3 failed · %4 pending")
                                  .arg(v.passed)
                                  .arg(v.holding)
                                  .arg(v.failed)
                                  .arg(v.pending));
    }

    Rules->setRowCount(v.running ? static_cast<int>(v.status.ruleHits.size()) : 0);
    for (int i = 0; i < Rules->rowCount(); ++i) {
        const auto& [rule, hits] = v.status.ruleHits[static_cast<std::size_t>(i)];
        SetCell(Rules, i, 0, ToQString(rule));
        SetCell(Rules, i, 1, QString::number(hits));
    }
    Variables->setRowCount(v.running ? static_cast<int>(v.status.variables.size()) : 0);
    int row = 0;
    if (v.running) {
        for (const auto& [name, value] : v.status.variables) {
            SetCell(Variables, row, 0, ToQString(name));
            SetCell(Variables, row, 1, ToQString(value));
            ++row;
        }
    }
    Expectations->setRowCount(static_cast<int>(v.results.size()));
    for (int i = 0; i < Expectations->rowCount(); ++i) {
        const scenario::Verifier::Result& r = v.results[static_cast<std::size_t>(i)];
        SetCell(Expectations, i, 0, Light(r.verdict));
        Expectations->item(i, 0)->setForeground(LightColor(r.verdict));
        SetCell(Expectations, i, 1, ToQString(r.name));
        Expectations->item(i, 1)->setToolTip(ToQString(r.what));
        SetCell(Expectations, i, 2, ToQString(r.message));
        Expectations->item(i, 2)->setToolTip(ToQString(r.message));
    }
    QString misses;
    for (const std::string& miss : v.nearMisses) misses += ToQString(miss) + QLatin1Char('\n');
    if (NearMisses->toPlainText() != misses) NearMisses->setPlainText(misses);
    ShowEvidence();
}

void ScenarioPanel::ShowEvidence() {
    const QList<QTableWidgetItem*> selected = Expectations->selectedItems();
    if (selected.isEmpty()) {
        Evidence->clear();
        return;
    }
    const ScenarioService::View v = core_.Scenarios().GetView();
    const auto row = static_cast<std::size_t>(selected.front()->row());
    if (row >= v.results.size()) return;
    const scenario::Verifier::Result& r = v.results[row];
    QString text = ToQString(r.what) + QLatin1Char('\n') + ToQString(r.message) + QLatin1Char('\n');
    for (const std::string& line : r.evidence) text += QLatin1Char('\n') + ToQString(line);
    if (Evidence->toPlainText() != text) Evidence->setPlainText(text);
}
