#pragma once

#include <QColor>
#include <QLabel>

// A one-line label for the status bar that never makes the window wider: a text too long for
// it ends in "…" (the tooltip holds the whole of it), and it asks for its text's width but
// makes do with far less. With a mark colour it draws a dot of that colour before the text.
class ElidedLabel : public QLabel {
    Q_OBJECT
public:
    explicit ElidedLabel(QWidget* parent = nullptr);

    void SetMark(const QColor& colour);
    QColor Mark() const { return mark_; }
    // The text as drawn now (elided or whole).
    QString ShownText() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int MarkWidth() const;

    QColor mark_;
};
