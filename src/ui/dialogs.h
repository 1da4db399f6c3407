#pragma once

#include <QString>

#include <functional>
#include <vector>

#include "settings/value_checks.h"

// What the main window needs of the four dialogs it opens. The dialogs are created once at
// start-up, after the main window, and handed to it; tests hand it fakes.

class PreferencesDialog {
public:
    // Takes the settings chosen (the whole record, as it stands with the dialog's edits) and
    // says what it refused; the dialog stays open while anything is refused.
    using Apply = std::function<std::vector<SettingRefusal>(const Prefs& chosen)>;

    virtual ~PreferencesDialog() = default;
    virtual void ShowCommunicationsPage() = 0;  // "Communications" in front
    virtual void ShowReplyActionsPage() = 0;    // "Reply Actions" in front
    // Modal; true when it closed with OK, its settings taken by `apply`.
    virtual bool Execute(const Apply& apply) = 0;
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
