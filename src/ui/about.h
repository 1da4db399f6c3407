#pragma once

#include <QDialog>
#include <QString>

#include <array>
#include <ctime>
#include <functional>
#include <string>

#include "ui/dialogs.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QUrl;

// The support passcode: a short text that changes every hour, derived from the local date
// and hour through a table the program keeps scrambled. Support derives the same text to
// know that a caller is looking at the about box now.
class PassCode {
public:
    static PassCode& Instance();  // created on first use, kept for the whole run

    std::string Compute(std::time_t now) const;
    static constexpr std::size_t kLength = 6;

private:
    PassCode();
    std::array<char, 32> table_;
};

// The product, its version, the support contacts, the passcode of this moment and the
// settings file in use.
class TAboutBox : public QDialog, public AboutDialog {
    Q_OBJECT
public:
    explicit TAboutBox(QWidget* parent = nullptr);

    void Execute() override;

    using Clock = std::function<std::time_t()>;
    using UrlOpener = std::function<bool(const QUrl&)>;
    // Tests fix the time and stand in for the desktop's URL handling.
    void SetClock(Clock clock) { clock_ = std::move(clock); }
    void SetUrlOpener(UrlOpener opener) { openUrl_ = std::move(opener); }

    static const char* const kWebAddress;

    QLabel* ProgramIcon;
    QLabel* CompanyLabel;
    QLabel* ProductName;
    QLabel* Version;
    QLabel* PasscodeText;
    QLabel* WebAddress;
    QLabel* EmailAddress;
    QPlainTextEdit* SettingsPath;
    QLabel* Copyright;
    QLabel* Comments;
    QPushButton* OKButton;

public slots:
    void WebAddressClick();

protected:
    void showEvent(QShowEvent* event) override;

private:
    Clock clock_;
    UrlOpener openUrl_;
};

// Why the web address could not be opened, when opening it failed.
QString BrowserErrorText();
