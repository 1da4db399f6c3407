#include "ui/main_status_bar.h"

#include <QMainWindow>
#include <QStatusBar>
#include <QToolButton>

#include "protocol/frame.h"
#include "settings/prefs_ini.h"
#include "ui/elided_label.h"

MainStatusBar::MainStatusBar(QMainWindow* window) {
    // The message takes the rest, the status its text's width, the link summary its own; a
    // text that does not fit ends in "…" with the whole in the tooltip.
    for (int i = 0; i < 3; ++i) {
        Panels[i] = new ElidedLabel(window);
        Panels[i]->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
        Panels[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        window->statusBar()->addWidget(Panels[i], i == 0 ? 1 : 0);
    }
    Panels[1]->setFixedWidth(
        Panels[1]->fontMetrics().horizontalAdvance(QStringLiteral("DISABLED ERROR")) + 14);
    // The message gives way first: it takes what the others leave.
    Panels[0]->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    KeepNewestButton = new QToolButton(window);
    KeepNewestButton->setObjectName(QStringLiteral("KeepNewestButton"));
    KeepNewestButton->setText(QStringLiteral("Keep newest..."));
    KeepNewestButton->setToolTip(QStringLiteral("Keep only the newest received messages"));
    KeepNewestButton->setAutoRaise(true);
    // No taller than the panels: the status bar keeps its height whether it shows or not.
    KeepNewestButton->setFixedHeight(Panels[0]->sizeHint().height());
    KeepNewestButton->hide();
    window->statusBar()->addWidget(KeepNewestButton);
    window->statusBar()->setSizeGripEnabled(true);
    for (int code = 0; code < kStatusCodeCount; ++code)
        StatusTexts << QString::fromLatin1(StatusText(code));
}

void MainStatusBar::ShowMessage(const QString& text) {
    Panels[0]->setText(text);
    Panels[0]->setToolTip(text);
}

void MainStatusBar::ShowStatus(int code) {
    // The engine sends only codes it has texts for; anything else shows its number.
    const QString text = code >= 0 && code < StatusTexts.size()
                             ? StatusTexts.at(code)
                             : QStringLiteral("UNKNOWN STATUS %1").arg(code);
    // Once per message in a flood: only a change costs anything.
    if (Panels[1]->text() != text) {
        Panels[1]->setText(text);
        Panels[1]->setToolTip(text);
    }
}

void MainStatusBar::ShowSending() {
    Panels[1]->setText(QStringLiteral("Sending..."));
}

void MainStatusBar::ShowLink(const QString& summary) {
    Panels[2]->setText(summary);
    Panels[2]->setToolTip(summary);
}

void MainStatusBar::ShowListLarge(std::size_t bytes, std::size_t listed) {
    const double gb = static_cast<double>(bytes) / (1u << 30);
    ShowMessage(QStringLiteral("Received list: %1 GB").arg(gb, 0, 'f', 1));
    Panels[0]->setToolTip(QStringLiteral("The received list holds %1 messages in %2 GB of memory; "
                                         "keep only the newest to bound it.")
                              .arg(listed)
                              .arg(gb, 0, 'f', 2));
    KeepNewestButton->show();
}

void MainStatusBar::ShowLoadWarnings(const std::vector<SettingWarning>& warnings) {
    if (warnings.empty()) return;
    QStringList all, keys;
    for (const SettingWarning& warning : warnings) {
        all << QString::fromLocal8Bit(warning.text.c_str());
        keys << QString::fromLocal8Bit(warning.setting.c_str());
    }
    ShowMessage("Default used for " + keys.join(", "));
    Panels[0]->setToolTip(all.join('\n'));
}
