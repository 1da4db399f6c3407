#include "ui/proxy_faults_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <climits>

#include "ui/latin1.h"

namespace {

const char* const kWays[] = {"A \u2192 B", "B \u2192 A", "Both ways"};
const char* const kFrames[] = {"Any frame", "Messages", "ACKs", "NAKs", "ACKs and NAKs"};
const char* const kWhen[] = {"Every frame it picks", "Every Nth", "With a probability"};

QSpinBox* Spin(const char* name, std::int32_t ProxyFaultRule::*member, const char* suffix) {
    auto* spin = new QSpinBox;
    spin->setObjectName(name);
    for (const ProxyFaultLimit::Field& field : ProxyFaultLimit::Fields())
        if (field.member == member) spin->setRange(field.low, field.high);
    spin->setSuffix(QString::fromUtf8(suffix));
    spin->setAccelerated(true);
    return spin;
}

QComboBox* Combo(const char* name, std::initializer_list<const char*> items) {
    auto* combo = new QComboBox;
    combo->setObjectName(name);
    for (const char* item : items) combo->addItem(QString::fromUtf8(item));
    return combo;
}

}  // namespace

QString ProxyFaultsPage::RuleSummary(const ProxyFaultRule& rule) {
    QStringList does;
    if (rule.Drop) does << "drop";
    if (rule.DelayMin > 0 || rule.DelayMax > 0 || rule.Jitter > 0) {
        QString delay = QStringLiteral("delay %1").arg(rule.DelayMin);
        if (rule.Jitter > 0) delay += QStringLiteral(" \u00b1 %1").arg(rule.Jitter);
        else if (rule.DelayMax > rule.DelayMin) delay += QStringLiteral("-%1").arg(rule.DelayMax);
        does << delay + " ms";
    }
    if (rule.Twice) does << "twice";
    if (rule.BadBcc) does << "bad BCC";
    if (rule.FlipBit) does << "flip a bit";
    if (rule.SwapAck) does << "swap ACK/NAK";
    if (rule.Hold) does << "hold for the next";
    if (rule.Stray > 0) does << QStringLiteral("%1 stray bytes").arg(rule.Stray);
    QString picks = QString::fromUtf8(kWays[std::clamp(rule.Way, 0, 2)]) + ", " +
                    QString::fromUtf8(kFrames[std::clamp(rule.Frames, 0, 4)]).toLower();
    if (!rule.Type.empty()) picks += " of type " + ToQString(rule.Type);
    const auto ordinal = [](int n) {
        const int last = n % 10, tens = n % 100;
        const char* suffix = tens >= 11 && tens <= 13 ? "th" : last == 1 ? "st" : last == 2 ? "nd" : last == 3 ? "rd" : "th";
        return QString::number(n) + QString::fromLatin1(suffix);
    };
    QString how = rule.When == 1   ? QStringLiteral(", every %1").arg(rule.EveryN == 1 ? QStringLiteral("one") : ordinal(rule.EveryN))
                  : rule.When == 2 ? QStringLiteral(", %1 %").arg(rule.Chance)
                                   : QString();
    return picks + ": " + (does.isEmpty() ? QStringLiteral("nothing") : does.join(", ")) + how;
}

