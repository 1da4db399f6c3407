#pragma once

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
