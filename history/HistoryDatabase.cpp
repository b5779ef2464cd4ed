#include "history/HistoryDatabase.h"

#include <algorithm>
#include <iterator>

const char* const HistorySchema =
    "CREATE TABLE IF NOT EXISTS folders(id INTEGER PRIMARY KEY, path BLOB NOT NULL UNIQUE, prefix "
    "BLOB NOT NULL);"
    "CREATE TABLE IF NOT EXISTS changes("
    " id INTEGER PRIMARY KEY, time INTEGER NOT NULL, action NOT NULL, folder INTEGER NOT NULL, "
    "place INTEGER NOT NULL,"
    " path BLOB NOT NULL, old_path BLOB, is_folder INTEGER, reason TEXT);"
    "CREATE INDEX IF NOT EXISTS changes_time ON changes(time);"
    "CREATE TABLE IF NOT EXISTS marks(name TEXT PRIMARY KEY, value INTEGER NOT NULL);";

const char* const HistoryIndexSchema = "CREATE VIRTUAL TABLE IF NOT EXISTS changes_index USING "
                                       "fts5(path, old_path, content='', detail=none, "
                                       "columnsize=0, tokenize='trigram case_sensitive 1');";

namespace {
// The actions the lines name, kept as numbers (new ones only ever added at the
// end); any other name as its text.
constexpr const char* ActionNames[] = {"",
                                       "Added",
                                       "Removed",
                                       "Modified",
                                       "Renamed_old_name",
                                       "Renamed_new_name",
                                       "Renamed",
                                       "Changes_lost",
                                       "Changes_merged",
                                       "Not_watched",
                                       "Found_added",
                                       "Found_removed",
                                       "Found_modified",
                                       "Found_renamed",
                                       "Not_caught_up"};

void IndexedFunction(sqlite3_context* context, int, sqlite3_value** values) {
    if (sqlite3_value_type(values[1]) == SQLITE_NULL)
        return sqlite3_result_null(context);
    if ((sqlite3_value_int(values[0]) & 3) == TheFolder)
        return sqlite3_result_text(context, "", 0, SQLITE_STATIC);
    const auto* bytes = static_cast<const char*>(sqlite3_value_blob(values[1]));
    const std::string text =
        IndexedText(bytes ? std::string(bytes, static_cast<size_t>(sqlite3_value_bytes(values[1]))) : std::string());
    sqlite3_result_text(context, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}
} // namespace

int THistoryDatabase::Open(const std::string& path, int flags) {
    Close();
    const int result = sqlite3_open_v2(path.c_str(), &FHandle, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (result == SQLITE_OK)
        sqlite3_busy_timeout(FHandle, 2000);
    return result;
}

void THistoryDatabase::Close() {
    sqlite3_close_v2(FHandle);
    FHandle = nullptr;
}

bool THistoryDatabase::HasTable(const char* name) const {
    THistoryStatement find(FHandle, "SELECT 1 FROM sqlite_master WHERE name = ?");
    if (!find)
        return false;
    sqlite3_bind_text(find.Get(), 1, name, -1, SQLITE_STATIC);
    return sqlite3_step(find.Get()) == SQLITE_ROW;
}

std::optional<int64_t> THistoryDatabase::Mark(const char* name) const {
    THistoryStatement read(FHandle, "SELECT value FROM marks WHERE name = ?");
    if (!read)
        return std::nullopt;
    sqlite3_bind_text(read.Get(), 1, name, -1, SQLITE_STATIC);
    if (sqlite3_step(read.Get()) != SQLITE_ROW)
        return std::nullopt;
    return sqlite3_column_int64(read.Get(), 0);
}

int THistoryDatabase::SetMark(const char* name, int64_t value) {
    THistoryStatement write(FHandle, "INSERT OR REPLACE INTO marks(name, value) VALUES(?, ?)");
    if (!write)
        return sqlite3_errcode(FHandle);
    sqlite3_bind_text(write.Get(), 1, name, -1, SQLITE_STATIC);
    sqlite3_bind_int64(write.Get(), 2, value);
    return sqlite3_step(write.Get()) == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(FHandle);
}

void BindBytes(sqlite3_stmt* statement, int index, const std::string& bytes) {
    if (bytes.empty())
        sqlite3_bind_zeroblob(statement, index, 0);
    else
        sqlite3_bind_blob(statement, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
}

std::string ColumnBytes(sqlite3_stmt* statement, int column) {
    const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement, column));
    return bytes ? std::string(bytes, static_cast<size_t>(sqlite3_column_bytes(statement, column))) : std::string();
}

std::string ColumnText(sqlite3_stmt* statement, int column) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    return text ? text : "";
}

std::string FolderPrefix(const std::string& folder) {
    return !folder.empty() && folder.back() == '/' ? folder : folder + '/';
}

std::pair<int, std::string> KeptPath(const std::string& path, const std::string& folder) {
    if (path == folder)
        return {TheFolder, {}};
    if (const std::string prefix = FolderPrefix(folder); path.size() > prefix.size() && path.starts_with(prefix))
        return {BelowFolder, path.substr(prefix.size())};
    return {WholePath, path};
}

std::string RestoredPath(int place, std::string kept, const std::string& folder) {
    switch (place & 3) {
    case BelowFolder:
        return FolderPrefix(folder) + kept;
    case TheFolder:
        return folder;
    default:
        return kept;
    }
}

std::string IndexedText(const std::string& bytes) {
    std::string text;
    text.reserve(bytes.size() + bytes.size() / 4);
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            text += c;
        } else {
            text += static_cast<char>(0xC0 | (byte >> 6));
            text += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return text;
}

int AddIndexedFunction(sqlite3* database) {
    return sqlite3_create_function_v2(database, "indexed", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                                      IndexedFunction, nullptr, nullptr, nullptr);
}

int ActionCode(const std::string& action) {
    const auto* known = std::find(std::begin(ActionNames) + 1, std::end(ActionNames), action);
    return known != std::end(ActionNames) ? static_cast<int>(known - std::begin(ActionNames)) : 0;
}

std::string KeptActionName(int code) {
    return code > 0 && code < static_cast<int>(std::size(ActionNames)) ? ActionNames[code] : "";
}

bool DamagedResult(int result) {
    return result == SQLITE_CORRUPT || result == SQLITE_NOTADB;
}
