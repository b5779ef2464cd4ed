#pragma once

#include "runtime/Object.h"

#include <QListView>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class TListBoxModel;
class TLineSearchIndex;

// The list box of every list in the program: lines of text, each able to
// carry one object that the line owns; a current line (the selected line of
// a single-selection list, the line with the focus frame of a
// multiple-selection list); a selected flag per line.
//
// Lines live in one vector behind a model, not as one widget item each, so
// that a list of a million lines stays fast and small.
class TListBox : public QListView {
public:
    enum class TSelection { Single, Multiple };

    explicit TListBox(QWidget* parent, TSelection selection = TSelection::Single);
    ~TListBox() override;

    int Count() const;
    // Valid until the line is changed or removed.
    std::string_view Line(int index) const;
    std::vector<std::string> Lines() const;
    TObject* Object(int index) const;

    void Add(std::string_view text, std::unique_ptr<TObject> object = nullptr);
    // Adds a line that FindText and FindKey pass over: a remark among the
    // lines, which no search is meant to find and replace. The hint, if
    // any, shows when the mouse rests on the line.
    void AddNote(std::string_view text, std::string hint = {});
    void SetLine(int index, std::string_view text);
    // A number the owner gives a line (0: none, and any at TagLimit or
    // above), kept while its text changes. The line hints give the hint of a
    // line without a hint of its own, from its text and its tag.
    static constexpr uint32_t TagLimit = 1u << 22;
    void SetTag(int index, uint32_t tag);
    uint32_t Tag(int index) const;
    void SetLineHints(std::function<std::string(std::string_view line, uint32_t tag)> hints);
    // Gives the line another object (or none), freeing the one it had.
    void SetObject(int index, std::unique_ptr<TObject> object);
    // Removes the line and frees its object. Removing the current line
    // leaves the list without one.
    void Delete(int index);
    void Clear();
    // Replaces the first count lines with one note, at one go: for a list
    // that keeps its newest lines only.
    void ReplaceTop(int count, std::string_view note);

    // The current line, or -1. A multiple-selection list with lines has its
    // focus frame on the first line until the user moves it.
    int ItemIndex() const;
    void SetItemIndex(int index);
    bool Selected(int index) const;
    void SetSelected(int index, bool selected);
    // The selected lines, in order; a line the filter hides is never selected.
    std::vector<int> SelectedLines() const;
    // Removes the given lines (in ascending order) at one go, the others
    // keeping their selection; fast however many there are.
    void DeleteLines(const std::vector<int>& lines);

    // The first line equal to text, ASCII letter case ignored; -1 if none.
    int IndexOf(const std::string& text) const;
    // The first line that contains text anywhere, ASCII letter case ignored;
    // -1 if none or text is empty.
    int FindText(const std::string& text) const;

    // The part of a line's text that FindKey looks for; empty for none.
    using TKeyOf = std::function<std::string_view(std::string_view text)>;
    // Keys every line but the notes, and keeps an index of the keys.
    void EnableKeyIndex(TKeyOf keyOf);
    // The first line whose key is exactly key; -1 if none, for an empty key
    // and in a list without a key index.
    int FindKey(std::string_view key) const;

    // Shows only the lines shows says yes to, now and as lines are added or
    // changed; an empty function shows every line. Hidden lines stay
    // lines: Count, Line and the searches still see them.
    using TShows = std::function<bool(std::string_view text)>;
    void SetLineFilter(TShows shows);
    bool Filtered() const { return static_cast<bool>(FShows); }
    bool LineShown(int index) const;
    int ShownCount() const;
    // How many lines above index the filter shows.
    int ShownBefore(int index) const;

    // Width, in pixels, that the lines can be scrolled across at least; it
    // grows to the end of the longest line.
    void SetHorizontalExtent(int pixels);
    // A remark shown after a line's text, in the list only (not part of Line()).
    void SetRemark(int index, std::string remark);
    std::string Remark(int index) const;
    // A grey hint shown in the list while it shows no line (it is empty, or
    // every line is filtered out); empty: none.
    void SetEmptyHint(std::string hint);

    std::function<void()> OnClick;     // every change of selection, by mouse or keyboard
    std::function<void()> OnDblClick;

protected:
    // Copying takes the current line's text, without its remark; the menu
    // key opens the context menu at the current line.
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    int LineOfSerial(uint64_t serial) const;
    void KeepingView(const std::function<void()>& change, const std::function<int(int line)>& lineAfter);
    std::string_view KeyOfLine(int index) const;

    TListBoxModel* FModel;
    void ShowAsFiltered(int index);
    bool HiddenByFilter(std::string_view text) const;

    TKeyOf FKeyOf;
    TShows FShows;
    std::unique_ptr<TLineSearchIndex> FIndex;
    void FitExtentTo(std::string_view text);
    void ApplyExtent(int pixels);
    int FLeastExtent = 0;
    std::string FEmptyHint;
    size_t FLongestMeasured = 0; // bytes of the longest line measured

};
