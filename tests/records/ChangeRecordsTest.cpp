#include "records/ChangeRecords.h"
#include "records/EcsRecords.h"
#include "records/PathText.h"
#include "records/ResultLines.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <regex>

namespace {
QJsonObject Parsed(const std::string& json) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(json), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << json;
    EXPECT_TRUE(document.isObject()) << json;
    return document.object();
}

// The bytes a record's path member stands for, whichever member holds it.
std::string PathBytes(const QJsonObject& record, const QString& member) {
    if (record.contains(member))
        return record.value(member).toString().toStdString();
    return QByteArray::fromBase64(record.value(member + QStringLiteral("_base64")).toString().toLatin1()).toStdString();
}

// A field of a record by its dotted name, as text: a string as it is, an
// array or a number as JSON, "-" where the record has none.
std::string Field(const QJsonObject& record, const std::string& name) {
    QJsonValue value = record;
    for (size_t start = 0; start <= name.size();) {
        const size_t dot = name[0] == '@' ? std::string::npos : name.find('.', start);
        value = value.toObject().value(QString::fromStdString(name.substr(start, dot - start)));
        start = dot == std::string::npos ? name.size() + 1 : dot + 1;
    }
    if (value.isUndefined())
        return "-";
    if (value.isString())
        return value.toString().toStdString();
    if (value.isArray())
        return QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact).toStdString();
    if (value.isBool())
        return value.toBool() ? "true" : "false";
    return std::to_string(value.toInteger());
}

TEST(ChangeRecords, EveryByteValueInANameGivesValidJsonThatHoldsTheName) {
    for (int byte = 1; byte < 256; ++byte) {
        const std::string path = "/w/a" + std::string(1, static_cast<char>(byte)) + "\xc3\xa9";
        const TChangeRecord change{"12:00:00", "Added", path, std::nullopt, "/w", {}};
        const QJsonObject record = Parsed(JsonRecord(change));
        EXPECT_EQ(PathBytes(record, QStringLiteral("path")), path) << byte;
        EXPECT_EQ(record.contains(QStringLiteral("path")), byte < 0x80) << byte;
        EXPECT_EQ(record.value(QStringLiteral("folder")).toString(), QStringLiteral("/w"));
        const QJsonObject ecs = Parsed(EcsRecord(change, "desk"));
        EXPECT_EQ(Field(ecs, "file.path") == path, byte < 0x80) << byte;
        EXPECT_EQ(Field(ecs, "sentrel.path_base64") != "-", byte >= 0x80) << byte;
        if (byte >= 0x80) {
            EXPECT_EQ(PathBytes(ecs["sentrel"].toObject(), QStringLiteral("path")), path) << byte;
        }
    }
    const std::string forged = JsonRecord(
        {"t", "Added", "/w/x\n{\"action\":\"Removed\"}\xe2\x80\xa8", std::nullopt, "/w", "reason with \xff"});
    EXPECT_EQ(forged.find('\n'), std::string::npos);
    EXPECT_EQ(forged.find("\xe2\x80\xa8"), std::string::npos);
    EXPECT_EQ(Parsed(forged).value(QStringLiteral("reason")).toString(), QStringLiteral("reason with \uFFFD"));
}

