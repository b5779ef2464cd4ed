#include "QtLog.h"
#include "Testing.h"
#include "runtime/Exception.h"
#include "toolkit/ListBox.h"

#include <QImage>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <random>

namespace {
struct TCounted : TObject {
    explicit TCounted(int& freed) : Freed(freed) {}
    ~TCounted() override { ++Freed; }
    int& Freed;
};
} // namespace

TEST(ListBox, LinesOwnTheirObjects) {
    int freed = 0;
    TListBox list(nullptr);
    list.Add("a", std::make_unique<TCounted>(freed));
    list.Add("b", std::make_unique<TCounted>(freed));
    list.Add("c");
    list.SetLine(0, "A");
    EXPECT_EQ(list.Lines(), (std::vector<std::string>{"A", "b", "c"}));
    EXPECT_EQ(freed, 0);
    list.Delete(0);
    EXPECT_EQ(freed, 1);
    list.SetObject(0, nullptr);
    EXPECT_EQ(freed, 2);
    EXPECT_EQ(list.Object(0), nullptr);
    EXPECT_EQ(list.Line(0), "b") << "freeing the object keeps the line";
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
}

TEST(ListBox, CurrentLineAndSelection) {
    TListBox single(nullptr, TListBox::TSelection::Single);
    TListBox multiple(nullptr, TListBox::TSelection::Multiple);
    EXPECT_EQ(single.ItemIndex(), -1);
    EXPECT_EQ(multiple.ItemIndex(), -1);
    for (auto* list : {&single, &multiple})
        for (const char* line : {"x", "y", "z"})
            list->Add(line);
    EXPECT_EQ(single.ItemIndex(), -1) << "a single-selection list has no current line until one is chosen";
    EXPECT_EQ(multiple.ItemIndex(), 0) << "the focus frame starts on the first line";
    single.SetItemIndex(2);
    EXPECT_EQ(single.ItemIndex(), 2);
    EXPECT_TRUE(single.Selected(2));
    multiple.SetSelected(0, true);
    multiple.SetSelected(2, true);
    EXPECT_TRUE(multiple.Selected(0));
    EXPECT_FALSE(multiple.Selected(1));
    EXPECT_TRUE(multiple.Selected(2));
}

TEST(ListBox, IndexOfIsAWholeLineMatchIgnoringAsciiCase) {
    TListBox list(nullptr);
    list.Add("*.TXT");
    list.Add("*.doc");
    EXPECT_EQ(list.IndexOf("*.txt"), 0);
    EXPECT_EQ(list.IndexOf("*.do"), -1);
    EXPECT_EQ(list.IndexOf("*.DOC"), 1);
}

TEST(ListBox, FindTextTopMostLineContainingTheText) {
    TListBox list(nullptr);
    list.Add("12:00:01 - Added - /dir/a.txt.bak");
    list.Add("12:00:02 - Added - /Dir/A.txt");
    list.Add("12:00:03 - Added - /other/dir/a.txt");
    EXPECT_EQ(list.FindText("/DIR/a.txt"), 0) << "a longer path containing the text is found first";
    EXPECT_EQ(list.FindText("/dir/a.txt/"), -1);
    EXPECT_EQ(list.FindText("/other/dir"), 2);
    EXPECT_EQ(list.FindText(""), -1);
    EXPECT_EQ(list.FindText("Added"), 0) << "texts that are not paths are found too";
    EXPECT_EQ(list.FindText("/dir"), 0);
    list.AddNote("12:00:04 - Changes_lost - /notes/here");
    EXPECT_EQ(list.FindText("/notes/here"), -1) << "notes are never found";
    EXPECT_EQ(list.FindText("Changes_lost"), -1);
    list.Delete(0);
    EXPECT_EQ(list.FindText("/dir/a.txt"), 0);
    EXPECT_EQ(list.FindText("/dir/a.txt.bak"), -1);
}

