#include "toolkit/ListBox.h"

#include "toolkit/Application.h"
#include "toolkit/LineSearchIndex.h"
#include "toolkit/ListBoxModel.h"
#include "runtime/SysUtils.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QFontMetrics>
#include <QItemSelectionModel>
#include <QSignalBlocker>
#include <QPainter>
#include <QPalette>
#include <algorithm>
#include <utility>

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
    FModel->Append(text, false, HiddenByFilter(text));
    FitExtentTo(text);
    if (object)
        FModel->Objects.emplace(uint64_t{FModel->Lines.back().Serial}, std::move(object));
    if (FIndex)
        FIndex->Add(KeyOfLine(Count() - 1), FModel->Lines.back().Serial);
}

void TListBox::SetTag(int index, uint32_t tag) {
    FModel->Lines.at(static_cast<size_t>(index)).Tag = tag < TagLimit ? tag : 0;
}

uint32_t TListBox::Tag(int index) const {
    return static_cast<uint32_t>(FModel->Lines.at(static_cast<size_t>(index)).Tag);
}

void TListBox::SetLineHints(std::function<std::string(std::string_view line, uint32_t tag)> hints) {
    FModel->LineHints = std::move(hints);
}

void TListBox::AddNote(std::string_view text, std::string hint) {
    if (!hint.empty())
        FModel->Hints.emplace(FModel->NextSerial, std::move(hint));
    FModel->Append(text, true, HiddenByFilter(text));
    FitExtentTo(text);
}

// The current line and the selection stay as far as the filter shows them.
void TListBox::SetLineFilter(TShows shows) {
    FShows = std::move(shows);
    KeepingView([this] { FModel->Filter(FShows); }, [](int line) { return line; });
}

void TListBox::ShowAsFiltered(int index) {
    FModel->SetHidden(index, HiddenByFilter(Line(index)));
}

bool TListBox::HiddenByFilter(std::string_view text) const {
    return FShows && !FShows(text);
}

bool TListBox::LineShown(int index) const {
    return !FModel->Lines.at(static_cast<size_t>(index)).Hidden;
}

int TListBox::ShownCount() const {
    return FModel->ShownCount();
}

int TListBox::ShownBefore(int index) const {
    return FModel->ShownBefore(index);
}

void TListBox::SetLine(int index, std::string_view text) {
    auto& line = FModel->Lines.at(static_cast<size_t>(index));
    if (FIndex)
        FIndex->Remove(KeyOfLine(index), line.Serial);
    line.Text = TLineText(text);
    FitExtentTo(text);
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
    const bool wasCurrent = currentIndex().isValid() && FModel->LineOfRow(currentIndex().row()) == index;
    if (FIndex)
        FIndex->Remove(KeyOfLine(index), FModel->Lines[static_cast<size_t>(index)].Serial);
    FModel->Remove(index);
    // The view hands the current line on to a neighbour; a second Delete
    // would then remove a line nobody chose.
    if (wasCurrent)
        SetItemIndex(-1);
}

// An empty list is as wide as its owner asked: short lines that come next
// are not left out of sight to the left.
void TListBox::Clear() {
    FModel->RemoveAll();
    if (FIndex)
        FIndex->Clear();
    FLongestMeasured = 0;
    if (FLeastExtent > 0)
        ApplyExtent(FLeastExtent);
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
        return FModel->LineOfRow(current.row());
    if (selectionMode() == QAbstractItemView::ExtendedSelection && FModel->ShownCount() > 0)
        return FModel->LineOfRow(0);
    return -1;
}

void TListBox::SetItemIndex(int index) {
    const int row = index >= 0 && index < Count() ? FModel->RowOfLine(index) : -1;
    if (row < 0) {
        selectionModel()->clearCurrentIndex();
        if (selectionMode() == QAbstractItemView::SingleSelection)
            selectionModel()->clearSelection();
        return;
    }
    const auto flags = selectionMode() == QAbstractItemView::SingleSelection
                           ? QItemSelectionModel::ClearAndSelect
                           : QItemSelectionModel::NoUpdate;
    selectionModel()->setCurrentIndex(FModel->index(row), flags);
}

bool TListBox::Selected(int index) const {
    const int row = FModel->RowOfLine(index);
    return row >= 0 && selectionModel()->isSelected(FModel->index(row));
}

void TListBox::SetSelected(int index, bool selected) {
    if (const int row = FModel->RowOfLine(index); row >= 0)
        selectionModel()->select(FModel->index(row), selected ? QItemSelectionModel::Select : QItemSelectionModel::Deselect);
}

std::vector<int> TListBox::SelectedLines() const {
    std::vector<int> lines;
    for (const QItemSelectionRange& range : selectionModel()->selection())
        for (int row = range.top(); row <= range.bottom(); ++row)
            lines.push_back(FModel->LineOfRow(row));
    std::sort(lines.begin(), lines.end());
    lines.erase(std::unique(lines.begin(), lines.end()), lines.end());
    return lines;
}