TEST(ChangeRecords, TheTimeIsRfc3339WithMillisecondsAndTheOffset) {
    EXPECT_TRUE(std::regex_match(RecordTimeNow(), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)")))
        << RecordTimeNow();
}

TEST(ChangeRecords, RenameHalvesThatFollowEachOtherAreOneRecord) {
    TRenamePairing renames;
    auto add = [&](const char* action, const char* path, const char* folder = "/w") {
        return renames.Add({"t", action, path, std::nullopt, folder, {}});
    };
    EXPECT_TRUE(add("Renamed_old_name", "/w/a").empty());
    const std::vector<TChangeRecord> pair = add("Renamed_new_name", "/w/b");
    ASSERT_EQ(pair.size(), 1u);
    EXPECT_EQ(pair[0].Action, "Renamed");
    EXPECT_EQ(pair[0].OldPath, "/w/a");
    EXPECT_EQ(pair[0].Path, "/w/b");

    EXPECT_TRUE(add("Renamed_old_name", "/w/c").empty());
    const std::vector<TChangeRecord> apart = add("Renamed_new_name", "/v/d", "/v");
    ASSERT_EQ(apart.size(), 2u) << "halves from two watches are no pair";
    EXPECT_EQ(apart[0].Action, "Renamed_old_name");
    EXPECT_EQ(apart[1].Action, "Renamed_new_name");
    EXPECT_TRUE(add("Renamed_old_name", "/w/e").empty());
    EXPECT_EQ(renames.Flush().size(), 1u);
    EXPECT_FALSE(renames.Holding());
}

TEST(ChangeRecords, SavedListsInEachType) {
    const std::vector<std::string> lines = {
        TResultLine::Of("12:00:00", "Added", "/w/a,\"b\"").Text,
        TResultLine::Of("12:00:01", "Renamed_old_name", "/w/x\ny").Text,
        TResultLine::Of("12:00:01", "Renamed_new_name", "/w/caf\xe9").Text,
    };
    EXPECT_EQ(SavedChangeList(lines, TSavedListType::Text), lines[0] + "\r\n" + lines[1] + "\r\n" + lines[2] + "\r\n");
    const TLocalDay day{"2026-12-07", "-03:30"};
    const TLineDayOf dayOf = [&](size_t line) { return line == 1 ? nullptr : &day; };
    EXPECT_EQ(SavedChangeList(lines, TSavedListType::Csv, dayOf),
              "time,action,path\r\n"
              "2026-12-07T12:00:00-03:30,Added,\"/w/a,\"\"b\"\"\"\r\n"
              "12:00:01,Renamed_old_name,$'/w/x\\ny'\r\n"
              "2026-12-07T12:00:01-03:30,Renamed_new_name,$'/w/caf\\xe9'\r\n")
        << "a line of a known day gives its whole time";
    EXPECT_EQ(CsvRow({"", "", "/p"}), ",,/p\r\n");
    const std::string jsonLines = SavedChangeList(lines, TSavedListType::JsonLines, dayOf);
    std::vector<std::string> paths, actions, times;
    for (size_t start = 0, end; (end = jsonLines.find('\n', start)) != std::string::npos; start = end + 1) {
        const QJsonObject record = Parsed(jsonLines.substr(start, end - start));
        paths.push_back(PathBytes(record, QStringLiteral("path")));
        actions.push_back(record.value(QStringLiteral("action")).toString().toStdString());
        times.push_back(record.value(QStringLiteral("time")).toString().toStdString());
    }
    EXPECT_EQ(times, (std::vector<std::string>{"2026-12-07T12:00:00-03:30", "12:00:01", "2026-12-07T12:00:01-03:30"}));
    EXPECT_EQ(paths, (std::vector<std::string>{"/w/a,\"b\"", "/w/x\ny", "/w/caf\xe9"}));
    EXPECT_EQ(actions, (std::vector<std::string>{"Added", "Renamed_old_name", "Renamed_new_name"}))
        << "a list's neighbouring lines are no proof of one rename";

    const std::vector<std::tuple<std::string, int, TSavedListType>> types = {
        {"list.txt", 1, TSavedListType::Text},        {"list.txt", 2, TSavedListType::Csv},
        {"list.txt", 3, TSavedListType::JsonLines},   {"list.CSV", 1, TSavedListType::Csv},
        {"list.jsonl", 2, TSavedListType::JsonLines}, {"list", 0, TSavedListType::Text},
    };
    for (const auto& [name, filter, type] : types)
        EXPECT_EQ(SavedListTypeOf(name, filter), type) << name << " " << filter;
}
// Each kind of record with the fields the schema's file events have, what
// is withheld of a process left out, and the program's own action kept.
TEST(ChangeRecords, EcsRecordsNameTheSchemasFields) {
    const auto process = [](TChangeProcess described) { return std::make_shared<const TChangeProcess>(described); };
    struct TCase {
        TChangeRecord Record;
        std::map<std::string, std::string> Fields;
    };
    const std::vector<TCase> cases = {
        {{"2026-12-07T14:05:09.123+01:00", "Added", "/home/ann/a.tar.gz", std::nullopt, "/home/ann", "", false, 0,
          process({.Pid = 4242, .Named = true, .Command = "touch", .Executable = "/usr/bin/touch", .User = 0})},
         {{"@timestamp", "2026-12-07T14:05:09.123+01:00"},
          {"ecs.version", EcsVersion},
          {"event.kind", "event"},
          {"event.category", R"(["file"])"},
          {"event.type", R"(["creation"])"},
          {"event.action", "creation"},
          {"log.level", "info"},
          {"file.path", "/home/ann/a.tar.gz"},
          {"file.name", "a.tar.gz"},
          {"file.directory", "/home/ann"},
          {"file.extension", "gz"},
          {"file.type", "file"},
          {"process.pid", "4242"},
          {"process.name", "touch"},
          {"process.executable", "/usr/bin/touch"},
          {"user.id", "0"},
          {"user.name", "root"},
          {"host.name", "desk"},
          {"sentrel.action", "Added"},
          {"sentrel.watch", "/home/ann"},
          {"event.reason", "-"},
          {"file.Ext", "-"}}},
        {{"t", "Renamed", "/w/new", "/w/sub/.old", "/w", "", false, 0, nullptr},
         {{"event.type", R"(["change"])"},
          {"event.action", "rename"},
          {"file.Ext.original.path", "/w/sub/.old"},
          {"file.Ext.original.name", ".old"},
          {"file.name", "new"},
          {"file.extension", "-"},
          {"process", "-"},
          {"user", "-"}}},
        {{"t", "Found_renamed_old_name", "/w/half", std::nullopt, "/w", "", std::nullopt, 0, nullptr},
         {{"event.action", "rename"}, {"sentrel.action", "Found_renamed_old_name"}, {"file.type", "-"}}},
        {{"t", "Found_removed", "/w/d.ir", std::nullopt, "/w", "", true, 0, nullptr},
         {{"event.type", R"(["deletion"])"}, {"file.type", "dir"}, {"file.extension", "-"}}},
        {{"t", "Modified", "/w/x", std::nullopt, "/w", "", false, 0,
          process({.Pid = 77, .Command = {}, .Executable = {}})},
         {{"event.action", "modification"},
          {"process.pid", "77"},
          {"process.name", "-"},
          {"sentrel.process_ended", "true"},
          {"user", "-"}}},
        {{"t", "Modified", "/w/x", std::nullopt, "/w", "", false, 0,
          process({.Command = {}, .Executable = {}, .User = 1000, .OtherUser = true})},
         {{"process", "-"}, {"sentrel.other_user", "true"}, {"user.id", "1000"}}},
        {{"t", "Changes_lost", "/w", std::nullopt, "/w", "The queue overflowed", std::nullopt, 0, nullptr},
         {{"event.type", R"(["info"])"},
          {"event.action", "changes-lost"},
          {"log.level", "warning"},
          {"event.reason", "The queue overflowed"},
          {"file.directory", "/"},
          {"file.name", "w"}}},
    };
    for (const TCase& test : cases) {
        const QJsonObject record = Parsed(EcsRecord(test.Record, "desk"));
        for (const auto& [name, value] : test.Fields)
            EXPECT_EQ(Field(record, name), value) << test.Record.Action << " " << name;
    }
    EXPECT_FALSE(Parsed(EcsRecord(cases[0].Record, "")).contains(QStringLiteral("host")));
    EXPECT_FALSE(Parsed(EcsRecord(cases[0].Record, "desk", false)).contains(QStringLiteral("process")));
}
} // namespace
