#pragma once

#include "runtime/Object.h"

#include <QAbstractListModel>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// A line's text in one block of its own, its length first: a word in the
// list, where a string would take four, and no spare room in the block.
class TLineText {
public:
    TLineText() = default;
    explicit TLineText(std::string_view text);
    TLineText(TLineText&& other) noexcept : FBlock(std::exchange(other.FBlock, nullptr)) {}
    TLineText& operator=(TLineText&& other) noexcept {
        std::swap(FBlock, other.FBlock);
        return *this;
    }
    TLineText(const TLineText&) = delete;
    TLineText& operator=(const TLineText&) = delete;
    ~TLineText();

    std::string_view View() const;

private:
    char* FBlock = nullptr;
};

// Sixteen bytes a line: a list of millions of lines is mostly these.
struct TLine {
    TLineText Text;
    // Grows from the top of the list down; a line keeps it for its life.
    uint64_t Serial : 40 = 0;
    uint64_t Tag : 22 = 0;
    uint64_t Note : 1 = 0;
    uint64_t Hidden : 1 = 0; // by the filter
};

// The lines of a list box, and the rows its view shows of them: every line,
// or while a filter is on only the lines it shows, in their order. A hidden
// line has no row at all, rather than a row the view hides: a view keeps its
// hidden rows in a list it searches at every look-up, which made a filter
// over a long list take minutes. Lines are counted among all lines, rows
// among those shown.
class TListBoxModel : public QAbstractListModel {
public:
    explicit TListBoxModel(QObject* parent) : QAbstractListModel(parent) {}

    int rowCount(const QModelIndex& parent) const override;
    QVariant data(const QModelIndex& index, int role) const override;

    int LineOfRow(int row) const;
    // -1 for a hidden line.
    int RowOfLine(int line) const;
    // How many lines above line are shown.
    int ShownBefore(int line) const;
    int ShownCount() const { return rowCount({}); }

    void Append(std::string_view text, bool note, bool hidden);
    void Changed(int line);
    void SetHidden(int line, bool hidden);
    // Lines [0, count) go; line count becomes the first.
    void RemoveTop(int count);
    void Remove(int line);
    // The lines given, in ascending order, go at one go; the view starts
    // afresh, as after Filter.
    void RemoveLines(const std::vector<int>& lines);
    void RemoveAll();
    // Hides each line that shows says no to; an empty function shows every
    // line and ends the filtering. The view starts afresh.
    void Filter(const std::function<bool(std::string_view text)>& shows);

    std::vector<TLine> Lines;
    // Kept apart, and only as far as the last line that has one, so that
    // lines without remarks (nearly all) cost nothing for them.
    std::vector<std::string> Remarks;
    // By serial, for the few lines that have one.
    std::unordered_map<uint64_t, std::string> Hints;
    // By serial, for the lines that carry one (a list of watches, not of changes).
    std::unordered_map<uint64_t, std::unique_ptr<TObject>> Objects;
    std::function<std::string(std::string_view line, uint32_t tag)> LineHints;
    int HorizontalExtent = 0;
    int ItemHeight = 13;
    uint64_t NextSerial = 0;

private:
    void Forget(const TLine& line);
    // After lines below a place went: the rows' lines from row on move up by removed.
    void ShiftRows(size_t row, int removed);

    bool FFiltering = false;
    std::vector<int> FRows; // while filtering: the lines shown, ascending
};
