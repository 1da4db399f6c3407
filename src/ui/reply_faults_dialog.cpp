#include "ui/reply_faults_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "ui/dialog_parts.h"

namespace {

QSpinBox* Spin(QWidget* parent, const char* name, int low, int high, const char* suffix) {
    auto* spin = Named(new QSpinBox(parent), name);
    spin->setRange(low, high);
    spin->setSuffix(QString::fromLatin1(suffix));
    return spin;
}

QHBoxLayout* Line(std::initializer_list<QWidget*> widgets) {
    auto* line = new QHBoxLayout;
    for (QWidget* w : widgets) line->addWidget(w);
    line->addStretch();
    return line;
}

}  // namespace

TReplyFaultsForm::TReplyFaultsForm(QWidget* parent) : QDialog(parent) {
    setObjectName("ReplyFaultsForm");
    DelayMinSpin = Spin(this, "DelayMinSpin", 0, FaultLimit::kMaxMs, " ms");
    DelayMaxSpin = Spin(this, "DelayMaxSpin", 0, FaultLimit::kMaxMs, " ms");
    NoAnswerCheck = Named(new QCheckBox("&No answer (the message is listed, nothing is sent)", this), "NoAnswerCheck");
    TwiceCheck = Named(new QCheckBox("Answer &twice", this), "TwiceCheck");
    SplitAtSpin = Spin(this, "SplitAtSpin", 0, FaultLimit::kMaxSplitAt, " bytes");
    SplitAtSpin->setSpecialValueText("no split");
    SplitGapSpin = Spin(this, "SplitGapSpin", 0, FaultLimit::kMaxMs, " ms");
    NoiseSpin = Spin(this, "NoiseSpin", 0, FaultLimit::kMaxNoise, " bytes");
    DropCheck = Named(new QCheckBox("&Drop the link instead of answering", this), "DropCheck");
    DropMsSpin = Spin(this, "DropMsSpin", 0, FaultLimit::kMaxMs, " ms");
    WhenCombo = Named(new QComboBox(this), "WhenCombo");
    WhenCombo->addItems({"Every message", "Every Nth message", "With a probability"});
    EveryNSpin = Spin(this, "EveryNSpin", 1, FaultLimit::kMaxEveryN, "");
    EveryNSpin->setPrefix("N = ");
    ChanceSpin = Spin(this, "ChanceSpin", 0, 100, " %");

    // A label shows its "&" as the underlined access key only when it names the control the
    // key goes to.
    const auto label = [this](const char* text, QWidget* buddy) {
        auto* caption = new QLabel(QString::fromLatin1(text), this);
        caption->setBuddy(buddy);
        return caption;
    };
    auto* form = new QFormLayout;
    form->addRow(label("&Delay from", DelayMinSpin), Line({DelayMinSpin, new QLabel("to", this), DelayMaxSpin}));
    form->addRow(QString(), NoAnswerCheck);
    form->addRow(QString(), TwiceCheck);
    form->addRow(label("&Split after", SplitAtSpin), Line({SplitAtSpin, new QLabel("then wait", this), SplitGapSpin}));
    form->addRow(label("N&oise before it", NoiseSpin), NoiseSpin);
    form->addRow(QString(), DropCheck);
    form->addRow(label("Serial: DTR down for", DropMsSpin), DropMsSpin);
    form->addRow(label("&Applies to", WhenCombo), Line({WhenCombo, EveryNSpin, ChanceSpin}));

    OkButton = Named(new QPushButton("OK", this), "OkButton");
    OkButton->setDefault(true);
    CancelButton = Named(new QPushButton("Cancel", this), "CancelButton");
    connect(OkButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addLayout(ButtonRow({OkButton, CancelButton}));
    layout->setSizeConstraint(QLayout::SetFixedSize);  // a fixed dialog frame, as its siblings

    for (QCheckBox* box : {NoAnswerCheck, DropCheck}) connect(box, &QCheckBox::toggled, this, [this] { UpdateEnabled(); });
    connect(WhenCombo, &QComboBox::currentIndexChanged, this, [this] { UpdateEnabled(); });
    connect(SplitAtSpin, &QSpinBox::valueChanged, this, [this] { UpdateEnabled(); });
}

void TReplyFaultsForm::SetFaults(int row, const ReplyFaults& f) {
    setWindowTitle(QStringLiteral("Faults of reply row %1").arg(row + 1));
    DelayMinSpin->setValue(f.DelayMin);
    DelayMaxSpin->setValue(f.DelayMax);
    NoAnswerCheck->setChecked(f.NoAnswer != 0);
    TwiceCheck->setChecked(f.Twice != 0);
    SplitAtSpin->setValue(f.SplitAt);
    SplitGapSpin->setValue(f.SplitGap);
    NoiseSpin->setValue(f.Noise);
    DropCheck->setChecked(f.Drop != 0);
    DropMsSpin->setValue(f.DropMs);
    WhenCombo->setCurrentIndex(f.When >= 0 && f.When < 3 ? f.When : 0);
    EveryNSpin->setValue(f.EveryN);
    ChanceSpin->setValue(f.Chance);
    UpdateEnabled();
}

ReplyFaults TReplyFaultsForm::Faults() const {
    ReplyFaults f;
    f.DelayMin = DelayMinSpin->value();
    f.DelayMax = DelayMaxSpin->value();
    f.NoAnswer = NoAnswerCheck->isChecked() ? 1 : 0;
    f.Twice = TwiceCheck->isChecked() ? 1 : 0;
    f.SplitAt = SplitAtSpin->value();
    f.SplitGap = SplitGapSpin->value();
    f.Noise = NoiseSpin->value();
    f.Drop = DropCheck->isChecked() ? 1 : 0;
    f.DropMs = DropMsSpin->value();
    f.When = WhenCombo->currentIndex();
    f.EveryN = EveryNSpin->value();
    f.Chance = ChanceSpin->value();
    return f;
}

void TReplyFaultsForm::UpdateEnabled() {
    // What a choice makes meaningless is greyed out, not lost.
    const bool answers = !NoAnswerCheck->isChecked() && !DropCheck->isChecked();
    for (QWidget* w : std::initializer_list<QWidget*>{DelayMinSpin, DelayMaxSpin, TwiceCheck, SplitAtSpin, NoiseSpin})
        w->setEnabled(answers);
    SplitGapSpin->setEnabled(answers && SplitAtSpin->value() > 0);
    NoAnswerCheck->setEnabled(!DropCheck->isChecked());
    DropMsSpin->setEnabled(DropCheck->isChecked());
    EveryNSpin->setVisible(WhenCombo->currentIndex() == 1);
    ChanceSpin->setVisible(WhenCombo->currentIndex() == 2);
}

QString FaultsSummary(const ReplyFaults& f) {
    if (!f.Any()) return {};
    QStringList parts;
    if (f.Drop != 0) {
        parts << "drop";
    } else if (f.NoAnswer != 0) {
        parts << "no answer";
    } else {
        if (f.DelayMin > 0 || f.DelayMax > 0)
            parts << (f.DelayMax > f.DelayMin ? QStringLiteral("delay %1-%2 ms").arg(f.DelayMin).arg(f.DelayMax)
                                              : QStringLiteral("delay %1 ms").arg(f.DelayMin));
        if (f.Noise > 0) parts << QStringLiteral("noise %1").arg(f.Noise);
        if (f.SplitAt > 0) parts << QStringLiteral("split %1/%2 ms").arg(f.SplitAt).arg(f.SplitGap);
        if (f.Twice != 0) parts << "twice";
    }
    if (f.When == 1) parts << QStringLiteral("every %1th").arg(f.EveryN);
    if (f.When == 2) parts << QStringLiteral("%1 %").arg(f.Chance);
    return parts.join(", ");
}
