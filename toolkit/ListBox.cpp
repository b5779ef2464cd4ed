#include "toolkit/ListBox.h"

#include "toolkit/Application.h"
#include "toolkit/LineSearchIndex.h"
#include "runtime/SysUtils.h"

#include <QAbstractListModel>
#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QFontMetrics>
#include <QItemSelectionModel>
#include <QPalette>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_map>
#include <utility>

namespace {
// A line's text in one block of its own, its length first: a word in the
// list, where a string would take four, and no spare room in the block.
class TLineText {
public:
    TLineText() = default;
    explicit TLineText(std::string_view text) {
        if (text.empty())
            return;
        const auto size = static_cast<uint32_t>(text.size());
        FBlock = static_cast<char*>(std::malloc(sizeof size + text.size()));
        if (!FBlock)
            throw std::bad_alloc();
        std::memcpy(FBlock, &size, sizeof size);
        std::memcpy(FBlock + sizeof size, text.data(), text.size());
    }
    TLineText(TLineText&& other) noexcept : FBlock(std::exchange(other.FBlock, nullptr)) {}
    TLineText& operator=(TLineText&& other) noexcept {
        std::swap(FBlock, other.FBlock);
        return *this;
    }
    TLineText(const TLineText&) = delete;
    TLineText& operator=(const TLineText&) = delete;
    ~TLineText() { std::free(FBlock); }

    std::string_view View() const {
        if (!FBlock)
            return {};
        uint32_t size = 0;
        std::memcpy(&size, FBlock, sizeof size);
        return {FBlock + sizeof size, size};
    }

private:
    char* FBlock = nullptr;
};

// Sixteen bytes a line: a list of millions of lines is mostly these.
struct TLine {
    TLineText Text;
    // Grows from the top of the list down; a line keeps it for its life.
    uint64_t Serial : 40 = 0;
    uint64_t Tag : 23 = 0;
    uint64_t Note : 1 = 0;
};
} // namespace

class TListBoxModel : public QAbstractListModel {
public:
    explicit TListBoxModel(QObject* parent) : QAbstractListModel(parent) {}

    int rowCount(const QModelIndex& parent) const override {
        return parent.isValid() ? 0 : static_cast<int>(Lines.size());
    }

    QVariant data(const QModelIndex& index, int role) const override {
        if (!index.isValid() || index.row() >= static_cast<int>(Lines.size()))
            return {};
        const size_t row = static_cast<size_t>(index.row());
        if (role == Qt::DisplayRole) {
            const std::string_view line = Lines[row].Text.View();
            QString text = QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size()));
            if (row < Remarks.size() && !Remarks[row].empty())
                text += QStringLiteral("    ") + QString::fromStdString(Remarks[row]);
            return text;
        }
        if (role == Qt::ToolTipRole) {
            if (auto hint = Hints.find(Lines[row].Serial); hint != Hints.end())
                return QString::fromStdString(hint->second);
            if (Lines[row].Tag != 0 && TagHints)
                return QString::fromStdString(TagHints(static_cast<uint32_t>(Lines[row].Tag)));
            return {};
        }
        if (role == Qt::SizeHintRole && HorizontalExtent > 0)
            return QSize(HorizontalExtent, ItemHeight);
        return {};
    }

    void Append(std::string_view text, bool note) {
        const int row = static_cast<int>(Lines.size());
        beginInsertRows({}, row, row);
        Lines.push_back({TLineText(text), NextSerial++, 0, note});
        endInsertRows();
    }

    void Changed(int row) {
        QModelIndex at = index(row);
        emit dataChanged(at, at, {Qt::DisplayRole});
    }

    void Remove(int row) {
        beginRemoveRows({}, row, row);
        Hints.erase(Lines[static_cast<size_t>(row)].Serial);
        Objects.erase(Lines[static_cast<size_t>(row)].Serial);
        Lines.erase(Lines.begin() + row);
        if (static_cast<size_t>(row) < Remarks.size())
            Remarks.erase(Remarks.begin() + row);
        endRemoveRows();
    }

    // Rows [0, count) go; row count becomes the first.
    void RemoveTop(int count) {
        beginRemoveRows({}, 0, count - 1);
        for (auto line = Lines.begin(); line != Lines.begin() + count; ++line) {
            Hints.erase(line->Serial);
            Objects.erase(line->Serial);
        }
        Lines.erase(Lines.begin(), Lines.begin() + count);
        Remarks.erase(Remarks.begin(), Remarks.begin() + std::min<size_t>(Remarks.size(), static_cast<size_t>(count)));
        endRemoveRows();
    }

    void RemoveAll() {
        beginResetModel();
        Lines.clear();
        Lines.shrink_to_fit();
        Remarks.clear();
        Hints.clear();
        Objects.clear();
        endResetModel();
    }

    std::vector<TLine> Lines;
    // Kept apart, and only as far as the last line that has one, so that
    // lines without remarks (nearly all) cost nothing for them.
    std::vector<std::string> Remarks;
    // By serial, for the few lines that have one.
    std::unordered_map<uint64_t, std::string> Hints;
    // By serial, for the lines that carry one (a list of watches, not of changes).
    std::unordered_map<uint64_t, std::unique_ptr<TObject>> Objects;
    std::function<std::string(uint32_t tag)> TagHints;
    int HorizontalExtent = 0;
    int ItemHeight = 13;
    uint64_t NextSerial = 0;
};

