#include "toolkit/ListBoxModel.h"

#include <QSize>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

TLineText::TLineText(std::string_view text) {
    if (text.empty())
        return;
    const auto size = static_cast<uint32_t>(text.size());
    FBlock = static_cast<char*>(std::malloc(sizeof size + text.size()));
    if (!FBlock)
        throw std::bad_alloc();
    std::memcpy(FBlock, &size, sizeof size);
    std::memcpy(FBlock + sizeof size, text.data(), text.size());
}

TLineText::~TLineText() {
    std::free(FBlock);
}

std::string_view TLineText::View() const {
    if (!FBlock)
        return {};
    uint32_t size = 0;
    std::memcpy(&size, FBlock, sizeof size);
    return {FBlock + sizeof size, size};
}

int TListBoxModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid())
        return 0;
    return static_cast<int>(FFiltering ? FRows.size() : Lines.size());
}

QVariant TListBoxModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount({}))
        return {};
    const size_t line = static_cast<size_t>(LineOfRow(index.row()));
    if (role == Qt::DisplayRole) {
        const std::string_view text = Lines[line].Text.View();
        QString shown = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
        if (line < Remarks.size() && !Remarks[line].empty())
            shown += QStringLiteral("    ") + QString::fromStdString(Remarks[line]);
        return shown;
    }
    if (role == Qt::ToolTipRole) {
        if (auto hint = Hints.find(Lines[line].Serial); hint != Hints.end())
            return QString::fromStdString(hint->second);
        if (LineHints && !Lines[line].Note)
            return QString::fromStdString(LineHints(Lines[line].Text.View(), static_cast<uint32_t>(Lines[line].Tag)));
        return {};
    }
    if (role == Qt::SizeHintRole && HorizontalExtent > 0)
        return QSize(HorizontalExtent, ItemHeight);
    return {};
}

int TListBoxModel::LineOfRow(int row) const {
    return FFiltering ? FRows[static_cast<size_t>(row)] : row;
}

int TListBoxModel::RowOfLine(int line) const {
    if (!FFiltering)
        return line;
    const auto at = std::lower_bound(FRows.begin(), FRows.end(), line);
    return at != FRows.end() && *at == line ? static_cast<int>(at - FRows.begin()) : -1;
}

int TListBoxModel::ShownBefore(int line) const {
    if (!FFiltering)
        return std::min(line, static_cast<int>(Lines.size()));
    return static_cast<int>(std::lower_bound(FRows.begin(), FRows.end(), line) - FRows.begin());
}

void TListBoxModel::Append(std::string_view text, bool note, bool hidden) {
    hidden = hidden && FFiltering;
    const int line = static_cast<int>(Lines.size());
    if (hidden) {
        Lines.push_back({TLineText(text), NextSerial++, 0, note, 1});
        return;
    }
    const int row = rowCount({});
    beginInsertRows({}, row, row);
    Lines.push_back({TLineText(text), NextSerial++, 0, note, 0});
    if (FFiltering)
        FRows.push_back(line);
    endInsertRows();
}

void TListBoxModel::Changed(int line) {
    if (const int row = RowOfLine(line); row >= 0) {
        const QModelIndex at = index(row);
        emit dataChanged(at, at, {Qt::DisplayRole});
    }
}

void TListBoxModel::SetHidden(int line, bool hidden) {
    TLine& entry = Lines[static_cast<size_t>(line)];
    hidden = hidden && FFiltering;
    if (entry.Hidden == hidden)
        return;
    const int row = static_cast<int>(std::lower_bound(FRows.begin(), FRows.end(), line) - FRows.begin());
    if (hidden) {
        beginRemoveRows({}, row, row);
        entry.Hidden = 1;
        FRows.erase(FRows.begin() + row);
        endRemoveRows();
    } else {
        beginInsertRows({}, row, row);
        entry.Hidden = 0;
        FRows.insert(FRows.begin() + row, line);
        endInsertRows();
    }
}

void TListBoxModel::Forget(const TLine& line) {
    Hints.erase(line.Serial);
    Objects.erase(line.Serial);
}

void TListBoxModel::ShiftRows(size_t row, int removed) {
    for (auto at = FRows.begin() + static_cast<std::ptrdiff_t>(row); at != FRows.end(); ++at)
        *at -= removed;
}

void TListBoxModel::RemoveTop(int count) {
    const int rows = ShownBefore(count);
    if (rows > 0)
        beginRemoveRows({}, 0, rows - 1);
    for (auto line = Lines.begin(); line != Lines.begin() + count; ++line)
        Forget(*line);
    Lines.erase(Lines.begin(), Lines.begin() + count);
    Remarks.erase(Remarks.begin(), Remarks.begin() + std::min<size_t>(Remarks.size(), static_cast<size_t>(count)));
    if (FFiltering) {
        FRows.erase(FRows.begin(), FRows.begin() + rows);
        ShiftRows(0, count);
    }
    if (rows > 0)
        endRemoveRows();
}

void TListBoxModel::Remove(int line) {
    const int row = RowOfLine(line);
    if (row >= 0)
        beginRemoveRows({}, row, row);
    const size_t at = static_cast<size_t>(line);
    Forget(Lines[at]);
    Lines.erase(Lines.begin() + line);
    if (at < Remarks.size())
        Remarks.erase(Remarks.begin() + line);
    if (FFiltering) {
        const size_t next = static_cast<size_t>(ShownBefore(line));
        if (row >= 0)
            FRows.erase(FRows.begin() + row);
        ShiftRows(next, 1);
    }
    if (row >= 0)
        endRemoveRows();
}

void TListBoxModel::RemoveLines(const std::vector<int>& lines) {
    beginResetModel();
    size_t kept = 0, gone = 0;
    for (size_t line = 0; line < Lines.size(); ++line) {
        if (gone < lines.size() && static_cast<size_t>(lines[gone]) == line) {
            ++gone;
            Forget(Lines[line]);
            continue;
        }
        if (kept != line) {
            if (kept < Remarks.size())
                Remarks[kept] = line < Remarks.size() ? std::move(Remarks[line]) : std::string();
            Lines[kept] = std::move(Lines[line]);
        }
        ++kept;
    }
    Lines.resize(kept);
    Remarks.resize(std::min(Remarks.size(), kept));
    FRows.clear();
    if (FFiltering)
        for (size_t line = 0; line < Lines.size(); ++line)
            if (!Lines[line].Hidden)
                FRows.push_back(static_cast<int>(line));
    endResetModel();
}

void TListBoxModel::RemoveAll() {
    beginResetModel();
    Lines.clear();
    Lines.shrink_to_fit();
    Remarks.clear();
    Hints.clear();
    Objects.clear();
    FRows.clear();
    FRows.shrink_to_fit();
    endResetModel();
}

void TListBoxModel::Filter(const std::function<bool(std::string_view text)>& shows) {
    beginResetModel();
    FFiltering = static_cast<bool>(shows);
    FRows.clear();
    for (size_t line = 0; line < Lines.size(); ++line) {
        Lines[line].Hidden = FFiltering && !shows(Lines[line].Text.View());
        if (FFiltering && !Lines[line].Hidden)
            FRows.push_back(static_cast<int>(line));
    }
    if (!FFiltering)
        FRows.shrink_to_fit();
    endResetModel();
}
