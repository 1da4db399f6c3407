#pragma once

#include <QDialog>
#include <QString>

#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;

// What a Link menu item asks for before it acts: the hold time of XOFF, the raw bytes.
struct LinkArgumentRequest {
    QString title;  // the dialog's caption
    QString label;  // before the field
    QString note;   // under the field: what may be typed
    // "" when the text will do; else why not, with the part of the text to mark.
    std::function<QString(const QString& text, int& at, int& length)> check;
};

// Asks for one line of text. OK with a text the request's check refuses keeps the dialog open,
// says why under the field and marks the field and the part of the text at fault.
class TLinkArgumentForm : public QDialog {
    Q_OBJECT
public:
    TLinkArgumentForm(const LinkArgumentRequest& request, QWidget* parent = nullptr);

    QString Text() const;

    QLineEdit* ArgumentEdit;
    QLabel* NoteLabel;
    QLabel* ProblemLabel;
    QPushButton* OkButton;
    QPushButton* CancelButton;

public slots:
    void OkButtonClick();

private:
    void ShowProblem(const QString& problem);

    LinkArgumentRequest request_;
};