ProxyFaultsPage::ProxyFaultsPage(QWidget* parent) : QWidget(parent) {
    RuleList = new QListWidget;
    RuleList->setObjectName("ProxyRuleList");
    RuleList->setToolTip("The first rule that picks a frame decides what happens to it.");
    AddButton = new QPushButton("&Add rule");
    AddButton->setObjectName("AddRuleButton");
    RemoveButton = new QPushButton("&Remove rule");
    RemoveButton->setObjectName("RemoveRuleButton");
    SeedSpin = new QSpinBox;
    SeedSpin->setObjectName("ProxySeedSpin");
    SeedSpin->setRange(INT_MIN, INT_MAX);
    SeedSpin->setToolTip("The same seed and the same frames give the same faults.");

    WayCombo = Combo("WayCombo", {kWays[0], kWays[1], kWays[2]});
    TypeEdit = new QLineEdit;
    TypeEdit->setObjectName("RuleTypeEdit");
    TypeEdit->setMaxLength(1);
    TypeEdit->setToolTip("Frames of this message type only; empty: any type.");
    FramesCombo = Combo("FramesCombo", {kFrames[0], kFrames[1], kFrames[2], kFrames[3], kFrames[4]});
    DelayMinSpin = Spin("DelayMinSpin", &ProxyFaultRule::DelayMin, " ms");
    DelayMaxSpin = Spin("DelayMaxSpin", &ProxyFaultRule::DelayMax, " ms");
    DelayMaxSpin->setSpecialValueText("fixed");
    DelayMaxSpin->setToolTip("Above the delay: a time drawn between the two.");
    JitterSpin = Spin("JitterSpin", &ProxyFaultRule::Jitter, " ms");
    JitterSpin->setSpecialValueText("none");
    JitterSpin->setToolTip("Above 0: a time drawn around the delay with this deviation.");
    DropCheck = new QCheckBox("&Drop it");
    TwiceCheck = new QCheckBox("Send it t&wice");
    BadBccCheck = new QCheckBox("Spoil its &BCC");
    FlipBitCheck = new QCheckBox("&Flip a bit of its text");
    SwapAckCheck = new QCheckBox("Turn ACK into NAK (and bac&k)");
    HoldCheck = new QCheckBox("&Hold it until the next one");
    StraySpin = Spin("StraySpin", &ProxyFaultRule::Stray, " bytes");
    StraySpin->setSpecialValueText("none");
    WhenCombo = Combo("WhenCombo", {kWhen[0], kWhen[1], kWhen[2]});
    EveryNSpin = Spin("EveryNSpin", &ProxyFaultRule::EveryN, "");
    ChanceSpin = Spin("ChanceSpin", &ProxyFaultRule::Chance, " %");
    int n = 0;
    for (QCheckBox* check : {DropCheck, TwiceCheck, BadBccCheck, FlipBitCheck, SwapAckCheck, HoldCheck})
        check->setObjectName(QStringLiteral("RuleCheck%1").arg(++n));

    form_ = new QWidget;
    auto* form = new QFormLayout(form_);
    form->setContentsMargins(0, 0, 0, 0);
    const auto row = [form](const char* label, QWidget* field) {
        auto* text = new QLabel(QString::fromUtf8(label));
        text->setBuddy(field);
        form->addRow(text, field);
    };
    row("&Way:", WayCombo);
    row("T&ype:", TypeEdit);
    row("Fra&mes:", FramesCombo);
    row("D&elay:", DelayMinSpin);
    row("Up &to:", DelayMaxSpin);
    row("&Jitter:", JitterSpin);
    auto* checks = new QGridLayout;
    checks->addWidget(DropCheck, 0, 0);
    checks->addWidget(TwiceCheck, 0, 1);
    checks->addWidget(BadBccCheck, 1, 0);
    checks->addWidget(FlipBitCheck, 1, 1);
    checks->addWidget(SwapAckCheck, 2, 0);
    checks->addWidget(HoldCheck, 2, 1);
    form->addRow(checks);
    row("&Stray bytes before:", StraySpin);
    row("Wh&en:", WhenCombo);
    row("&N:", EveryNSpin);
    row("&Chance:", ChanceSpin);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(AddButton);
    buttons->addWidget(RemoveButton);
    auto* seedRow = new QFormLayout;
    auto* seedLabel = new QLabel("See&d:");
    seedLabel->setBuddy(SeedSpin);
    seedRow->addRow(seedLabel, SeedSpin);
    auto* left = new QVBoxLayout;
    left->addWidget(RuleList);
    left->addLayout(buttons);
    left->addLayout(seedRow);
    auto* columns = new QHBoxLayout(this);
    columns->addLayout(left, 1);
    columns->addWidget(form_, 1);

    connect(RuleList, &QListWidget::currentRowChanged, this, [this](int r) { ShowRule(r); });
    connect(AddButton, &QPushButton::clicked, this, [this] {
        if (faults_.Rules.size() >= ProxyFaultLimit::kMaxRules) return;
        // A new rule does nothing until the user chooses what: the list says "nothing".
        faults_.Rules.push_back(ProxyFaultRule{});
        Refill();
        RuleList->setCurrentRow(static_cast<int>(faults_.Rules.size()) - 1);
        WayCombo->setFocus();
    });
    connect(RemoveButton, &QPushButton::clicked, this, [this] {
        const int r = RuleList->currentRow();
        if (r < 0 || r >= static_cast<int>(faults_.Rules.size())) return;
        faults_.Rules.erase(faults_.Rules.begin() + r);
        Refill();
        RuleList->setCurrentRow(std::min(r, static_cast<int>(faults_.Rules.size()) - 1));
    });
    connect(SeedSpin, &QSpinBox::valueChanged, this, [this](int seed) { faults_.Seed = seed; });
    for (QComboBox* combo : {WayCombo, FramesCombo, WhenCombo})
        connect(combo, &QComboBox::currentIndexChanged, this, [this] { TakeForm(); });
    for (QSpinBox* spin : {DelayMinSpin, DelayMaxSpin, JitterSpin, StraySpin, EveryNSpin, ChanceSpin})
        connect(spin, &QSpinBox::valueChanged, this, [this] { TakeForm(); });
    for (QCheckBox* check : {DropCheck, TwiceCheck, BadBccCheck, FlipBitCheck, SwapAckCheck, HoldCheck})
        connect(check, &QCheckBox::toggled, this, [this] { TakeForm(); });
    connect(TypeEdit, &QLineEdit::textChanged, this, [this] { TakeForm(); });
    ShowRule(-1);
}

