#include "ui/about.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFile>
#include <QFont>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QStandardPaths>
#include <QStyle>
#include <QTextDocument>
#include <QUrl>
#include <QVBoxLayout>

#include <cstdint>

#include "settings/preferences.h"
#include "ui/dialog_parts.h"

namespace {

// The passcode alphabet in its secret order (no 0, 1, I or O to misread on the telephone),
// each byte masked with its own key so the table is not readable in the binary.
constexpr std::uint8_t kScrambledTable[32] = {
    0x69, 0x22, 0xC0, 0xF6, 0x9E, 0xA7, 0x49, 0x66, 0x0A, 0x05, 0x24, 0xC0, 0xF2, 0x95, 0xBB, 0x3B,
    0x18, 0x0D, 0x33, 0xC3, 0xCF, 0x83, 0xEF, 0xB0, 0x44, 0x16, 0x1F, 0x5C, 0xB2, 0xEE, 0x8E, 0x8F};

constexpr std::uint8_t MaskFor(std::size_t i) { return static_cast<std::uint8_t>(0x5A + 29 * i); }

std::uint32_t Mix(std::uint32_t x) {
    x ^= x >> 16;
    x *= 0x7FEB352Du;
    x ^= x >> 15;
    x *= 0x846CA68Bu;
    x ^= x >> 16;
    return x;
}

QLabel* Text(QWidget* parent, const char* name, const QString& text) {
    return Named(new QLabel(text, parent), name);
}

QFont Bold(QFont font) {
    font.setBold(true);
    return font;
}

}  // namespace

PassCode& PassCode::Instance() {
    static PassCode instance;
    return instance;
}

PassCode::PassCode() {
    for (std::size_t i = 0; i < table_.size(); ++i)
        table_[i] = static_cast<char>(kScrambledTable[i] ^ MaskFor(i));
}

std::string PassCode::Compute(std::time_t now) const {
    std::tm local{};
    localtime_r(&now, &local);
    // One value per hour of the calendar; each round of mixing yields one character.
    std::uint32_t state = static_cast<std::uint32_t>(
        ((local.tm_year + 1900) * 400 + local.tm_yday) * 24 + local.tm_hour);
    std::string code;
    for (std::size_t i = 0; i < kLength; ++i) {
        state = Mix(state + static_cast<std::uint32_t>(i) * 0x9E3779B9u);
        code += table_[state % table_.size()];
    }
    return code;
}

const char* const TAboutBox::kWebAddress = "https://www.halvorn.example/";

