#include "dialogs/InputFormUnit.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

TInputForm* InputForm = nullptr;

TInputForm::TInputForm(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("File Type"));
    Edit1 = new QLineEdit(QStringLiteral("*"), this);
    auto* sbOk = new QPushButton(QStringLiteral("OK"), this);
    connect(sbOk, &QPushButton::clicked, this, &QDialog::accept);
    auto* layout = new QGridLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("File Extension"), this), 0, 1);
    layout->addWidget(new QLabel(QStringLiteral("*."), this), 1, 0);
    layout->addWidget(Edit1, 1, 1);
    layout->addWidget(sbOk, 1, 2);
}
