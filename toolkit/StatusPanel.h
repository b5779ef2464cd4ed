#pragma once

#include <QLabel>

// A panel of a status bar: a label that cuts its own text short with "…" to
// the room it is given, showing the whole text as its tooltip then, so that
// panels side by side never paint over each other. It asks for its text's
// width (at least preferredWidth) and makes do with far less.
class TStatusPanel : public QLabel {
public:
    TStatusPanel(QWidget* parent, int preferredWidth);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int FPreferredWidth;
};