// Lines after a removed one move up by one for each removed above them.
void TListBox::DeleteLines(const std::vector<int>& lines) {
    if (lines.empty())
        return;
    if (FIndex)
        for (int line : lines)
            FIndex->Remove(KeyOfLine(line), FModel->Lines[static_cast<size_t>(line)].Serial);
    KeepingView([&] { FModel->RemoveLines(lines); },
                [&](int line) {
                    const auto at = std::lower_bound(lines.begin(), lines.end(), line);
                    return at != lines.end() && *at == line ? -1 : line - static_cast<int>(at - lines.begin());
                });
}

// The model starts afresh, which clears the view's current line, selection
// and place: they are taken along, as lineAfter maps the lines, quietly (the
// owner knows what it changed).
void TListBox::KeepingView(const std::function<void()>& change, const std::function<int(int line)>& lineAfter) {
    const auto rowAfter = [&](int line) {
        const int after = line >= 0 ? lineAfter(line) : -1;
        return after >= 0 ? FModel->RowOfLine(after) : -1;
    };
    const int current = currentIndex().isValid() ? FModel->LineOfRow(currentIndex().row()) : -1;
    const std::vector<int> selected = SelectedLines();
    const QModelIndex top = indexAt(QPoint(1, 1));
    const int topLine = top.isValid() ? FModel->LineOfRow(top.row()) : -1;
    {
        const QSignalBlocker quiet(selectionModel());
        change();
        QItemSelection selection;
        int runStart = -1, runEnd = -1;
        const auto endRun = [&] {
            if (runStart >= 0)
                selection.select(FModel->index(runStart), FModel->index(runEnd));
        };
        for (int line : selected) {
            const int row = rowAfter(line);
            if (row < 0)
                continue;
            if (row != runEnd + 1 || runStart < 0) {
                endRun();
                runStart = row;
            }
            runEnd = row;
        }
        endRun();
        selectionModel()->select(selection, QItemSelectionModel::Select);
        if (const int currentRow = rowAfter(current); currentRow >= 0)
            selectionModel()->setCurrentIndex(FModel->index(currentRow), QItemSelectionModel::NoUpdate);
    }
    // The top line's row, or, where it is hidden now, the next shown line's.
    if (const int after = topLine >= 0 ? lineAfter(topLine) : -1; after >= 0)
        if (const int row = FModel->ShownBefore(after); row < FModel->ShownCount())
            scrollTo(FModel->index(row), QAbstractItemView::PositionAtTop);
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
    FIndex = std::make_unique<TLineSearchIndex>([this](uint64_t serial) { return KeyOfLine(LineOfSerial(serial)); });
    for (int i = 0; i < Count(); ++i)
        FIndex->Add(KeyOfLine(i), FModel->Lines[static_cast<size_t>(i)].Serial);
}

int TListBox::FindKey(std::string_view key) const {
    if (!FIndex)
        return -1;
    const std::optional<uint64_t> serial = FIndex->First(key);
    return serial ? LineOfSerial(*serial) : -1;
}

int TListBox::LineOfSerial(uint64_t serial) const {
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

// A line is measured only when it has more bytes than any measured before:
// a wider one has more, and a burst costs the main thread no measuring.
void TListBox::FitExtentTo(std::string_view text) {
    if (FModel->HorizontalExtent <= 0 || text.size() <= FLongestMeasured)
        return;
    FLongestMeasured = text.size();
    const int width = fontMetrics().horizontalAdvance(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()))) +
                      2 * fontMetrics().averageCharWidth();
    if (width > FModel->HorizontalExtent)
        ApplyExtent(width);
}

void TListBox::SetHorizontalExtent(int pixels) {
    FLeastExtent = pixels;
    ApplyExtent(pixels);
}

void TListBox::ApplyExtent(int pixels) {
    FModel->HorizontalExtent = pixels;
    setHorizontalScrollBarPolicy(pixels > viewport()->width() ? Qt::ScrollBarAsNeeded
                                                              : Qt::ScrollBarAlwaysOff);
    doItemsLayout();
}

// The menu key and Shift+F10 open the context menu at the current line,
// as the mouse's right button does where it points (the viewport's
// coordinates).
void TListBox::keyPressEvent(QKeyEvent* event) {
    const bool menuKey = event->key() == Qt::Key_Menu ||
                         (event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier);
    if (menuKey && contextMenuPolicy() == Qt::CustomContextMenu) {
        const QRect line = visualRect(currentIndex());
        emit customContextMenuRequested(line.isValid() ? line.center() : QPoint(0, 0));
        event->accept();
        return;
    }
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

std::string TListBox::Remark(int index) const {
    const size_t row = static_cast<size_t>(index);
    return row < FModel->Remarks.size() ? FModel->Remarks[row] : std::string();
}

void TListBox::SetEmptyHint(std::string hint) {
    FEmptyHint = std::move(hint);
    viewport()->update();
}

// No line at the top of the viewport: none is shown, as every shown line
// fills the list from its top.
void TListBox::paintEvent(QPaintEvent* event) {
    QListView::paintEvent(event);
    if (FEmptyHint.empty() || indexAt(QPoint(1, 1)).isValid())
        return;
    QPainter painter(viewport());
    painter.setPen(palette().color(QPalette::Disabled, QPalette::Text));
    const int margin = fontMetrics().averageCharWidth();
    painter.drawText(viewport()->rect().adjusted(margin, margin / 2, -margin, 0), Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
                     QString::fromStdString(FEmptyHint));
}
