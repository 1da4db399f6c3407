#pragma once

#include <QString>

// What the main window needs of the four dialogs it opens. The dialogs are created once at
// start-up, after the main window, and handed to it; tests hand it fakes.

class PreferencesDialog {
public:
    virtual ~PreferencesDialog() = default;
    virtual void ShowCommunicationsPage() = 0;  // "Communications" in front
    virtual void ShowReplyActionsPage() = 0;    // "Reply Actions" in front
    // Modal; true when it closed with OK (and stored its settings).
    virtual bool Execute() = 0;
};

class FlagHelpDialog {
public:
    virtual ~FlagHelpDialog() = default;
    // Modal; true when it closed with Insert (the OK result).
    virtual bool Execute() = 0;
    // The flag code chosen by the last Execute, for example "%D"; may be empty.
    virtual QString ChosenText() const = 0;
};

class BccCalculatorDialog {
public:
    virtual ~BccCalculatorDialog() = default;
    // Shows the calculator without blocking the main window; it keeps its contents.
    virtual void ShowModeless() = 0;
};

class AboutDialog {
public:
    virtual ~AboutDialog() = default;
    virtual void Execute() = 0;  // modal
};

struct MainFormDialogs {
    PreferencesDialog* preferences = nullptr;
    FlagHelpDialog* flagHelp = nullptr;
    BccCalculatorDialog* bccCalculator = nullptr;
    AboutDialog* about = nullptr;
};
