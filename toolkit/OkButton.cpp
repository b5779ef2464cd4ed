#include "toolkit/OkButton.h"

#include <QStyle>
#include <QToolButton>

QToolButton* NewOkSpeedButton(QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setAutoRaise(true);
    button->setText(QStringLiteral("OK"));
    button->setIcon(button->style()->standardIcon(QStyle::SP_DialogOkButton));
    button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    button->setFixedSize(78, 22);
    button->setFocusPolicy(Qt::NoFocus);
    return button;
}
