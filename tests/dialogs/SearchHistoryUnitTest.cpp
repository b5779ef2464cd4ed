#include "../app/AppTesting.h"
#include "DialogTesting.h"

#include "dialogs/GeneralOptionsUnit.h"
#include "dialogs/SearchHistoryUnit.h"
#include "history/HistorySettings.h"
#include "history/HistoryStore.h"
#include "history/HistoryTimes.h"

#include <QDateTime>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <regex>

using SearchHistory = TProgramTest;

namespace {
constexpr int64_t Second = 1000000000;

std::vector<std::string> WithoutDate(const TListBox& list) {
    static const std::regex date("^20[0-9][0-9]-[01][0-9]-[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-5][0-9] - ");
    std::vector<std::string> lines;
    for (const std::string& line : list.Lines())
        lines.push_back(std::regex_replace(line, date, ""));
    return lines;
}

// Asks the question and waits for its answer.
void Search(TSearchHistoryForm& form) {
    form.btSearch->click();
    EXPECT_TRUE(ProcessEventsUntil([&] { return form.lbResult->text() != QStringLiteral("Searching…"); }));
}

// The history's clock stopped at noon today: "today" then takes in the
// minutes before it, whenever the test runs.
struct TNoonClock {
    const int64_t Noon = QDateTime(QDate::currentDate(), QTime(12, 0)).toMSecsSinceEpoch() * 1000000;
    TNoonClock() {
        SetHistoryClock([noon = Noon] { return noon; });
    }
    ~TNoonClock() { SetHistoryClock(nullptr); }
};

QAction* Command(const QMenu& menu, const char* caption) {
    for (QAction* action : menu.actions())
        if (action->text() == QString::fromUtf8(caption))
            return action;
    return nullptr;
}
} // namespace

// What was kept is found by a part of its path and a time range, newest
// first, a rename's new name above its old; the results list's commands
// act on a found line; a time that names nothing is said so.
TEST_F(SearchHistory, FindsKeptChangesAndActsOnThem) {
    TTempDir dir;
    const TNoonClock clock;
    const int64_t now = clock.Noon;
    {
        THistoryStore store(HistoryFileName(), {}, [](const std::string& message) { ADD_FAILURE() << message; });
        store.Add({now - 2 * 86400 * Second, "Added", dir / "old.txt", std::nullopt, dir.Path(), false, ""});
        store.Add({now - 60 * Second, "Added", dir / "sub/a.txt", std::nullopt, dir.Path(), false, ""});
        store.Add({now - 30 * Second, "Renamed", dir / "sub/b.txt", dir / "sub/a.txt", dir.Path(), false, ""});
        store.Add({now - 10 * Second, "Removed", "/elsewhere/b.txt", std::nullopt, "/elsewhere", false, ""});
    }
    TSearchHistoryForm form(Form1);
    form.edPattern->setText(QString::fromStdString(dir.Path()));
    Search(form);
    EXPECT_EQ(
        WithoutDate(*form.lbFound),
        (std::vector<std::string>{"Renamed_new_name - " + dir / "sub/b.txt", "Renamed_old_name - " + dir / "sub/a.txt",
                                  "Added - " + dir / "sub/a.txt", "Added - " + dir / "old.txt"}));
    EXPECT_EQ(form.lbResult->text().toStdString(), "3 changes.");

    form.edSince->setText(QStringLiteral("today"));
    form.edPattern->setText(QString::fromStdString(dir / "sub/a"));
    Search(form);
    EXPECT_EQ(form.lbFound->Count(), 3) << "the rename holds the part in its old name";

    form.lbFound->SetSelected(2, true);
    form.lbFound->SetItemIndex(2);
    Command(*form.pmFound, "Exclude File")->trigger();
    Command(*form.pmFound, "Exclude Path")->trigger();
    EXPECT_EQ(GeneralOptionsForm->lbExcluded->Lines(), (std::vector<std::string>{dir / "sub/a.txt", dir / "sub/"}));

    form.edSince->setText(QStringLiteral("last week"));
    form.btSearch->click(); // refused before it is asked
    EXPECT_EQ(TakeErrorBoxes(), std::vector<std::string>{"\"last week\" names no time: give today, yesterday, a time "
                                                         "ago (30m, 2h, 7d) or a date and time (2026-12-07, "
                                                         "2026-12-07 14:05)"});
    form.edSince->clear();
    form.edPattern->setText(QStringLiteral("nothing kept holds this"));
    Search(form);
    EXPECT_EQ(form.lbFound->Count(), 0);
    EXPECT_EQ(form.lbResult->text().toStdString(), "Nothing kept matches.");
}
