#include "records/EcsRecords.h"

#include "platform/system/PlatformInfo.h"
#include "records/JsonObject.h"
#include "runtime/SysUtils.h"

#include <string_view>

namespace {
std::string_view NameOf(std::string_view path) {
    const size_t delimiter = path.rfind(PathDelim);
    return delimiter == std::string_view::npos ? path : path.substr(delimiter + 1);
}

std::string_view DirectoryOf(std::string_view path) {
    const size_t delimiter = path.rfind(PathDelim);
    if (delimiter == std::string_view::npos)
        return {};
    return delimiter == 0 ? path.substr(0, 1) : path.substr(0, delimiter);
}

// The last extension, without its dot; none for a name that only begins
// with one (".profile") or ends with one.
std::string_view ExtensionOf(std::string_view name) {
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size())
        return {};
    return name.substr(dot + 1);
}

// A path readable in field, and its exact bytes under "sentrel" where it
// is not UTF-8.
void AddPath(TJsonObject& object, std::string_view field, std::string_view path, TJsonObject& sentrel,
             std::string_view exactField) {
    object.Text(field, path);
    if (!IsUtf8(path))
        sentrel.Text(std::string(exactField) + "_base64", Base64(path));
}

TJsonObject EventOf(const TChangeRecord& record, const TActionKind& action) {
    TJsonObject event;
    event.Text("kind", "event")
        .Raw("category", "[\"file\"]")
        .Raw("type", "[" + JsonString(action.EcsType) + "]")
        .Text("action", action.EcsAction)
        .Text("module", "sentrel")
        .Text("dataset", "sentrel.changes");
    if (!record.Reason.empty())
        event.Text("reason", record.Reason);
    return event;
}

TJsonObject FileOf(const TChangeRecord& record, TJsonObject& sentrel) {
    TJsonObject file;
    AddPath(file, "path", record.Path, sentrel, "path");
    file.Text("name", NameOf(record.Path)).Text("directory", DirectoryOf(record.Path));
    if (record.IsFolder) {
        const std::string_view extension = *record.IsFolder ? std::string_view() : ExtensionOf(NameOf(record.Path));
        if (!extension.empty())
            file.Text("extension", extension);
        file.Text("type", *record.IsFolder ? "dir" : "file");
    }
    if (record.OldPath) {
        TJsonObject original;
        AddPath(original, "path", *record.OldPath, sentrel, "old_path");
        original.Text("name", NameOf(*record.OldPath));
        file.Object("Ext", TJsonObject().Object("original", original));
    }
    return file;
}

// What is withheld from whoever is told is left out, as in JSON Lines.
void AddProcess(TJsonObject& json, const TChangeProcess& process, TJsonObject& sentrel) {
    TJsonObject described;
    if (process.Pid != 0)
        described.Raw("pid", std::to_string(process.Pid));
    const bool named = process.Named && !process.OtherUser;
    if (named)
        described.Text("name", process.Command);
    if (named && !process.Executable.empty())
        AddPath(described, "executable", process.Executable, sentrel, "executable");
    if (process.OtherUser)
        sentrel.Raw("other_user", "true");
    else if (!process.Named)
        sentrel.Raw("process_ended", "true");
    json.Object("process", described);
    if ((process.OtherUser || process.Named) && process.User >= 0)
        json.Object("user",
                    TJsonObject().Text("id", std::to_string(process.User)).Text("name", UserNameOf(process.User)));
}
} // namespace

std::string EcsRecord(const TChangeRecord& record, const std::string& host, bool withProcess) {
    const TActionKind action = ActionKindOf(record.Action);
    TJsonObject sentrel;
    sentrel.Text("action", record.Action);
    if (!record.Folder.empty())
        AddPath(sentrel, "watch", record.Folder, sentrel, "watch");
    TJsonObject json;
    json.Text("@timestamp", record.Time)
        .Object("ecs", TJsonObject().Text("version", EcsVersion))
        .Object("event", EventOf(record, action))
        .Object("log", TJsonObject().Text("level", action.Warning ? "warning" : "info"))
        .Object("file", FileOf(record, sentrel));
    if (record.Process && withProcess)
        AddProcess(json, *record.Process, sentrel);
    if (!host.empty())
        json.Object("host", TJsonObject().Text("name", host));
    return json.Object("sentrel", sentrel).Json();
}
