#include "dialogs/SearchHistoryUnit.h"

#include "app/Unit1.h"
#include "dialogs/GeneralOptionsUnit.h"
#include "history/HistoryRecords.h"
#include "history/HistorySettings.h"
#include "history/HistoryStore.h"
#include "history/HistoryTimes.h"
#include "platform/system/PlatformInfo.h"
#include "records/PathText.h"
#include "records/ResultLines.h"
#include "runtime/Exception.h"
#include "toolkit/Application.h"
#include "toolkit/ListBox.h"
#include "util/UtilListBox.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
// A bound given by the user, or none for an empty text.
std::optional<int64_t> Bound(const QLineEdit& edit, bool until) {
    const std::string text = edit.text().trimmed().toStdString();
    if (text.empty())
        return std::nullopt;
    const int64_t now = HistoryTimeNow();
    if (auto moment = until ? ParseUntil(text, now) : ParseWhen(text, now))
        return moment;
    throw Exception("\"" + text +
                    "\" names no time: give today, yesterday, a time ago (30m, 2h, 7d) or a date and "
                    "time (2026-12-07, 2026-12-07 14:05)");
}
} // namespace

TSearchHistoryForm::TSearchHistoryForm(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Search History"));
    edPattern = new QLineEdit(this);
    edPattern->setPlaceholderText(QStringLiteral("part of a path"));
    edSince = new QLineEdit(this);
    edSince->setPlaceholderText(QStringLiteral("since: today, 2h, 2026-12-07 14:05"));
    edUntil = new QLineEdit(this);
    edUntil->setPlaceholderText(QStringLiteral("until"));
    btSearch = new QPushButton(QStringLiteral("Search"), this);
    btSearch->setDefault(true);
    connect(btSearch, &QPushButton::clicked, this, [this] { RunHandler([this] { SearchClick(); }); });
    lbFound = new TListBox(this, TListBox::TSelection::Multiple);
    lbResult = new QLabel(this);
    CreateMenu();

    auto* question = new QGridLayout;
    question->addWidget(edPattern, 0, 0, 1, 3);
    question->addWidget(edSince, 1, 0);
    question->addWidget(edUntil, 1, 1);
    question->addWidget(btSearch, 1, 2);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(question);
    layout->addWidget(lbFound, 1);
    layout->addWidget(lbResult);
    resize(640, 420);
}

void TSearchHistoryForm::CreateMenu() {
    pmFound = new QMenu(this);
    const auto add = [this](const char* caption, void (*command)(const std::string&)) {
        connect(pmFound->addAction(QString::fromUtf8(caption)), &QAction::triggered, this,
                [this, command] { RunHandler([&] { OnCurrentPath(command); }); });
    };
    add("Exclude File", [](const std::string& path) { GeneralOptionsForm->AddExclusion(path); });
    add("Exclude Path",
        [](const std::string& path) { GeneralOptionsForm->AddExclusion(path.substr(0, path.rfind(PathDelim) + 1)); });
    add("Watch It Too", [](const std::string& path) { Form1->WatchFolderToo(path); });
    pmFound->addSeparator();
    add("Open This File", [](const std::string& path) { Form1->OpenWithDesktop(path); });
    add("Hex Edit This File", [](const std::string& path) { Form1->HexEdit(path); });
    lbFound->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(lbFound, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { RunHandler([&] { pmFound->popup(lbFound->mapToGlobal(at)); }); });
}

void TSearchHistoryForm::OnCurrentPath(void (*command)(const std::string& path)) {
    if (const std::string path = CurrentPath(); !path.empty())
        command(path);
}

std::string TSearchHistoryForm::CurrentPath() const {
    const int current = lbFound->ItemIndex();
    if (!ListBoxHasSelection(*lbFound) || current < 0)
        return {};
    return PathOfShown(ResultFilePath(lbFound->Line(current)));
}

TSearchHistoryForm::~TSearchHistoryForm() {
    StopSearch();
}

void TSearchHistoryForm::StopSearch() {
    if (!FSearching.joinable())
        return;
    FStop = true;
    FSearching.join();
    FStop = false;
}

void TSearchHistoryForm::SearchClick() {
    THistoryQuery query;
    query.Since = Bound(*edSince, false);
    query.Until = Bound(*edUntil, true);
    query.Fragment = edPattern->text().toStdString();
    query.Limit = ShownLimit + 1;
    query.Stop = &FStop;
    StopSearch();
    Form1->FlushHistory(); // the newest changes are found too
    lbResult->setText(QStringLiteral("Searching…"));
    const uint64_t asked = ++FAsked;
    FSearching = std::thread([this, query, asked, file = HistoryFileName()] {
        std::vector<THistoryRecord> found;
        std::string failure;
        try {
            found = ReadHistory(file, query);
        } catch (const std::exception& error) {
            failure = error.what();
        }
        if (!FStop)
            QMetaObject::invokeMethod(
                this,
                [this, asked, found = std::move(found), failure]() mutable {
                    if (asked == FAsked)
                        RunHandler([&] { ShowFound(std::move(found), failure); });
                },
                Qt::QueuedConnection);
    });
}

void TSearchHistoryForm::ShowFound(std::vector<THistoryRecord> found, const std::string& failure) {
    if (!failure.empty())
        throw Exception("The history could not be searched: " + failure);
    const bool more = found.size() > ShownLimit;
    found.resize(std::min(found.size(), ShownLimit));
    lbFound->Clear();
    for (const THistoryRecord& record : found) {
        std::vector<std::string> lines = HistoryTextLines(record);
        // Newest first: a rename's new name above its old one.
        for (auto line = lines.rbegin(); line != lines.rend(); ++line)
            lbFound->Add(std::move(*line));
    }
    lbResult->setText(QString::fromStdString(
        found.empty() ? std::string("Nothing kept matches.")
                      : std::to_string(found.size()) + (more ? " changes shown, the newest; there are more: narrow "
                                                               "the search."
                                                        : found.size() == 1 ? " change."
                                                                            : " changes.")));
}