namespace {
// Keys as the results list has them: the text after the second " - ".
std::string_view KeyOf(std::string_view text) {
    const size_t first = text.find(" - ");
    const size_t second = first == std::string_view::npos ? first : text.find(" - ", first + 3);
    return second == std::string_view::npos ? std::string_view() : text.substr(second + 3);
}

// The meaning FindKey must keep, read straight off the lines.
int FirstWithKey(const TListBox& list, const std::vector<bool>& notes, std::string_view key) {
    for (int i = 0; i < list.Count(); ++i)
        if (!notes[static_cast<size_t>(i)] && !key.empty() && KeyOf(list.Line(i)) == key)
            return i;
    return -1;
}
} // namespace

TEST(ListBox, FindKeyMatchesTheWholeKeyExactly) {
    TListBox list(nullptr);
    list.EnableKeyIndex(KeyOf);
    list.Add("12:00:01 - Added - /dir/a.txt.bak");
    list.Add("12:00:02 - Added - /dir/A.txt");
    list.Add("12:00:03 - Added - /dir/a.txt");
    list.Add("12:00:04 - Added - /dir/a.txt");
    list.AddNote("12:00:05 - Changes_lost - /dir");
    EXPECT_EQ(list.FindKey("/dir/a.txt"), 2);
    EXPECT_EQ(list.FindKey("/dir/A.txt"), 1);
    EXPECT_EQ(list.FindKey("/dir"), -1) << "notes are never found";
    EXPECT_EQ(list.FindKey("/dir/a"), -1);
    EXPECT_EQ(list.FindKey(""), -1);
    list.SetLine(2, "12:00:06 - Modified - /dir/b.txt");
    EXPECT_EQ(list.FindKey("/dir/a.txt"), 3);
    EXPECT_EQ(list.FindKey("/dir/b.txt"), 2);
    list.Delete(0);
    EXPECT_EQ(list.FindKey("/dir/b.txt"), 1);
    list.Clear();
    EXPECT_EQ(list.FindKey("/dir/b.txt"), -1);
    list.Add("12:00:07 - Added - /dir/b.txt");
    EXPECT_EQ(list.FindKey("/dir/b.txt"), 0);
}