TAboutBox::TAboutBox(QWidget* parent)
    : QDialog(parent),
      clock_([] { return std::time(nullptr); }),
      openUrl_([](const QUrl& url) { return QDesktopServices::openUrl(url); }) {
    setObjectName("AboutBox");
    setWindowTitle("About");
    FixedFrame(this, {298, 347});

    auto* panel = Named(new QFrame(this), "Panel1");
    panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    panel->setLineWidth(2);

    ProgramIcon = Text(panel, "ProgramIcon", {});
    const QIcon icon = QApplication::windowIcon().isNull()
                           ? style()->standardIcon(QStyle::SP_ComputerIcon)
                           : QApplication::windowIcon();
    ProgramIcon->setPixmap(icon.pixmap(32, 32));
    CompanyLabel = Text(panel, "CompanyLabel", "Halvorn Systems");
    CompanyLabel->setFont(Bold(CompanyLabel->font()));
    ProductName = Text(panel, "ProductName", "Vantor Protocol Simulator");
    ProductName->setFont(Bold(ProductName->font()));
    Version = Text(panel, "Version", "Version 2.23");

    PasscodeText = Text(panel, "PasscodeText", {});
    QFont fixed("Courier New");
    fixed.setStyleHint(QFont::TypeWriter);
    PasscodeText->setFont(fixed);
    PasscodeText->setStyleSheet("color: red");
    PasscodeText->setTextInteractionFlags(Qt::TextSelectableByMouse);

    // A link, so it can be reached and opened from the keyboard too.
    WebAddress = Text(panel, "WebAddress",
                      QString("<a href=\"%1\">%1</a>").arg(QString::fromLatin1(kWebAddress)));
    WebAddress->setTextFormat(Qt::RichText);
    WebAddress->setTextInteractionFlags(Qt::LinksAccessibleByMouse |
                                        Qt::LinksAccessibleByKeyboard);
    WebAddress->setCursor(Qt::PointingHandCursor);
    connect(WebAddress, &QLabel::linkActivated, this, &TAboutBox::WebAddressClick);
    EmailAddress = Text(panel, "EmailAddress", "support@halvorn.example");
    EmailAddress->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // Which settings file this copy uses (beside it, or in the user's configuration folder),
    // whole however long: wrapped anywhere, and copied as it is.
    SettingsPath = Named(new QPlainTextEdit(QFile::decodeName(DefaultConfigPath().c_str()), panel),
                         "SettingsPath");
    SettingsPath->setReadOnly(true);
    SettingsPath->setFrameShape(QFrame::NoFrame);
    SettingsPath->setStyleSheet("QPlainTextEdit { background: transparent; }");
    SettingsPath->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    SettingsPath->document()->setDocumentMargin(0);
    SettingsPath->setFixedHeight(3 * SettingsPath->fontMetrics().lineSpacing() + 2);
    Copyright = Text(panel, "Copyright", "Copyright (c) Halvorn Systems");
    Comments = Text(panel, "Comments", "All rights reserved.");

    auto* heading = new QGridLayout;
    heading->addWidget(ProgramIcon, 0, 0, 3, 1, Qt::AlignTop);
    heading->addWidget(CompanyLabel, 0, 1);
    heading->addWidget(ProductName, 1, 1);
    heading->addWidget(Version, 2, 1);
    heading->setColumnStretch(1, 1);

    auto* contacts = new QGridLayout;
    contacts->addWidget(Text(panel, "", "Passcode :"), 0, 0);
    contacts->addWidget(PasscodeText, 0, 1);
    contacts->addWidget(Text(panel, "", "Tech Support"), 1, 0, 1, 2);
    contacts->addWidget(Text(panel, "PhoneNumber", "(555) 014-2270"), 2, 0, 1, 2);
    contacts->addWidget(Text(panel, "", "Web   :"), 3, 0);
    contacts->addWidget(WebAddress, 3, 1);
    contacts->addWidget(Text(panel, "", "Email  :"), 4, 0);
    contacts->addWidget(EmailAddress, 4, 1);
    contacts->addWidget(Text(panel, "", "Settings :"), 5, 0, 1, 2);
    contacts->addWidget(SettingsPath, 6, 0, 1, 2);
    contacts->setColumnStretch(1, 1);

    auto* panelLayout = new QVBoxLayout(panel);
    panelLayout->addLayout(heading);
    panelLayout->addSpacing(8);
    panelLayout->addLayout(contacts);
    panelLayout->addStretch();
    panelLayout->addWidget(Copyright);
    panelLayout->addWidget(Comments);

    OKButton = Named(new QPushButton("OK", this), "OKButton");
    OKButton->setDefault(true);
    connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(panel);
    layout->addWidget(OKButton, 0, Qt::AlignHCenter);
}

void TAboutBox::Execute() { exec(); }

void TAboutBox::showEvent(QShowEvent* event) {
    if (!event->spontaneous())
        PasscodeText->setText(QString::fromLatin1(PassCode::Instance().Compute(clock_())));
    QDialog::showEvent(event);
}

void TAboutBox::WebAddressClick() {
    if (openUrl_(QUrl(QString::fromLatin1(kWebAddress)))) return;
    QMessageBox::warning(this, "Error!", BrowserErrorText(), QMessageBox::Ok);
}

QString BrowserErrorText() {
    // The desktop hands web addresses to xdg-open, or to the browser the environment names.
    // With none of them there is no browser for http at all; with one, starting it failed.
    const bool launcher = !QStandardPaths::findExecutable("xdg-open").isEmpty() ||
                          !qEnvironmentVariableIsEmpty("BROWSER") ||
                          !qEnvironmentVariableIsEmpty("DEFAULT_BROWSER");
    return launcher ? "Error Executing Browser!" : "Browser for http Not Registered!";
}
