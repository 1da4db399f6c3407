#include "ui/line_faults_page.h"
#include "text/integer.h"

#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>
#include <QSpinBox>
#include <QVBoxLayout>


namespace {

struct Shown {
    const char* label;  // with its mnemonic
    const char* suffix;
    const char* never;  // what the lowest value means, shown in its place
    const char* tip;
};

// What the page shows of each field, in the order of LineFaultLimit::Fields().
constexpr Shown kShown[] = {
    {"&Bandwidth cap:", " bytes/s", "none", "At most this many bytes a second leave, as on a slow line."},
    {"&Gap after each byte:", " µs", "none", "Idle time after every byte (longer than the other side's character time-out, say)."},
    {"&Slices of:", " bytes", "whole writes", "Each write leaves in pieces of this many bytes ..."},
    {"Gap between sl&ices:", " µs", "none", "... with this idle time between two pieces."},
    {"B&reak at:", " ms", "never", "Serial: a break starts this long after the faults are set ..."},
    {"Break &lasts:", " ms", nullptr, "... and lasts this long."},
    {"&DTR off at:", " ms", "never", "Serial: DTR is dropped this long after the faults are set ..."},
    {"DTR off &for:", " ms", nullptr, "... for this long."},
    {"R&TS off at:", " ms", "never", "Serial: RTS is dropped this long after the faults are set ..."},
    {"RTS off f&or:", " ms", nullptr, "... for this long."},
    {"TCP reset &at:", " ms", "never", "TCP: the connection(s) are reset (not closed) this long after the faults are set."},
};

}  // namespace

LineFaultsPage::LineFaultsPage(QWidget* parent, const QString& suffix) : QWidget(parent) {
    auto* shaping = new QGroupBox("Timing");
    auto* shapingForm = new QFormLayout(shaping);
    auto* events = new QGroupBox("Once, counted from when the faults are set");
    auto* eventsForm = new QFormLayout(events);
    const auto& fields = LineFaultLimit::Fields();
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const Shown& shown = kShown[i];
        auto* spin = new QSpinBox;
        spin->setObjectName(QString::fromLatin1(fields[i].name) + "Spin" + suffix);
        spin->setRange(fields[i].low, fields[i].high);
        spin->setSuffix(QString::fromUtf8(shown.suffix));
        // "1 byte", "1 byte/s": the unit of one is said as one.
        if (QString plural = QString::fromUtf8(shown.suffix); plural.startsWith(QStringLiteral(" bytes"))) {
            const QString singular = QString(plural).replace(QStringLiteral(" bytes"), QStringLiteral(" byte"));
            connect(spin, &QSpinBox::valueChanged, spin,
                    [spin, plural, singular](int value) { spin->setSuffix(value == 1 ? singular : plural); });
        }
        if (shown.never != nullptr) spin->setSpecialValueText(shown.never);
        spin->setToolTip(shown.tip);
        spin->setAccelerated(true);
        auto* label = new QLabel(shown.label);
        label->setBuddy(spin);
        // The first four shape the timing; the rest happen once.
        (i < 4 ? shapingForm : eventsForm)->addRow(label, spin);
        Spins.push_back(spin);
    }

    CorruptRateSpin = new QDoubleSpinBox;
    CorruptRateSpin->setObjectName("corruptRateSpin" + suffix);
    CorruptRateSpin->setRange(0, 1);
    CorruptRateSpin->setDecimals(6);
    CorruptRateSpin->setSingleStep(0.001);
    CorruptRateSpin->setSpecialValueText("none");
    CorruptRateSpin->setSuffix(" per byte");
    CorruptRateSpin->setToolTip("The chance for each byte that one of its bits is flipped (0.001: one byte in a thousand).");
    CorruptSeedEdit = new QLineEdit;
    CorruptSeedEdit->setObjectName("corruptSeedEdit" + suffix);
    CorruptSeedEdit->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]{1,20}"), CorruptSeedEdit));
    CorruptSeedEdit->setToolTip("The same seed corrupts the same bytes the same way.");
    auto* noise = new QGroupBox("Corruption");
    auto* noiseForm = new QFormLayout(noise);
    auto* rateLabel = new QLabel("&Corrupt rate:");
    rateLabel->setBuddy(CorruptRateSpin);
    noiseForm->addRow(rateLabel, CorruptRateSpin);
    auto* seedLabel = new QLabel("S&eed:");
    seedLabel->setBuddy(CorruptSeedEdit);
    noiseForm->addRow(seedLabel, CorruptSeedEdit);

    auto* left = new QVBoxLayout;
    left->addWidget(shaping);
    left->addWidget(noise);
    left->addStretch();
    auto* right = new QVBoxLayout;
    right->addWidget(events);
    right->addStretch();
    auto* columns = new QHBoxLayout(this);
    columns->addLayout(left);
    columns->addLayout(right);
}

void LineFaultsPage::Load(const LineFaults& faults) {
    const auto& fields = LineFaultLimit::Fields();
    for (std::size_t i = 0; i < fields.size(); ++i) Spins[i]->setValue(faults.*fields[i].member);
    CorruptRateSpin->setValue(faults.corruptRate);
    CorruptSeedEdit->setText(QString::number(faults.corruptSeed));
}

bool LineFaultsPage::Store(LineFaults& faults, QString& problem) const {
    const std::optional<std::uint64_t> value = ParseUnsigned(CorruptSeedEdit->text().trimmed().toStdString());
    if (!value) {
        problem = QStringLiteral("The seed must be a whole number from 0 to %1.").arg(UINT64_MAX);
        return false;
    }
    const auto& fields = LineFaultLimit::Fields();
    for (std::size_t i = 0; i < fields.size(); ++i) faults.*fields[i].member = Spins[i]->value();
    faults.corruptRate = CorruptRateSpin->value();
    faults.corruptSeed = *value;
    return true;
}
