#include "ui/stats_panel.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QSplitter>
#include <QtCharts/QLineSeries>
#include <QtCharts/QScatterSeries>
#include <QtCharts/QValueAxis>

#include <algorithm>

#include "traffic/traffic_stats.h"
#include "ui/latin1.h"

namespace {

constexpr int kChartSeconds = 300;  // the charts' span

QString Micros(std::int64_t micros) {
    return QStringLiteral("%1 ms").arg(static_cast<double>(micros) / 1000.0, 0, 'f', 3);
}

QString Duration(std::int64_t micros) {
    const std::int64_t s = micros / 1000000;
    return QStringLiteral("%1:%2:%3")
        .arg(s / 3600)
        .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(s % 60, 2, 10, QLatin1Char('0'));
}

QChartView* ChartView(QChart* chart, QWidget* parent) {
    auto* view = new QChartView(chart, parent);
    view->setRenderHint(QPainter::Antialiasing, false);
    view->setMinimumHeight(150);
    chart->legend()->setAlignment(Qt::AlignBottom);
    chart->setMargins(QMargins(2, 2, 2, 2));
    return view;
}

}  // namespace

StatsPanel::StatsPanel(QWidget* parent) : QWidget(parent) {
    auto* figures = new QWidget;
    grid_ = new QGridLayout(figures);
    grid_->setColumnStretch(1, 1);
    auto* scroll = new QScrollArea(this);
    scroll->setWidget(figures);
    scroll->setWidgetResizable(true);

    ResetButton = new QPushButton("Reset", this);
    connect(ResetButton, &QPushButton::clicked, this, &StatsPanel::ResetClicked);

    RxSeries = new QLineSeries;
    RxSeries->setName("Received/s");
    TxSeries = new QLineSeries;
    TxSeries->setName("Sent/s");
    rateChart_ = new QChart;
    rateChart_->setTitle("Messages per second, last 5 minutes");
    rateChart_->addSeries(RxSeries);
    rateChart_->addSeries(TxSeries);
    // Points, not a line: a second without answers has no latency, and a line would draw one.
    LatencySeries = new QScatterSeries;
    LatencySeries->setName("Answer latency, max (ms)");
    LatencySeries->setMarkerSize(5);
    latencyChart_ = new QChart;
    latencyChart_->setTitle("Answer latency, last 5 minutes");
    latencyChart_->addSeries(LatencySeries);
    rateAxis_ = new QValueAxis;
    latencyAxis_ = new QValueAxis;
    for (auto [chart, axis] :
         {std::pair{rateChart_, rateAxis_}, std::pair{latencyChart_, latencyAxis_}}) {
        auto* time = new QValueAxis;
        QFont small = time->labelsFont();
        small.setPointSize(7);
        time->setRange(-kChartSeconds, 0);
        time->setTickCount(6);
        time->setLabelFormat("%d s");
        time->setLabelsFont(small);
        axis->setLabelsFont(small);
        chart->addAxis(time, Qt::AlignBottom);
        chart->addAxis(axis, Qt::AlignLeft);
        axis->setLabelFormat("%g");
        for (QAbstractSeries* series : chart->series()) {
            series->attachAxis(time);
            series->attachAxis(axis);
        }
    }

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(ResetButton);
    // The figures and the charts share the height, as the user drags their border.
    auto* split = new QSplitter(Qt::Vertical, this);
    split->setChildrenCollapsible(false);
    split->addWidget(scroll);
    split->addWidget(ChartView(rateChart_, split));
    split->addWidget(ChartView(latencyChart_, split));
    split->setStretchFactor(0, 2);
    split->setStretchFactor(1, 1);
    split->setStretchFactor(2, 1);
    split->setSizes({2000, 1000, 1000});  // half for the figures, kept as the panel grows
    scroll->setMinimumHeight(120);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->addWidget(split, 1);
    layout->addLayout(buttons);
}

void StatsPanel::Remove(const QString& name) {
    QLabel* value = figures_.take(name);
    if (value == nullptr) return;
    const int index = grid_->indexOf(value);
    int row = 0, column = 0, rowSpan = 0, columnSpan = 0;
    grid_->getItemPosition(index, &row, &column, &rowSpan, &columnSpan);
    if (QLayoutItem* caption = grid_->itemAtPosition(row, 0)) delete caption->widget();
    delete value;
}

void StatsPanel::Set(const QString& name, const QString& value) {
    QLabel*& label = figures_[name];
    if (label == nullptr) {
        const int row = grid_->rowCount();
        grid_->addWidget(new QLabel(name), row, 0);
        label = new QLabel;
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        grid_->addWidget(label, row, 1);
    }
    if (label->text() != value) label->setText(value);
}

QString StatsPanel::Figure(const QString& name) const {
    const QLabel* label = figures_.value(name);
    return label != nullptr ? label->text() : QString();
}

