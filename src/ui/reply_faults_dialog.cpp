#include "ui/reply_faults_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <vector>

#include "ui/dialog_parts.h"

namespace {

const char* Suffix(ReplyFaultField::Kind kind) {
    switch (kind) {
        case ReplyFaultField::Ms:
            return " ms";
        case ReplyFaultField::Bytes:
            return " bytes";
        case ReplyFaultField::Percent:
            return " %";
        default:
            return "";
    }
}

// The control of one field: a check box for a flag, a list for a choice, else a spin box of the
// field's range; named after its settings key ("DelayMinSpin").
QWidget* Control(QWidget* parent, const ReplyFaultField& field) {
    const QString key = QString::fromLatin1(field.key);
    if (field.kind == ReplyFaultField::Flag) {
        auto* box = new QCheckBox(QString::fromLatin1(field.label), parent);
        box->setObjectName(key + "Check");
        return box;
    }
    if (field.kind == ReplyFaultField::Choice) {
        auto* combo = new QComboBox(parent);
        combo->setObjectName(key + "Combo");
        for (const char* text : field.choiceLabels) combo->addItem(QString::fromLatin1(text));
        return combo;
    }
    auto* spin = new QSpinBox(parent);
    spin->setObjectName(key + "Spin");
    spin->setRange(field.low, field.high);
    spin->setSuffix(QString::fromLatin1(Suffix(field.kind)));
    return spin;
}

QHBoxLayout* Line(const std::vector<QWidget*>& widgets) {
    auto* line = new QHBoxLayout;
    for (QWidget* w : widgets) line->addWidget(w);
    line->addStretch();
    return line;
}

}  // namespace

template <class Widget>
Widget* TReplyFaultsForm::Of(std::int32_t ReplyFaults::*member) const {
    const auto fields = ReplyFaultFields();
    for (std::size_t i = 0; i < fields.size(); ++i)
        if (fields[i].member == member) return static_cast<Widget*>(controls_[i]);
    return nullptr;
}

TReplyFaultsForm::TReplyFaultsForm(QWidget* parent) : QDialog(parent) {
    setObjectName("ReplyFaultsForm");
    const auto fields = ReplyFaultFields();
    // Created in the table's order, the order Tab goes through them.
    for (const ReplyFaultField& field : fields) controls_.push_back(Control(this, field));
    DelayMinSpin = Of<QSpinBox>(&ReplyFaults::DelayMin);
    DelayMaxSpin = Of<QSpinBox>(&ReplyFaults::DelayMax);
    NoAnswerCheck = Of<QCheckBox>(&ReplyFaults::NoAnswer);
    TwiceCheck = Of<QCheckBox>(&ReplyFaults::Twice);
    SplitAtSpin = Of<QSpinBox>(&ReplyFaults::SplitAt);
    SplitAtSpin->setSpecialValueText("no split");
    SplitGapSpin = Of<QSpinBox>(&ReplyFaults::SplitGap);
    NoiseSpin = Of<QSpinBox>(&ReplyFaults::Noise);
    DropCheck = Of<QCheckBox>(&ReplyFaults::Drop);
    DropMsSpin = Of<QSpinBox>(&ReplyFaults::DropMs);
    WhenCombo = Of<QComboBox>(&ReplyFaults::When);
    EveryNSpin = Of<QSpinBox>(&ReplyFaults::EveryN);
    EveryNSpin->setPrefix("N = ");
    ChanceSpin = Of<QSpinBox>(&ReplyFaults::Chance);

    // A label shows its "&" as the underlined access key only when it names the control the
    // key goes to.
    const auto label = [this](const char* text, QWidget* buddy) {
        auto* caption = new QLabel(QString::fromLatin1(text), this);
        caption->setBuddy(buddy);
        return caption;
    };
    // A flag is a line of its own; any other field starts a line that the fields marked for it
    // continue, each after its words.
    auto* form = new QFormLayout;
    for (std::size_t i = 0; i < fields.size();) {
        const ReplyFaultField& field = fields[i];
        QWidget* control = controls_[i];
        if (field.kind == ReplyFaultField::Flag) {
            form->addRow(QString(), control);
            ++i;
            continue;
        }
        std::vector<QWidget*> line{control};
        for (++i; i < fields.size() && fields[i].sameLine; ++i) {
            if (*fields[i].label != '\0')
                line.push_back(new QLabel(QString::fromLatin1(fields[i].label), this));
            line.push_back(controls_[i]);
        }
        if (line.size() == 1) {
            form->addRow(label(field.label, control), control);
        } else {
            form->addRow(label(field.label, control), Line(line));
        }
    }

    OkButton = Named(new QPushButton("OK", this), "OkButton");
    OkButton->setDefault(true);
    CancelButton = Named(new QPushButton("Cancel", this), "CancelButton");
    connect(OkButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addLayout(ButtonRow({OkButton, CancelButton}));
    layout->setSizeConstraint(QLayout::SetFixedSize);  // a fixed dialog frame, as its siblings
    FixedFrame(this);

    for (QWidget* control : controls_) {
        if (auto* box = qobject_cast<QCheckBox*>(control)) {
            connect(box, &QCheckBox::toggled, this, [this] { UpdateEnabled(); });
        } else if (auto* combo = qobject_cast<QComboBox*>(control)) {
            connect(combo, &QComboBox::currentIndexChanged, this, [this] { UpdateEnabled(); });
        } else {
            connect(static_cast<QSpinBox*>(control), &QSpinBox::valueChanged, this,
                    [this] { UpdateEnabled(); });
        }
    }
}

void TReplyFaultsForm::SetFaults(int row, const ReplyFaults& f) {
    setWindowTitle(QStringLiteral("Faults of reply row %1").arg(row + 1));
    const auto fields = ReplyFaultFields();
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const std::int32_t value = f.*fields[i].member;
        if (auto* box = qobject_cast<QCheckBox*>(controls_[i])) {
            box->setChecked(value != 0);
        } else if (auto* combo = qobject_cast<QComboBox*>(controls_[i])) {
            combo->setCurrentIndex(value >= 0 && value < combo->count() ? value : 0);
        } else {
            static_cast<QSpinBox*>(controls_[i])->setValue(value);
        }
    }
    UpdateEnabled();
}

ReplyFaults TReplyFaultsForm::Faults() const {
    ReplyFaults f;
    const auto fields = ReplyFaultFields();
    for (std::size_t i = 0; i < fields.size(); ++i) {
        std::int32_t& value = f.*fields[i].member;
        if (const auto* box = qobject_cast<const QCheckBox*>(controls_[i])) {
            value = box->isChecked() ? 1 : 0;
        } else if (const auto* combo = qobject_cast<const QComboBox*>(controls_[i])) {
            value = combo->currentIndex();
        } else {
            value = static_cast<const QSpinBox*>(controls_[i])->value();
        }
    }
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
    const auto fields = ReplyFaultFields();
    for (std::size_t i = 0; i < fields.size(); ++i)
        if (fields[i].picksWhen >= 0)
            controls_[i]->setVisible(WhenCombo->currentIndex() == fields[i].picksWhen);
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
