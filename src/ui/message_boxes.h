#pragma once

#include <QString>

class QWidget;

// Every message box the program shows goes through here, so tests can answer them.
class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    // An input error: "Error", exclamation icon, OK.
    virtual void Error(QWidget* parent, const QString& text);
    // A question: "Confirm", question icon, Yes and No; true for Yes.
    virtual bool Confirm(QWidget* parent, const QString& text);
    // An error that escaped a handler: titled with the application title, error icon, OK;
    // a full stop is added when the text ends with a letter or digit.
    virtual void ApplicationError(const QString& text);
    // A whole number from `low` to `high`, offered at `value`; false when cancelled.
    virtual bool AskNumber(QWidget* parent, const QString& title, const QString& label, int& value,
                           int low, int high);

    static MessageBoxes& Instance();
    // Replaces the boxes (tests); null restores the real ones. Not owned.
    static void Install(MessageBoxes* boxes);
};

// The text of the application's error box for an error message.
QString ApplicationErrorText(const QString& message);
