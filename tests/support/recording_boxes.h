#pragma once

#include <optional>

#include <QStringList>

#include "ui/message_boxes.h"

// Stands in for every message box while it lives: records what would have been shown and
// answers questions with `answer`. The application error box is recorded as the user would
// read it (with its full stop).
class RecordingBoxes : public MessageBoxes {
public:
    RecordingBoxes() { MessageBoxes::Install(this); }
    ~RecordingBoxes() override { MessageBoxes::Install(nullptr); }
    RecordingBoxes(const RecordingBoxes&) = delete;
    RecordingBoxes& operator=(const RecordingBoxes&) = delete;

    // Forgets what was shown and answers Yes again.
    void Reset() {
        errors.clear();
        questions.clear();
        appErrors.clear();
        answer = true;
        numberQuestions.clear();
        numberAnswer.reset();
    }

    void Error(QWidget*, const QString& text) override { errors << text; }
    bool Confirm(QWidget*, const QString& text) override {
        questions << text;
        return answer;
    }
    void ApplicationError(const QString& text) override { appErrors << ApplicationErrorText(text); }
    bool AskNumber(QWidget*, const QString&, const QString& label, int& value, int, int) override {
        numberQuestions << label;
        if (numberAnswer) value = *numberAnswer;
        return numberAnswer.has_value();
    }

    QStringList errors;
    QStringList questions;
    QStringList appErrors;
    bool answer = true;
    QStringList numberQuestions;
    std::optional<int> numberAnswer;  // none: the question is cancelled
};
