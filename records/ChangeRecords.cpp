#include "records/ChangeRecords.h"

#include "records/JsonObject.h"
#include "runtime/SysUtils.h"

#include <algorithm>

namespace {
// The halves of a rename: "Renamed_old_name" and "Renamed_new_name", and
// the same for a rename found at catch-up ("Found_renamed_...").
constexpr std::string_view OldNameEnd = "_old_name";
constexpr std::string_view NewNameEnd = "_new_name";

std::string_view RenameOf(std::string_view action, std::string_view end) {
    return action.ends_with(end) ? action.substr(0, action.size() - end.size()) : std::string_view();
}

// A path as a string member, or as its bytes when it is not text.
void AddPath(TJsonObject& json, std::string_view name, std::string_view path) {
    if (IsUtf8(path))
        json.Text(name, path);
    else
        json.Text(std::string(name) + "_base64", Base64(path));
}
} // namespace

std::string_view ActionFamily(std::string_view action) {
    for (const std::string_view half : {OldNameEnd, NewNameEnd})
        if (action.ends_with(half))
            action.remove_suffix(half.size());
    return action;
}

const std::array<TActionKind, 13> ActionKinds{{
    {"Added", "creation", "creation", false, "3f42d381e94745a29eafe49e0dbea322"},
    {"Removed", "deletion", "deletion", false, "fd931b3cc80d41ab8db1552d7dfadbfd"},
    {"Modified", "change", "modification", false, "c3fda3cc64854c61bb1394c384f6fb61"},
    {"Renamed", "change", "rename", false, "55c38b7a2c3444a195fea3f0cc08314d"},
    {"Found_added", "creation", "creation", false, "6cdbfe6dfc3140eca8a1e02aa2561796"},
    {"Found_removed", "deletion", "deletion", false, "3cb56d6ab2434fd1a7bfa17982e0ccf6"},
    {"Found_modified", "change", "modification", false, "4a9079bbd90e438c991c31a0abf202ba"},
    {"Found_renamed", "change", "rename", false, "263b0ce0e1e04fe699836dfd1a36c9fb"},
    {"Changes_lost", "info", "changes-lost", true, "924d3445b6514a02a987ae79bba0016f"},
    {"Changes_merged", "info", "changes-merged", true, "53496b2f7ea748979992be45c7be18e8"},
    {"Not_watched", "info", "not-watched", true, "f8527ff303a34df68884a277f0452d8d"},
    {"Not_caught_up", "info", "not-caught-up", true, "64bbc4a0b76d4dd7ba73a131d1984e01"},
    {"Changes_summed_up", "info", "changes-summed-up", true, "4e20b62f13f4405fa507f3d506ad9e10"},
}};
const std::string_view UnknownActionMessageId = "bff80b5886944b48aaed487503d4416f";

TActionKind ActionKindOf(std::string_view action) {
    action = ActionFamily(action);
    for (const TActionKind& known : ActionKinds)
        if (action == known.Action)
            return known;
    return {action, "info", action, false, UnknownActionMessageId};
}

std::string JsonString(std::string_view text) {
    static constexpr char Hex[] = "0123456789abcdef";
    std::string json = "\"";
    for (std::size_t at = 0; at < text.size();) {
        if (const char c = text[at]; c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            json += c;
            ++at;
            continue;
        }
        char32_t code = 0;
        const std::size_t length = Utf8SequenceLength(text, at, code);
        if (length == 0) {
            json += "\\ufffd";
            ++at;
            continue;
        }
        if (code == '"' || code == '\\') {
            json += '\\';
            json += static_cast<char>(code);
        } else if (code == '\n') {
            json += "\\n";
        } else if (code == '\t') {
            json += "\\t";
        } else if (code < 0x20 || (code >= 0x7F && code < 0xA0) || code == 0x2028 || code == 0x2029 || code == 0xFEFF) {
            json += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4)
                json += Hex[(code >> shift) & 0xF];
        } else {
            json.append(text.substr(at, length));
        }
        at += length;
    }
    json += '"';
    return json;
}

// What is withheld from whoever is told is left out: a number of 0, a user of -1.
std::string JsonProcess(const TChangeProcess& process) {
    TJsonObject json;
    if (process.Pid != 0)
        json.Raw("pid", std::to_string(process.Pid));
    if (process.OtherUser)
        json.Raw("other_user", "true");
    else if (!process.Named)
        json.Raw("ended", "true");
    else
        json.Text("command", process.Command);
    if (!process.OtherUser && process.Named && !process.Executable.empty())
        AddPath(json, "executable", process.Executable);
    if ((process.OtherUser || process.Named) && process.User >= 0)
        json.Raw("user", std::to_string(process.User));
    return json.Json();
}

std::string JsonRecord(const TChangeRecord& record, bool withProcess) {
    TJsonObject json;
    json.Text("time", record.Time).Text("action", record.Action);
    if (record.OldPath)
        AddPath(json, "old_path", *record.OldPath);
    AddPath(json, "path", record.Path);
    if (!record.Folder.empty())
        AddPath(json, "folder", record.Folder);
    if (record.IsFolder)
        json.Raw("is_folder", *record.IsFolder ? "true" : "false");
    if (!record.Reason.empty())
        json.Text("reason", record.Reason);
    if (record.Process && withProcess)
        json.Raw("process", JsonProcess(*record.Process));
    return json.Json();
}

std::string RecordTimeNow() {
    return LocalStampNow();
}

std::string CsvRow(const std::vector<std::string>& fields) {
    std::string row;
    for (const std::string& field : fields) {
        if (&field != &fields.front())
            row += ',';
        if (field.find_first_of(",\"\r\n") == std::string::npos) {
            row += field;
            continue;
        }
        row += '"';
        for (char c : field)
            row.append(c == '"' ? 2 : 1, c);
        row += '"';
    }
    row += "\r\n";
    return row;
}

std::vector<TChangeRecord> TRenamePairing::Add(TChangeRecord record) {
    std::vector<TChangeRecord> ready;
    const std::string_view rename = RenameOf(record.Action, NewNameEnd);
    if (FOldName && !rename.empty() && rename == RenameOf(FOldName->Action, OldNameEnd) &&
        record.Folder == FOldName->Folder) {
        record.OldPath = std::move(FOldName->Path);
        record.Action = std::string(rename);
        FOldName.reset();
        ready.push_back(std::move(record));
        return ready;
    }
    ready = Flush();
    if (!RenameOf(record.Action, OldNameEnd).empty())
        FOldName = std::move(record);
    else
        ready.push_back(std::move(record));
    return ready;
}

std::vector<TChangeRecord> TRenamePairing::Flush() {
    std::vector<TChangeRecord> ready;
    if (FOldName)
        ready.push_back(std::move(*FOldName));
    FOldName.reset();
    return ready;
}
