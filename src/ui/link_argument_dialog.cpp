#include "ui/link_argument_dialog.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/dialog_parts.h"

TLinkArgumentForm::TLinkArgumentForm(const LinkArgumentRequest& request, QWidget* parent)
    : QDialog(parent), request_(request) {
    setObjectName("LinkArgumentForm");
    setWindowTitle(request.title);
    auto* label = new QLabel(request.label, this);
    ArgumentEdit = Named(new QLineEdit(this), "ArgumentEdit");
    ArgumentEdit->setMinimumWidth(360);
    label->setBuddy(ArgumentEdit);
    NoteLabel = Named(new QLabel(request.note, this), "NoteLabel");
    NoteLabel->setWordWrap(true);
    ProblemLabel = Named(new QLabel(this), "ProblemLabel");
    ProblemLabel->setWordWrap(true);
    ProblemLabel->setStyleSheet("color: #c01010");
    ProblemLabel->hide();
    OkButton = Named(new QPushButton("OK", this), "OkButton");
    OkButton->setDefault(true);
    CancelButton = Named(new QPushButton("Cancel", this), "CancelButton");
    connect(OkButton, &QPushButton::clicked, this, &TLinkArgumentForm::OkButtonClick);
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
    // A new edit takes the mark away: it was about the text as it was.
    connect(ArgumentEdit, &QLineEdit::textEdited, this, [this] { ShowProblem({}); });

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(label);
    layout->addWidget(ArgumentEdit);
    layout->addWidget(NoteLabel);
    layout->addWidget(ProblemLabel);
    layout->addLayout(ButtonRow({OkButton, CancelButton}));
    layout->setSizeConstraint(QLayout::SetFixedSize);
    FixedFrame(this);
}

QString TLinkArgumentForm::Text() const { return ArgumentEdit->text(); }

void TLinkArgumentForm::ShowProblem(const QString& problem) {
    ProblemLabel->setText(problem);
    ProblemLabel->setVisible(!problem.isEmpty());
    ArgumentEdit->setStyleSheet(problem.isEmpty() ? QString() : QStringLiteral("border: 2px solid #c01010"));
    ArgumentEdit->setProperty("refused", !problem.isEmpty());
}

void TLinkArgumentForm::OkButtonClick() {
    int at = 0;
    int length = 0;
    const QString problem = request_.check ? request_.check(Text(), at, length) : QString();
    if (problem.isEmpty()) {
        accept();
        return;
    }
    ShowProblem(problem);
    ArgumentEdit->setFocus();
    if (length > 0) {
        ArgumentEdit->setSelection(at, length);
    } else {
        ArgumentEdit->selectAll();
    }
}
