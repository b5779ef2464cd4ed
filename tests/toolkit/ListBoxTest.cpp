#include "QtLog.h"
#include "Testing.h"
#include "runtime/Exception.h"
#include "toolkit/ListBox.h"

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
TEST(ListBox, FindKeyIndexAgreesWithReadingEveryLine) {
    std::mt19937 random(7);
    const std::vector<std::string> parts = {"home", "HOME", "a.txt", "b", "x - y", "a"};
    auto randomPath = [&] {
        std::string path;
        int depth = 1 + static_cast<int>(random() % 3);
        for (int i = 0; i < depth; ++i)
            path += "/" + parts[random() % parts.size()];
        return path;
    };
    TListBox list(nullptr);
    list.EnableKeyIndex(KeyOf);
    std::vector<bool> notes;
    for (int step = 0; step < 4000; ++step) {
        int action = static_cast<int>(random() % 20);
        if (action < 9 || list.Count() == 0) {
            list.Add("12:00:00 - Modified - " + randomPath());
            notes.push_back(false);
        } else if (action < 10) {
            list.AddNote("12:00:00 - Not_watched - " + randomPath());
            notes.push_back(true);
        } else if (action < 15) {
            const int line = static_cast<int>(random() % list.Count());
            list.SetLine(line, "12:00:01 - Added - " + randomPath());
        } else if (action < 19) {
            const int line = static_cast<int>(random() % list.Count());
            list.Delete(line);
            notes.erase(notes.begin() + line);
        } else if (random() % 20 == 0) {
            list.Clear();
            notes.clear();
        } else if (random() % 2 == 0) { // the oldest lines give way to a note
            const int count = 1 + static_cast<int>(random() % list.Count());
            const int left = list.Count() - count + 1;
            list.ReplaceTop(count, "(older lines elsewhere)");
            notes.erase(notes.begin(), notes.begin() + count - 1);
            notes.front() = true;
            ASSERT_EQ(list.Count(), left);
            ASSERT_EQ(list.Line(0), "(older lines elsewhere)");
        }
        const std::string query = randomPath();
        ASSERT_EQ(list.FindKey(query), FirstWithKey(list, notes, query)) << "query " << query << " at step " << step;
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