TListBox::TListBox(QWidget* parent, TSelection selection)
    : QListView(parent), FModel(new TListBoxModel(this)) {
    setModel(FModel);
    setUniformItemSizes(true);
    setSelectionMode(selection == TSelection::Multiple ? QAbstractItemView::ExtendedSelection
                                                       : QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    FModel->ItemHeight = QFontMetrics(font()).height() + 2;
    auto clicked = [this] {
        if (OnClick)
            RunHandler(OnClick);
    };
    connect(selectionModel(), &QItemSelectionModel::selectionChanged, this, clicked);
    connect(selectionModel(), &QItemSelectionModel::currentChanged, this, clicked);
    connect(this, &QListView::doubleClicked, this, [this] {
        if (OnDblClick)
            RunHandler(OnDblClick);
    });
}

TListBox::~TListBox() = default;

int TListBox::Count() const {
    return static_cast<int>(FModel->Lines.size());
}

std::string_view TListBox::Line(int index) const {
    return FModel->Lines.at(static_cast<size_t>(index)).Text.View();
}

std::vector<std::string> TListBox::Lines() const {
    std::vector<std::string> lines;
    lines.reserve(FModel->Lines.size());
    for (const auto& line : FModel->Lines)
        lines.emplace_back(line.Text.View());
    return lines;
}

TObject* TListBox::Object(int index) const {
    const auto found = FModel->Objects.find(FModel->Lines.at(static_cast<size_t>(index)).Serial);
    return found == FModel->Objects.end() ? nullptr : found->second.get();
}

void TListBox::Add(std::string_view text, std::unique_ptr<TObject> object) {
    FModel->Append(text, false);
    if (object)
        FModel->Objects.emplace(uint64_t{FModel->Lines.back().Serial}, std::move(object));
    if (FIndex)
        FIndex->Add(KeyOfLine(Count() - 1), FModel->Lines.back().Serial);
    ShowAsFiltered(Count() - 1);
}

void TListBox::SetTag(int index, uint32_t tag) {
    FModel->Lines.at(static_cast<size_t>(index)).Tag = tag < TagLimit ? tag : 0;
}

uint32_t TListBox::Tag(int index) const {
    return static_cast<uint32_t>(FModel->Lines.at(static_cast<size_t>(index)).Tag);
}

void TListBox::SetTagHints(std::function<std::string(uint32_t tag)> hints) {
    FModel->TagHints = std::move(hints);
}

void TListBox::AddNote(std::string_view text, std::string hint) {
    FModel->Append(text, true);
    if (!hint.empty())
        FModel->Hints.emplace(uint64_t{FModel->Lines.back().Serial}, std::move(hint));
    ShowAsFiltered(Count() - 1);
}

void TListBox::SetLineFilter(TShows shows) {
    FShows = std::move(shows);
    for (int i = 0; i < Count(); ++i)
        setRowHidden(i, FShows && !FShows(Line(i)));
}

void TListBox::ShowAsFiltered(int index) {
    if (FShows)
        setRowHidden(index, !FShows(Line(index)));
}

void TListBox::SetLine(int index, std::string_view text) {
    auto& line = FModel->Lines.at(static_cast<size_t>(index));
    if (FIndex)
        FIndex->Remove(KeyOfLine(index), line.Serial);
    line.Text = TLineText(text);
    if (FIndex)
        FIndex->Add(KeyOfLine(index), line.Serial);
    FModel->Changed(index);
    ShowAsFiltered(index);
}

void TListBox::SetObject(int index, std::unique_ptr<TObject> object) {
    const uint64_t serial = FModel->Lines.at(static_cast<size_t>(index)).Serial;
    if (object)
        FModel->Objects[serial] = std::move(object);
    else
        FModel->Objects.erase(serial);
}

void TListBox::Delete(int index) {
    if (index < 0 || index >= Count())
        return;
    const bool wasCurrent = currentIndex().isValid() && currentIndex().row() == index;
    if (FIndex)
        FIndex->Remove(KeyOfLine(index), FModel->Lines[static_cast<size_t>(index)].Serial);
    FModel->Remove(index);
    // The view hands the current line on to a neighbour; a second Delete
    // would then remove a line nobody chose.
    if (wasCurrent)
        SetItemIndex(-1);
}

void TListBox::Clear() {
    FModel->RemoveAll();
    if (FIndex)
        FIndex->Clear();
}

// The last line replaced keeps its serial, smaller than any below it, for
// the note.
void TListBox::ReplaceTop(int count, std::string_view note) {
    count = std::min(count, Count());
    if (count <= 0)
        return;
    if (FIndex)
        for (int i = 0; i < count; ++i)
            FIndex->Remove(KeyOfLine(i), FModel->Lines[static_cast<size_t>(i)].Serial);
    if (count > 1)
        FModel->RemoveTop(count - 1);
    TLine& top = FModel->Lines.front();
    FModel->Hints.erase(top.Serial);
    FModel->Objects.erase(top.Serial);
    top.Text = TLineText(note);
    top.Note = 1;
    if (!FModel->Remarks.empty())
        FModel->Remarks.front().clear();
    FModel->Changed(0);
    ShowAsFiltered(0);
}

int TListBox::ItemIndex() const {
    QModelIndex current = currentIndex();
    if (current.isValid())
        return current.row();
    if (selectionMode() == QAbstractItemView::ExtendedSelection && Count() > 0)
        return 0;
    return -1;
}

void TListBox::SetItemIndex(int index) {
    if (index < 0 || index >= Count()) {
        selectionModel()->clearCurrentIndex();
        if (selectionMode() == QAbstractItemView::SingleSelection)
            selectionModel()->clearSelection();
        return;
    }
    const auto flags = selectionMode() == QAbstractItemView::SingleSelection
                           ? QItemSelectionModel::ClearAndSelect
                           : QItemSelectionModel::NoUpdate;
    selectionModel()->setCurrentIndex(FModel->index(index), flags);
}

bool TListBox::Selected(int index) const {
    return selectionModel()->isSelected(FModel->index(index));
}

void TListBox::SetSelected(int index, bool selected) {
    selectionModel()->select(FModel->index(index),
                             selected ? QItemSelectionModel::Select : QItemSelectionModel::Deselect);
}

int TListBox::IndexOf(const std::string& text) const {
    for (int i = 0; i < Count(); ++i)
        if (SameText(Line(i), text))
            return i;
    return -1;
}

int TListBox::FindText(const std::string& text) const {
    if (text.empty())
        return -1;
    for (int i = 0; i < Count(); ++i)
        if (!FModel->Lines[static_cast<size_t>(i)].Note && ContainsText(Line(i), text))
            return i;
    return -1;
}

void TListBox::EnableKeyIndex(TKeyOf keyOf) {
    FKeyOf = std::move(keyOf);
    FIndex = std::make_unique<TLineSearchIndex>([this](uint64_t serial) { return KeyOfLine(RowOf(serial)); });
    for (int i = 0; i < Count(); ++i)
        FIndex->Add(KeyOfLine(i), FModel->Lines[static_cast<size_t>(i)].Serial);
}

int TListBox::FindKey(std::string_view key) const {
    if (!FIndex)
        return -1;
    const std::optional<uint64_t> serial = FIndex->First(key);
    return serial ? RowOf(*serial) : -1;
}

int TListBox::RowOf(uint64_t serial) const {
    const auto& lines = FModel->Lines;
    auto at = std::lower_bound(lines.begin(), lines.end(), serial,
                               [](const TLine& line, uint64_t wanted) { return line.Serial < wanted; });
    return static_cast<int>(at - lines.begin());
}

// Notes have no key, so that they are neither indexed nor found.
std::string_view TListBox::KeyOfLine(int index) const {
    const TLine& line = FModel->Lines[static_cast<size_t>(index)];
    return line.Note ? std::string_view() : FKeyOf(line.Text.View());
}

void TListBox::SetHorizontalExtent(int pixels) {
    FModel->HorizontalExtent = pixels;
    setHorizontalScrollBarPolicy(pixels > viewport()->width() ? Qt::ScrollBarAsNeeded
                                                              : Qt::ScrollBarAlwaysOff);
    doItemsLayout();
}

void TListBox::keyPressEvent(QKeyEvent* event) {
    if (!event->matches(QKeySequence::Copy)) {
        QListView::keyPressEvent(event);
        return;
    }
    RunHandler([this] {
        if (const int current = ItemIndex(); current >= 0)
            QGuiApplication::clipboard()->setText(QString::fromStdString(std::string(Line(current))));
    });
    event->accept();
}

void TListBox::SetRemark(int index, std::string remark) {
    const size_t row = static_cast<size_t>(index);
    if (row >= FModel->Lines.size())
        return;
    if (row >= FModel->Remarks.size())
        FModel->Remarks.resize(row + 1);
    FModel->Remarks[row] = std::move(remark);
    FModel->Changed(index);
}
