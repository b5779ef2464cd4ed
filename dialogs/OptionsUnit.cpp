#include "dialogs/OptionsUnit.h"

#include "app/Unit1.h"
#include "toolkit/Application.h"
#include "toolkit/ListBox.h"
#include "util/UtilListBox.h"
#include "util/UtilMenu.h"
#include "util/Utilstrings.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

TOptionsForm* OptionsForm = nullptr;

const std::array<TOptionName, 7> OptionNames = {{
    {"file_name", dw_file_name},
    {"dir_name", dw_dir_name},
    {"file_attr", dw_file_attr},
    {"file_write_date", dw_file_write_date},
    {"file_access_date", dw_file_access_date},
    {"file_creation_date", dw_file_creation_date},
    {"file_security", dw_file_security},
}};

TOptionsForm::TOptionsForm(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Watch Options"));
    resize(259, 223);
    Label1 = new QLabel(QStringLiteral("Watch Types"), this);
    sbAdd = new QToolButton(this);
    sbAdd->setAutoRaise(true);
    sbAdd->setToolTip(QStringLiteral("Add Attribute"));
    sbAdd->setIcon(style()->standardIcon(QStyle::SP_FileDialogNewFolder));
    sbAdd->installEventFilter(this);
    sbDelete = new QToolButton(this);
    sbDelete->setAutoRaise(true);
    sbDelete->setToolTip(QStringLiteral("Remove Attribute"));
    sbDelete->setIcon(style()->standardIcon(QStyle::SP_TrashIcon));
    connect(sbDelete, &QToolButton::clicked, this, [this] { RunHandler([this] { sbDeleteClick(); }); });
    ListBox1 = new TListBox(this);
    sbOk = new QPushButton(style()->standardIcon(QStyle::SP_DialogOkButton), QStringLiteral("OK"), this);
    // Enter must not confirm a half-edited list: only a click on OK applies it.
    sbOk->setAutoDefault(false);
    connect(sbOk, &QPushButton::clicked, this, [this] { RunHandler([this] { sbOkClick(); }); });

    PopupMenu1 = new QMenu(this);
    for (const TOptionName& option : OptionNames) {
        QAction* item = PopupMenu1->addAction(QString::fromLatin1(option.Name));
        connect(item, &QAction::triggered, this, [this, item] { RunHandler([&] { filename1Click(item); }); });
    }

    auto* top = new QHBoxLayout;
    top->addWidget(Label1);
    top->addStretch();
    top->addWidget(sbAdd);
    top->addWidget(sbDelete);
    auto* bottom = new QHBoxLayout;
    bottom->addStretch();
    bottom->addWidget(sbOk);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(ListBox1, 1);
    layout->addLayout(bottom);
}

void TOptionsForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    RunHandler([this] { FormShow(); });
}

bool TOptionsForm::eventFilter(QObject* watched, QEvent* event) {
    // The button still sees the release, so that it does not stay pressed.
    if (watched == sbAdd && event->type() == QEvent::MouseButtonRelease) {
        const QPoint at = static_cast<QMouseEvent*>(event)->position().toPoint();
        RunHandler([&] { sbAddMouseUp(at.x(), at.y()); });
    }
    return QDialog::eventFilter(watched, event);
}

// Unconfirmed edits of an earlier showing are dropped: the list always
// starts from what the first watch reports.
void TOptionsForm::FormShow() {
    ListBox1->Clear();
    TBriskoDirWatch* first = Form1->WatchOfLine(0);
    if (!first)
        return;
    for (const TOptionName& option : OptionNames)
        if (first->Options().Contains(option.Option))
            ListBox1->Add(option.Name);
}

void TOptionsForm::sbAddMouseUp(int x, int y) {
    PopupMenuAt(*PopupMenu1, *sbAdd, x, y);
}

void TOptionsForm::filename1Click(QAction* item) {
    std::string name = item->text().toStdString();
    ReplaceAll(name, "&", "");
    if (ListBoxFindText(name, *ListBox1) < 0)
        ListBox1->Add(name);
}

void TOptionsForm::sbDeleteClick() {
    ListBoxDeleteCurrent(*ListBox1);
}

void TOptionsForm::sbOkClick() {
    TDirWatchOptions options;
    for (const TOptionName& option : OptionNames)
        if (ListBox1->IndexOf(option.Name) >= 0)
            options.Include(option.Option);
    for (int i = 0; i < Form1->lbWatches->Count(); ++i)
        if (TBriskoDirWatch* watch = Form1->WatchOfLine(i))
            watch->SetOptions(options);
    accept();
}
