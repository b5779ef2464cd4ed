#pragma once

// A JSON object built member by member, for the records' formats: each
// member is written in the order added, and an empty object given as a
// member is left out, so that a record names only what it knows.
#include "records/ChangeRecords.h"

#include <string>
#include <string_view>

class TJsonObject {
public:
    // A member whose value is JSON already.
    TJsonObject& Raw(std::string_view name, std::string_view json) {
        FMembers += FMembers.empty() ? "\"" : ",\"";
        FMembers += name;
        FMembers += "\":";
        FMembers += json;
        return *this;
    }
    TJsonObject& Text(std::string_view name, std::string_view text) { return Raw(name, JsonString(text)); }
    TJsonObject& Object(std::string_view name, const TJsonObject& object) {
        return object.Empty() ? *this : Raw(name, object.Json());
    }
    bool Empty() const { return FMembers.empty(); }
    std::string Json() const { return '{' + FMembers + '}'; }

private:
    std::string FMembers;
};
