// Questions to the history. A part of a path is looked up in the index of
// trigrams where it can be, so that a part found in a single record among
// millions is found without reading them all; every record the index gives
// is checked against the question itself.
#include "history/HistoryDatabase.h"
#include "history/HistoryStore.h"

#include <filesystem>
#include <functional>

namespace {
// The whole path, as bytes, for the question's part of a path.
const char* const WholePathOf = "CAST(CASE c.place & 3 WHEN 1 THEN f.prefix || c.path WHEN 2 THEN "
                                "f.path ELSE c.path END AS BLOB)";
const char* const WholeOldPathOf = "CAST(CASE (c.place >> 2) & 3 WHEN 1 THEN f.prefix || "
                                   "c.old_path WHEN 2 THEN f.path ELSE c.old_path END AS BLOB)";

std::vector<std::string> FolderPrefixes(const THistoryDatabase& database) {
    std::vector<std::string> prefixes;
    THistoryStatement select(database.Handle(), "SELECT prefix FROM folders");
    while (select && sqlite3_step(select.Get()) == SQLITE_ROW)
        prefixes.push_back(ColumnBytes(select.Get(), 0));
    return prefixes;
}

// The part of fragment that the kept part of any path holding fragment
// holds too: the fragment, or what follows a '/' in it where the fragment
// may begin in a folder's path and go on below it. Nothing when a folder's
// own path holds the fragment (all its records match, and the index does
// not hold the folders) or the part is shorter than a trigram.
std::optional<std::string> IndexedPart(const std::string& fragment, const std::vector<std::string>& prefixes) {
    std::string part = fragment;
    for (const std::string& prefix : prefixes) {
        if (prefix.find(fragment) != std::string::npos)
            return std::nullopt;
        for (size_t slash = fragment.find('/'); slash != std::string::npos && slash + 1 < fragment.size();
             slash = fragment.find('/', slash + 1))
            if (prefix.ends_with(fragment.substr(0, slash + 1)) && fragment.size() - slash - 1 < part.size())
                part = fragment.substr(slash + 1);
    }
    if (part.size() < 3)
        return std::nullopt;
    return part;
}

// The index's question for a part: trigrams that cover it, every one
// required. Fewer than all of them: each common trigram costs a walk of
// its long list, and the records found are checked anyway.
std::string IndexQuestion(const std::string& part) {
    const std::string text = IndexedText(part);
    std::vector<size_t> starts; // of the characters
    for (size_t i = 0; i < text.size(); ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80)
            starts.push_back(i);
    starts.push_back(text.size());
    const size_t characters = starts.size() - 1;
    std::string question;
    for (size_t at = 0;; at = std::min(at + 3, characters - 3)) {
        std::string trigram = text.substr(starts[at], starts[at + 3] - starts[at]);
        for (size_t quote = trigram.find('"'); quote != std::string::npos; quote = trigram.find('"', quote + 2))
            trigram.insert(quote, 1, '"');
        question += (question.empty() ? "\"" : " AND \"") + trigram + "\"";
        if (at == characters - 3)
            return question;
    }
}

THistoryRecord RecordAt(sqlite3_stmt* statement) {
    THistoryRecord record;
    record.Time = sqlite3_column_int64(statement, 0);
    record.Action = sqlite3_column_type(statement, 1) == SQLITE_INTEGER
                        ? KeptActionName(sqlite3_column_int(statement, 1))
                        : ColumnText(statement, 1);
    const int place = sqlite3_column_int(statement, 2);
    record.Folder = ColumnBytes(statement, 5);
    record.Path = RestoredPath(place, ColumnBytes(statement, 3), record.Folder);
    if (sqlite3_column_type(statement, 4) != SQLITE_NULL)
        record.OldPath = RestoredPath(place >> 2, ColumnBytes(statement, 4), record.Folder);
    if (sqlite3_column_type(statement, 6) != SQLITE_NULL)
        record.IsFolder = sqlite3_column_int(statement, 6) != 0;
    record.Reason = ColumnText(statement, 7);
    return record;
}

// Gives visit the records one statement selects, at most limit (0: all);
// how many it gave, and why it stopped short where it failed.
struct TSelected {
    size_t Given = 0;
    bool Stopped = false; // visit asked for no more
    std::string Error;
};

TSelected SelectWith(const THistoryDatabase& database, const std::string& sql, const THistoryQuery& query, size_t limit,
                     const std::function<void(sqlite3_stmt*)>& bindMore,
                     const std::function<bool(const THistoryRecord&)>& visit) {
    TSelected selected;
    THistoryStatement select(database.Handle(), sql.c_str());
    if (!select) {
        selected.Error = database.Error();
        return selected;
    }
    sqlite3_stmt* statement = select.Get();
    sqlite3_bind_int64(statement, 1, query.Since.value_or(INT64_MIN));
    sqlite3_bind_int64(statement, 2, query.Until.value_or(INT64_MAX));
    BindBytes(statement, 3, query.Fragment);
    sqlite3_bind_int64(statement, 4, limit == 0 ? -1 : static_cast<int64_t>(limit));
    bindMore(statement);
    int result = SQLITE_ROW;
    while ((result = sqlite3_step(statement)) == SQLITE_ROW) {
        ++selected.Given;
        if (!visit(RecordAt(statement))) {
            selected.Stopped = true;
            return selected;
        }
    }
    if (result != SQLITE_DONE && result != SQLITE_INTERRUPT)
        selected.Error = database.Error();
    return selected;
}

// Why the question could not be answered whole; empty when it was (or when
// there is no history at path yet). A part of a path is looked up in the
// index for the records it holds, and in the records themselves for the
// newest, which the index may not hold yet: those come first when the
// newest are asked for first, last otherwise.
std::string Select(const std::string& path, const THistoryQuery& query, bool newestFirst,
                   const std::function<bool(const THistoryRecord&)>& visit) {
    THistoryDatabase database;
    std::error_code missing;
    if (!std::filesystem::exists(path, missing))
        return {};
    if (database.Open(path, SQLITE_OPEN_READONLY) != SQLITE_OK)
        return database.Error();
    std::optional<std::string> part;
    if (!query.Fragment.empty() && database.HasTable("changes_index"))
        part = IndexedPart(query.Fragment, FolderPrefixes(database));
    if (query.Stop)
        sqlite3_progress_handler(
            database.Handle(), 10000,
            [](void* stop) { return static_cast<const std::atomic<bool>*>(stop)->load() ? 1 : 0; },
            const_cast<std::atomic<bool>*>(query.Stop));
    const std::string order = newestFirst ? " DESC" : " ASC";
    const std::string columns = "SELECT c.time, c.action, c.place, c.path, c.old_path, f.path, c.is_folder, c.reason ";
    const std::string matching = "c.time >= ?1 AND c.time <= ?2 AND (length(?3) = 0 OR instr(" +
                                 std::string(WholePathOf) + ", ?3) > 0 OR (c.old_path IS NOT NULL AND instr(" +
                                 WholeOldPathOf + ", ?3) > 0)) ";
    const std::string byRecords = columns + "FROM changes c JOIN folders f ON f.id = c.folder WHERE ";
    if (!part)
        return SelectWith(
                   database, byRecords + matching + "ORDER BY c.time" + order + ", c.id" + order + " LIMIT ?4", query,
                   query.Limit, [](sqlite3_stmt*) {}, visit)
            .Error;
    // Through the index, records come in the order they were kept.
    const std::string question = IndexQuestion(*part);
    const auto byIndex = [&](size_t limit) {
        return SelectWith(
            database,
            columns +
                "FROM changes_index m CROSS JOIN changes c ON c.id = m.rowid JOIN folders f ON f.id = c.folder "
                "WHERE m.changes_index MATCH ?5 AND " +
                matching + "ORDER BY m.rowid" + order + " LIMIT ?4",
            query, limit,
            [&](sqlite3_stmt* statement) {
                sqlite3_bind_text(statement, 5, question.data(), static_cast<int>(question.size()), SQLITE_STATIC);
            },
            visit);
    };
    // The records beyond the index are found by their numbers, never
    // through the index by time, which would read them all.
    const std::optional<int64_t> indexed = database.Mark("indexed");
    const auto beyondIndex = [&](size_t limit) {
        if (!indexed)
            return TSelected{};
        return SelectWith(
            database,
            columns + "FROM changes c NOT INDEXED JOIN folders f ON f.id = c.folder WHERE c.id > ?5 AND " + matching +
                "ORDER BY c.id" + order + " LIMIT ?4",
            query, limit, [&](sqlite3_stmt* statement) { sqlite3_bind_int64(statement, 5, *indexed); }, visit);
    };
    const auto left = [&](const TSelected& first) { return query.Limit == 0 ? 0 : query.Limit - first.Given; };
    const TSelected first = newestFirst ? beyondIndex(query.Limit) : byIndex(query.Limit);
    if (first.Stopped || !first.Error.empty() || (query.Limit != 0 && first.Given >= query.Limit))
        return first.Error;
    return (newestFirst ? byIndex(left(first)) : beyondIndex(left(first))).Error;
}
} // namespace

std::vector<THistoryRecord> ReadHistory(const std::string& path, const THistoryQuery& query) {
    std::vector<THistoryRecord> records;
    Select(path, query, true, [&](const THistoryRecord& record) {
        records.push_back(record);
        return true;
    });
    return records;
}

bool HistoryHasFolder(const std::string& path, const std::string& folder) {
    THistoryDatabase database;
    std::error_code missing;
    if (!std::filesystem::exists(path, missing) || database.Open(path, SQLITE_OPEN_READONLY) != SQLITE_OK)
        return false;
    THistoryStatement find(database.Handle(), "SELECT 1 FROM folders WHERE path = ?");
    if (!find)
        return false;
    BindBytes(find.Get(), 1, folder);
    return sqlite3_step(find.Get()) == SQLITE_ROW;
}

std::string ForEachHistoryRecord(const std::string& path, const THistoryQuery& query,
                                 const std::function<bool(const THistoryRecord&)>& visit) {
    return Select(path, query, false, visit);
}
