#include "settings/UtilObj.h"

#include "platform/system/PlatformInfo.h"
#include "runtime/SysUtils.h"
#include "settings/IniFile.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>

TUtilObj UtilObj;

TIniFile::TIniFile(const std::string& path) {
    Ini.SetSpaces(false); // key=value, with no blanks around the "="
    std::error_code error;
    if (!std::filesystem::exists(FileSystemPath(path), error))
        return;
    std::ifstream file(FileSystemPath(path), std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (!file.is_open() || file.bad() || Ini.LoadData(content.data(), content.size()) < 0)
        throw EFOpenError(Format("Cannot open file %s", path.c_str()));
}

TIniSections TIniFile::AllSections() const {
    TIniSections sections;
    CSimpleIniA::TNamesDepend names;
    Ini.GetAllSections(names);
    for (const auto& name : names)
        sections[name.pItem] = SectionLines(name.pItem);
    return sections;
}

std::vector<std::string> TIniFile::SectionLines(const std::string& section) const {
    std::vector<std::string> list;
    CSimpleIniA::TNamesDepend keys;
    if (!Ini.GetAllKeys(section.c_str(), keys))
        return list;
    keys.sort(CSimpleIniA::Entry::LoadOrder());
    for (const auto& key : keys)
        list.push_back(std::string(key.pItem) + "=" +
                       TUtilObj::DecodeIniValue(Ini.GetValue(section.c_str(), key.pItem, "")));
    return list;
}

namespace {
// A byte a value may hold as it is: printable ASCII, and the bytes of valid
// UTF-8 beyond it but for the C1 controls.
std::size_t PlainSequenceLength(std::string_view value, std::size_t at) {
    char32_t code = 0;
    const std::size_t length = Utf8SequenceLength(value, at, code);
    if (length == 0 || code < 0x20 || (code >= 0x7F && code < 0xA0))
        return 0;
    return length;
}

bool IsPlainValue(std::string_view value) {
    if (value.starts_with('"') || value.starts_with("<<<") || value.starts_with(' ') || value.ends_with(' '))
        return false;
    for (std::size_t at = 0; at < value.size();) {
        const std::size_t length = PlainSequenceLength(value, at);
        if (length == 0)
            return false;
        at += length;
    }
    return true;
}

// The length of the escape at quoted[at] (a backslash), and the bytes it
// stands for; 0 for a backslash that starts none, which stands for itself.
std::size_t EscapeLength(std::string_view quoted, std::size_t at, std::string& bytes) {
    if (at + 1 >= quoted.size())
        return 0;
    switch (quoted[at + 1]) {
    case '\\':
        bytes = "\\";
        return 2;
    case '"':
        bytes = "\"";
        return 2;
    case 'n':
        bytes = "\n";
        return 2;
    case 'r':
        bytes = "\r";
        return 2;
    case 't':
        bytes = "\t";
        return 2;
    case 'x':
        if (at + 3 < quoted.size() && HexDigitValue(quoted[at + 2]) >= 0 && HexDigitValue(quoted[at + 3]) >= 0) {
            bytes = std::string(1, static_cast<char>(HexDigitValue(quoted[at + 2]) * 16 + HexDigitValue(quoted[at + 3])));
            return 4;
        }
        return 0;
    default:
        return 0;
    }
}

// The inside of a quoted value, decoded; nothing when a quotation mark in it
// is not escaped, which makes the whole value one to take as it stands.
std::optional<std::string> DecodeQuoted(std::string_view inside) {
    std::string value;
    for (std::size_t at = 0; at < inside.size();) {
        std::string bytes;
        if (inside[at] == '"')
            return std::nullopt;
        if (inside[at] == '\\') {
            if (const std::size_t length = EscapeLength(inside, at, bytes); length > 0) {
                value += bytes;
                at += length;
                continue;
            }
        }
        value += inside[at++];
    }
    return value;
}

} // namespace

bool TSameTextLess::operator()(const std::string& a, const std::string& b) const {
    return UpperCase(a) < UpperCase(b);
}

std::string TUtilObj::IniFileNameFor(const std::string& exePath, bool exeFolderWritable,
                                     const std::string& configFolder) {
    const std::size_t slash = exePath.rfind(PathDelim);
    const std::string folder = slash == std::string::npos ? std::string() : exePath.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? exePath : exePath.substr(slash + 1);
    const std::size_t dot = name.find('.');
    const std::string iniName = dot == std::string::npos ? name + ".ini" : name.substr(0, dot + 1) + "ini";
    if (exeFolderWritable)
        return folder + iniName;
    std::string config = configFolder;
    if (!config.empty() && config.back() != PathDelim)
        config += PathDelim;
    return config + iniName;
}

bool TUtilObj::IsSystemProgramFolder(std::string_view folder) {
    for (std::string_view system : {"/usr", "/bin", "/sbin"})
        if (folder.starts_with(system) && (folder.size() == system.size() || folder[system.size()] == '/'))
            return true;
    return false;
}

std::string TUtilObj::ProgramFile() const {
    return FProgramFile.empty() ? ProgramFilePath() : FProgramFile;
}

bool TUtilObj::IsPortable() const {
    if (!FIniFileName.empty())
        return false;
    const std::string folder = PathText(FileSystemPath(ProgramFile()).parent_path());
    return FolderWritable(folder) && !IsSystemProgramFolder(folder);
}

std::string TUtilObj::GetIniFileName() const {
    if (!FIniFileName.empty())
        return FIniFileName;
    return IniFileNameFor(ProgramFile(), IsPortable(), UserConfigFolder() + PathDelim + "sentrel");
}

void TUtilObj::ReadExistingSection(const std::string& section, std::vector<std::string>& list) const {
    list = TIniFile(GetIniFileName()).SectionLines(section);
}

std::string TUtilObj::EncodeIniValue(std::string_view value) {
    if (IsPlainValue(value))
        return std::string(value);
    static constexpr char Hex[] = "0123456789ABCDEF";
    std::string encoded = "\"";
    for (std::size_t at = 0; at < value.size();) {
        const char c = value[at];
        if (c == '\\' || c == '"') {
            encoded += '\\';
            encoded += c;
        } else if (c == '\n') {
            encoded += "\\n";
        } else if (c == '\r') {
            encoded += "\\r";
        } else if (c == '\t') {
            encoded += "\\t";
        } else if (const std::size_t length = PlainSequenceLength(value, at); length > 0) {
            encoded.append(value.substr(at, length));
            at += length;
            continue;
        } else {
            const auto byte = static_cast<unsigned char>(c);
            encoded += "\\x";
            encoded += Hex[byte >> 4];
            encoded += Hex[byte & 0xF];
        }
        ++at;
    }
    encoded += '"';
    return encoded;
}

std::string TUtilObj::DecodeIniValue(std::string_view stored) {
    if (stored.size() >= 2 && stored.front() == '"' && stored.back() == '"')
        if (std::optional<std::string> value = DecodeQuoted(stored.substr(1, stored.size() - 2)))
            return *value;
    return std::string(stored);
}

std::optional<std::string> TUtilObj::FindValueOfKey(const std::vector<std::string>& lines, std::string_view key) {
    for (const std::string& line : lines) {
        const std::size_t equals = line.find('=');
        if (equals != std::string::npos && SameText(std::string_view(line).substr(0, equals), key))
            return line.substr(equals + 1);
    }
    return std::nullopt;
}

std::string TUtilObj::ValueOfKey(const std::vector<std::string>& lines, std::string_view key) {
    return FindValueOfKey(lines, key).value_or(std::string());
}

std::vector<std::string> TUtilObj::ListValues(const std::vector<std::string>& lines) {
    std::vector<std::pair<unsigned long long, std::string>> numbered;
    for (const std::string& line : lines) {
        const std::string_view key = std::string_view(line).substr(0, line.find('='));
        unsigned long long number = 0;
        const auto [end, error] = std::from_chars(key.data(), key.data() + key.size(), number);
        const bool canonical = !key.empty() && (key == "0" || key.front() != '0');
        if (canonical && error == std::errc() && end == key.data() + key.size() && key.size() < line.size())
            numbered.emplace_back(number, line.substr(key.size() + 1));
    }
    std::stable_sort(numbered.begin(), numbered.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> values;
    values.reserve(numbered.size());
    for (auto& [number, value] : numbered)
        values.push_back(std::move(value));
    return values;
}

std::vector<std::string> TUtilObj::SectionLines(const TSectionWrite& write) {
    if (!write.Numbered)
        return write.Lines;
    std::vector<std::string> lines;
    lines.reserve(write.Lines.size());
    for (std::size_t i = 0; i < write.Lines.size(); ++i)
        lines.push_back(std::to_string(i) + "=" + write.Lines[i]);
    return lines;
}
