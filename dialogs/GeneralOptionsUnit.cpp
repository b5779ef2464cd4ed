#include "dialogs/GeneralOptionsUnit.h"

#include "platform/PlatformInfo.h"
#include "toolkit/Dialogs.h"
#include "toolkit/ListBox.h"
#include "util/Utilstrings.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

TGeneralOptionsForm* GeneralOptionsForm = nullptr;

TGeneralOptionsForm::TGeneralOptionsForm(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("General Options"));
    resize(363, 488);

    cbVerboseDisplay = new QCheckBox(QStringLiteral("Verbose Display"), this);
    cbMinToTray = new QCheckBox(QStringLiteral("Minimise to tray"), this);
    cbMinToTray->setChecked(true);
    ebHexEditor = new QLineEdit(this);
    lbExcluded = new TListBox(this);
    lbExcludedTypes = new TListBox(this);
    lbIncludedTypes = new TListBox(this);
    auto* sbOk = new QPushButton(QStringLiteral("OK"), this);
    connect(sbOk, &QPushButton::clicked, this, &QDialog::accept);

    SaveDialog1 = new TFileDialog(this, "SaveDialog1", TFileDialog::TKind::Save);
    SaveDialog1->Filter = "Text Files|*.txt";
    SaveDialog1->OverwritePrompt = true;
    OpenDialog1 = new TFileDialog(this, "OpenDialog1", TFileDialog::TKind::Open);
    OpenDialog1->Filter = "Text Files|*.txt";

    auto* checks = new QHBoxLayout;
    checks->addWidget(cbVerboseDisplay);
    checks->addWidget(cbMinToTray);
    checks->addStretch();
    auto* hexEditor = new QHBoxLayout;
    hexEditor->addWidget(new QLabel(QStringLiteral("Hex editor"), this));
    hexEditor->addWidget(ebHexEditor);
    auto* types = new QGridLayout;
    types->addWidget(new QLabel(QStringLiteral("Excluded File types"), this), 0, 0);
    types->addWidget(new QLabel(QStringLiteral("Included File types"), this), 0, 1);
    types->addWidget(lbExcludedTypes, 1, 0);
    types->addWidget(lbIncludedTypes, 1, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(sbOk);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(checks);
    layout->addLayout(hexEditor);
    layout->addWidget(new QLabel(QStringLiteral("Excluded Files / Folders"), this));
    layout->addWidget(lbExcluded, 1);
    layout->addLayout(types, 1);
    layout->addLayout(buttons);
}

bool TGeneralOptionsForm::IsExcludedPath(const std::string& path) const {
    const std::string delimiter(1, PathDelim);
    for (int i = 0; i < lbExcluded->Count(); ++i) {
        const std::string& entry = lbExcluded->Line(i);
        if (LastChar(entry) == delimiter && path.find(entry) != std::string::npos)
            return true;
    }
    return false;
}

bool TGeneralOptionsForm::IsExcludedFile(const std::string& path) const {
    for (int i = 0; i < lbExcluded->Count(); ++i)
        if (SamePath(lbExcluded->Line(i), path))
            return true;
    return false;
}