void StatsPanel::ShowUpTime(const TrafficStats& s, std::int64_t now) {
    Set("Link up-time", Duration(s.UpMicros(now)));
    // It changes every second: plain text (a selectable label lays out a text document at
    // every change) at a fixed size (which spares the panel a new layout each time).
    QLabel* label = figures_.value("Link up-time");
    if (label != nullptr && label->minimumWidth() != label->maximumWidth()) {
        label->setTextInteractionFlags(Qt::NoTextInteraction);
        const QFontMetrics metrics(label->font());
        label->setFixedSize(metrics.horizontalAdvance(QStringLiteral("00000:00:00")) + 4,
                            label->sizeHint().height());
    }
}

void StatsPanel::Show(const TrafficStats& s, std::int64_t now) {
    Set("Link up-time", Duration(s.UpMicros(now)));
    Set("Reconnects", QString::number(s.reconnects));
    for (const char* way : {"Received", "Sent"}) {
        const int i = way[0] == 'R' ? 0 : 1;
        Set(QStringLiteral("%1 bytes").arg(way), QString::number(s.bytes[i]));
        Set(QStringLiteral("%1 frames").arg(way), QString::number(s.frames[i]));
        Set(QStringLiteral("%1 stray bytes").arg(way), QString::number(s.strayBytes[i]));
    }
    Set("Accepted", QString::number(s.accepted));
    Set("Rejected", QString::number(s.rejected));
    Set("Timed out", QString::number(s.timedOut));
    Set("Retransmissions", QString::number(s.retransmissions));
    for (int a = 0; a < TrafficStats::kAnswerKinds; ++a) {
        Set(QStringLiteral("Answers: %1").arg(QString::fromLatin1(TrafficStats::AnswerText(a))),
            QString::number(s.answers[a]));
    }
    Set("Answers dropped (client gone)", QString::number(s.answersDropped));
    for (auto [name, summary] :
         {std::pair{"Answer latency", &s.answerLatency}, std::pair{"Round trip", &s.roundTrip}}) {
        const LatencySummary::Figures f = summary->Compute();
        const QString base = QString::fromLatin1(name);
        Set(base + " count", QString::number(f.count));
        Set(base + " min", f.count ? Micros(f.min) : QString("-"));
        Set(base + " median", f.count ? Micros(f.median) : QString("-"));
        Set(base + " p99", f.count ? Micros(f.p99) : QString("-"));
        Set(base + " max", f.count ? Micros(f.max) : QString("-"));
    }
    for (int code = 0; code < kStatusCodeCount; ++code) {
        Set(QStringLiteral("Status %1").arg(QString::fromLatin1(StatusListText(code)).trimmed()),
            QString::number(s.receivedByStatus[code]));
    }
    // The types received since the last reset, no others.
    for (const QString& name : figures_.keys()) {
        if (!name.startsWith(QStringLiteral("Type "))) continue;
        const std::string type = ToBytes(name.mid(5));
        if (type.size() != 1 || s.receivedByType.count(static_cast<std::uint8_t>(type[0])) == 0) Remove(name);
    }
    for (const auto& [type, count] : s.receivedByType) {
        Set(QStringLiteral("Type %1").arg(ToQString(std::string(1, static_cast<char>(type)))),
            QString::number(count));
    }

    ShowCharts(s, now);
}

void StatsPanel::ShowCharts(const TrafficStats& s, std::int64_t now) {
    // Seconds before now on the x axis, every second since the first with traffic (a quiet
    // one as zero), nothing before it.
    const std::int64_t nowSecond = now / 1000000;
    QList<QPointF> rx, tx, latency;
    double topRate = 1, topLatency = 1;
    for (const TrafficStats::Second& second : s.SecondsUpTo(nowSecond, kChartSeconds)) {
        const double x = static_cast<double>(second.second - nowSecond);
        rx.append({x, static_cast<double>(second.messages[0])});
        tx.append({x, static_cast<double>(second.messages[1])});
        topRate = std::max({topRate, static_cast<double>(second.messages[0]),
                            static_cast<double>(second.messages[1])});
        if (second.latencyCount > 0) {
            const double ms = static_cast<double>(second.latencyMax) / 1000.0;
            latency.append({x, ms});
            topLatency = std::max(topLatency, ms);
        }
    }
    // A line of one point draws nothing: a lone second shows as a dot.
    RxSeries->setPointsVisible(rx.size() == 1);
    TxSeries->setPointsVisible(tx.size() == 1);
    RxSeries->replace(rx);
    TxSeries->replace(tx);
    LatencySeries->replace(latency);
    // Round ticks (0, 20, 40 ...), not a tenth above the top.
    rateAxis_->setRange(0, topRate * 1.1);
    rateAxis_->applyNiceNumbers();
    latencyAxis_->setRange(0, topLatency * 1.1);
    latencyAxis_->applyNiceNumbers();
}
