#include "dialogs/InputFormUnit.h"

#include "toolkit/Application.h"
#include "toolkit/OkButton.h"

#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>

TInputForm* InputForm = nullptr;

namespace {
void SetFontHeight(QWidget& control, int pixels) {
    QFont font = control.font();
    font.setPixelSize(pixels);
    control.setFont(font);
}
} // namespace

TInputForm::TInputForm(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("File Type"));
    setWindowFlag(Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(261, 90);
    move(347, 282);
    Label2 = new QLabel(QStringLiteral("File Extension"), this);
    Label1 = new QLabel(QStringLiteral("*."), this);
    SetFontHeight(*Label1, 13);
    Label1->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    Edit1 = new QLineEdit(QStringLiteral("*"), this);
    SetFontHeight(*Edit1, 13);
    Edit1->installEventFilter(this);
    sbOk = NewOkSpeedButton(this);
    connect(sbOk, &QToolButton::clicked, this, [this] { RunHandler([this] { sbOkClick(); }); });

    auto* layout = new QGridLayout(this);
    layout->setHorizontalSpacing(0);
    layout->addWidget(Label2, 0, 1);
    layout->addWidget(Label1, 1, 0);
    layout->addWidget(Edit1, 1, 1);
    layout->setColumnMinimumWidth(2, 18);
    layout->addWidget(sbOk, 1, 3);
}

void TInputForm::sbOkClick() {
    accept();
}

void TInputForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    Edit1->setFocus();
}

// Only OK, Enter and the close box end the question; Escape does not.
void TInputForm::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape)
        return;
    QDialog::keyPressEvent(event);
}

// The Enter that chose "Add" in a menu is released here: only an Enter
// pressed here too takes the text.
bool TInputForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Edit1 && FEnter.Completes(watched, event))
        RunHandler([this] { sbOkClick(); });
    return QDialog::eventFilter(watched, event);
}