// The index must answer exactly as reading every line would, whatever
// happened to the list before.
// Random edits, filters and removals at one go: the key index, the rows the
// view shows (with their remarks) and the selection always agree with
// reading every line.
TEST(ListBox, FindKeyAndTheShownRowsAgreeWithReadingEveryLine) {
    std::mt19937 random(7);
    const std::vector<std::string> parts = {"home", "HOME", "a.txt", "b", "x - y", "a"};
    auto randomPath = [&] {
        std::string path;
        int depth = 1 + static_cast<int>(random() % 3);
        for (int i = 0; i < depth; ++i)
            path += "/" + parts[random() % parts.size()];
        return path;
    };
    TListBox list(nullptr, TListBox::TSelection::Multiple);
    list.EnableKeyIndex(KeyOf);
    std::vector<bool> notes;
    std::vector<std::string> remarks;
    std::string filter; // empty: none
    for (int step = 0; step < 4000; ++step) {
        int action = static_cast<int>(random() % 24);
        if (action < 9 || list.Count() == 0) {
            list.Add("12:00:00 - Modified - " + randomPath());
            notes.push_back(false);
            remarks.emplace_back();
        } else if (action < 10) {
            list.AddNote("12:00:00 - Not_watched - " + randomPath());
            notes.push_back(true);
            remarks.emplace_back();
        } else if (action < 15) {
            const int line = static_cast<int>(random() % list.Count());
            list.SetLine(line, "12:00:01 - Added - " + randomPath());
        } else if (action < 19) {
            const int line = static_cast<int>(random() % list.Count());
            list.Delete(line);
            notes.erase(notes.begin() + line);
            remarks.erase(remarks.begin() + line);
        } else if (action == 19 && random() % 20 == 0) {
            list.Clear();
            notes.clear();
            remarks.clear();
        } else if (action == 19 && random() % 2 == 0) { // the oldest lines give way to a note
            const int count = 1 + static_cast<int>(random() % list.Count());
            const int left = list.Count() - count + 1;
            list.ReplaceTop(count, "(older lines elsewhere)");
            notes.erase(notes.begin(), notes.begin() + count - 1);
            remarks.erase(remarks.begin(), remarks.begin() + count - 1);
            notes.front() = true;
            remarks.front().clear();
            ASSERT_EQ(list.Count(), left);
            ASSERT_EQ(list.Line(0), "(older lines elsewhere)");
        } else if (action == 20) {
            filter = std::vector<std::string>{"", "/a", "HOME", "x - y/b"}[random() % 4];
            list.SetLineFilter(filter.empty() ? TListBox::TShows()
                                              : [filter](std::string_view line) { return line.find(filter) != line.npos; });
        } else if (action == 21) {
            std::vector<int> gone;
            for (int line = 0; line < list.Count(); ++line)
                if (random() % 3 == 0)
                    gone.push_back(line);
            list.DeleteLines(gone);
            for (auto line = gone.rbegin(); line != gone.rend(); ++line) {
                notes.erase(notes.begin() + *line);
                remarks.erase(remarks.begin() + *line);
            }
        } else if (action == 22) {
            list.SetSelected(static_cast<int>(random() % list.Count()), true);
        } else {
            const int line = static_cast<int>(random() % list.Count());
            remarks[static_cast<size_t>(line)] = "(remark " + std::to_string(step) + ")";
            list.SetRemark(line, remarks[static_cast<size_t>(line)]);
        }
        const std::string query = randomPath();
        ASSERT_EQ(list.FindKey(query), FirstWithKey(list, notes, query)) << "query " << query << " at step " << step;
        std::vector<std::string> shown, rows;
        std::vector<int> selectable;
        for (int line = 0; line < list.Count(); ++line) {
            const std::string text(list.Line(line));
            ASSERT_EQ(list.LineShown(line), filter.empty() || text.find(filter) != text.npos) << step;
            if (list.LineShown(line)) {
                shown.push_back(remarks[static_cast<size_t>(line)].empty() ? text
                                                                            : text + "    " + remarks[static_cast<size_t>(line)]);
                selectable.push_back(line);
            } else
                ASSERT_FALSE(list.Selected(line)) << "a hidden line is never selected, at step " << step;
        }
        for (int row = 0; row < list.model()->rowCount(); ++row)
            rows.push_back(list.model()->index(row, 0).data().toString().toStdString());
        ASSERT_EQ(rows, shown) << "at step " << step;
        ASSERT_EQ(list.ShownCount(), static_cast<int>(shown.size()));
        std::vector<int> selected;
        for (int line : selectable)
            if (list.Selected(line))
                selected.push_back(line);
        ASSERT_EQ(list.SelectedLines(), selected) << "at step " << step;
    }
}

TEST(ListBox, AnErrorInItsClickHandlerIsShownWhereQtCallsIt) {
    TakeErrorBoxes();
    TQtLog log;
    TListBox list(nullptr);
    list.Add("a");
    list.Add("b");
    list.OnClick = [] { throw Exception("Click failed"); };
    EXPECT_NO_THROW(list.SetItemIndex(1));
    const std::vector<std::string> boxes = TakeErrorBoxes();
    EXPECT_FALSE(boxes.empty());
    EXPECT_THAT(boxes, ::testing::Each(std::string("Click failed.")));
    EXPECT_EQ(list.ItemIndex(), 1);
    EXPECT_TRUE(log.TakeCritical().empty());
}

// The hint shows while no line does: in an empty list, and where every
// line is filtered out; a shown line hides it.
TEST(ListBox, AnEmptyHintShowsWhileNoLineDoes) {
    TListBox list(nullptr);
    list.resize(300, 120);
    const auto looks = [&] { return list.grab().toImage(); };
    const QImage blank = looks();
    list.SetEmptyHint("No folder is watched");
    EXPECT_NE(looks(), blank);
    list.Add("a line");
    const QImage withLine = looks();
    list.SetEmptyHint({});
    EXPECT_EQ(looks(), withLine) << "the line hid the hint";
    list.SetEmptyHint("No line matches z");
    list.SetLineFilter([](std::string_view) { return false; });
    const QImage filtered = looks();
    list.SetEmptyHint({});
    EXPECT_NE(filtered, looks());
}