void ProxyFaultsPage::Load(const ProxyFaults& faults) {
    faults_ = faults;
    SeedSpin->setValue(faults.Seed);
    Refill();
    RuleList->setCurrentRow(faults_.Rules.empty() ? -1 : 0);
    ShowRule(RuleList->currentRow());
}

void ProxyFaultsPage::Refill() {
    const QSignalBlocker quiet(RuleList);
    RuleList->clear();
    for (const ProxyFaultRule& rule : faults_.Rules) RuleList->addItem(RuleSummary(rule));
    RemoveButton->setEnabled(!faults_.Rules.empty());
    AddButton->setEnabled(faults_.Rules.size() < ProxyFaultLimit::kMaxRules);
}

void ProxyFaultsPage::ShowRule(int r) {
    const bool any = r >= 0 && r < static_cast<int>(faults_.Rules.size());
    form_->setEnabled(any);
    RemoveButton->setEnabled(any);
    const ProxyFaultRule rule = any ? faults_.Rules[static_cast<std::size_t>(r)] : ProxyFaultRule{};
    showing_ = true;
    WayCombo->setCurrentIndex(rule.Way);
    TypeEdit->setText(ToQString(rule.Type));
    FramesCombo->setCurrentIndex(rule.Frames);
    DelayMinSpin->setValue(rule.DelayMin);
    DelayMaxSpin->setValue(rule.DelayMax);
    JitterSpin->setValue(rule.Jitter);
    DropCheck->setChecked(rule.Drop != 0);
    TwiceCheck->setChecked(rule.Twice != 0);
    BadBccCheck->setChecked(rule.BadBcc != 0);
    FlipBitCheck->setChecked(rule.FlipBit != 0);
    SwapAckCheck->setChecked(rule.SwapAck != 0);
    HoldCheck->setChecked(rule.Hold != 0);
    StraySpin->setValue(rule.Stray);
    WhenCombo->setCurrentIndex(rule.When);
    EveryNSpin->setValue(rule.EveryN);
    ChanceSpin->setValue(rule.Chance);
    EveryNSpin->setEnabled(rule.When == 1);
    ChanceSpin->setEnabled(rule.When == 2);
    showing_ = false;
}

void ProxyFaultsPage::TakeForm() {
    const int r = RuleList->currentRow();
    if (showing_ || r < 0 || r >= static_cast<int>(faults_.Rules.size())) return;
    ProxyFaultRule& rule = faults_.Rules[static_cast<std::size_t>(r)];
    rule.Way = WayCombo->currentIndex();
    rule.Type = ToBytes(TypeEdit->text());
    rule.Frames = FramesCombo->currentIndex();
    rule.DelayMin = DelayMinSpin->value();
    // A range ends at its start or later.
    rule.DelayMax = DelayMaxSpin->value() > 0 ? std::max(DelayMaxSpin->value(), rule.DelayMin) : 0;
    rule.Jitter = JitterSpin->value();
    rule.Drop = DropCheck->isChecked();
    rule.Twice = TwiceCheck->isChecked();
    rule.BadBcc = BadBccCheck->isChecked();
    rule.FlipBit = FlipBitCheck->isChecked();
    rule.SwapAck = SwapAckCheck->isChecked();
    rule.Hold = HoldCheck->isChecked();
    rule.Stray = StraySpin->value();
    rule.When = WhenCombo->currentIndex();
    rule.EveryN = EveryNSpin->value();
    rule.Chance = ChanceSpin->value();
    EveryNSpin->setEnabled(rule.When == 1);
    ChanceSpin->setEnabled(rule.When == 2);
    if (QListWidgetItem* item = RuleList->item(r)) item->setText(RuleSummary(rule));
}
