#pragma once

#include <QDialog>
#include <QHBoxLayout>
#include <QString>
#include <QWidget>

#include <initializer_list>

// Small pieces the dialogs are built from.

// Gives a control the name it is known by (tests and style sheets find it by that name).
template <typename Widget>
Widget* Named(Widget* widget, const char* name) {
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

// The dialog's buttons, at the bottom right in the order given.
inline QHBoxLayout* ButtonRow(std::initializer_list<QWidget*> buttons) {
    auto* row = new QHBoxLayout;
    row->addStretch();
    for (QWidget* button : buttons) row->addWidget(button);
    return row;
}

// A dialog of a fixed frame: a title and a close box, nothing to minimise or maximise (a
// minimised modal dialog would leave its program unusable and out of sight). `size` empty:
// the layout fixes the size.
inline void FixedFrame(QDialog* dialog, QSize size = {}) {
    dialog->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    if (size.isValid()) dialog->setFixedSize(size);
}
