#include "records/ChangeRecords.h"
#include "records/PathText.h"
#include "records/ResultLines.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>
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

TEST(ChangeRecords, EveryByteValueInANameGivesValidJsonThatHoldsTheName) {
    for (int byte = 1; byte < 256; ++byte) {
        const std::string path = "/w/a" + std::string(1, static_cast<char>(byte)) + "\xc3\xa9";
        const QJsonObject record = Parsed(JsonRecord({"12:00:00", "Added", path, std::nullopt, "/w", {}}));
        EXPECT_EQ(PathBytes(record, QStringLiteral("path")), path) << byte;
        EXPECT_EQ(record.contains(QStringLiteral("path")), byte < 0x80) << byte;
        EXPECT_EQ(record.value(QStringLiteral("folder")).toString(), QStringLiteral("/w"));
    }
    const std::string forged = JsonRecord({"t", "Added", "/w/x\n{\"action\":\"Removed\"}\xe2\x80\xa8", std::nullopt, "/w",
                                           "reason with \xff"});
    EXPECT_EQ(forged.find('\n'), std::string::npos);
    EXPECT_EQ(forged.find("\xe2\x80\xa8"), std::string::npos);
    EXPECT_EQ(Parsed(forged).value(QStringLiteral("reason")).toString(), QStringLiteral("reason with \uFFFD"));
}

TEST(ChangeRecords, TheTimeIsRfc3339WithMillisecondsAndTheOffset) {
    EXPECT_TRUE(std::regex_match(RecordTimeNow(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)")))
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
        {"list.txt", 1, TSavedListType::Text},      {"list.txt", 2, TSavedListType::Csv},
        {"list.txt", 3, TSavedListType::JsonLines}, {"list.CSV", 1, TSavedListType::Csv},
        {"list.jsonl", 2, TSavedListType::JsonLines}, {"list", 0, TSavedListType::Text},
    };
    for (const auto& [name, filter, type] : types)
        EXPECT_EQ(SavedListTypeOf(name, filter), type) << name << " " << filter;
}
} // namespace
