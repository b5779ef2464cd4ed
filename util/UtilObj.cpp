#include "util/UtilObj.h"

#include "runtime/SysUtils.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QWidget>
// Only the 8-bit interface is used: no wide-character conversion is needed.
#define SI_NO_CONVERSION
#include <SimpleIni.h>
#include <charconv>
#include <optional>

TUtilObj UtilObj;

namespace {
constexpr std::size_t MaxValueLength = 1000;

std::function<void(const std::string&)>& BeforeReplace() {
    static std::function<void(const std::string&)> hook;
    return hook;
}

// Bytes are kept as they are (no UTF-8 conversion), keys and sections are
// matched ignoring case, values with blanks at either end are quoted and
// values with line breaks are written as multi-line values, so each value
// reads back as written.
struct TIniFile {
    CSimpleIniA Ini{/*isUtf8=*/false, /*multiKey=*/false, /*multiLine=*/true};

    explicit TIniFile(const std::string& path) {
        Ini.SetQuotes(true);
        Ini.SetSpaces(false); // key=value, with no blanks around the "="
        QFile file(QString::fromStdString(path));
        if (!file.exists())
            return;
        if (!file.open(QIODevice::ReadOnly))
            throw EFOpenError(Format("Cannot open file %s", path.c_str()));
        const QByteArray content = file.readAll();
        if (file.error() != QFileDevice::NoError)
            throw EFOpenError(Format("Cannot open file %s", path.c_str()));
        if (Ini.LoadData(content.constData(), static_cast<size_t>(content.size())) < 0)
            throw EFOpenError(Format("Cannot open file %s", path.c_str()));
    }

    void Save(const std::string& path) {
        std::string content;
        if (Ini.Save(content) < 0)
            throw EIniFileError(Format("Unable to write to %s", path.c_str()));
        QSaveFile file(QString::fromStdString(path));
        file.setDirectWriteFallback(false); // never a half-written settings file
        if (!file.open(QIODevice::WriteOnly))
            throw EIniFileError(Format("Unable to write to %s", path.c_str()));
        if (file.write(content.data(), static_cast<qint64>(content.size())) != static_cast<qint64>(content.size()))
            throw EIniFileError(Format("Unable to write to %s", path.c_str()));
        if (BeforeReplace())
            BeforeReplace()(path);
        if (!file.commit())
            throw EIniFileError(Format("Unable to write to %s", path.c_str()));
    }
};

std::optional<int> ParseInteger(const std::string& text) {
    int value = 0;
    const char* end = text.data() + text.size();
    auto [at, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || at != end)
        return std::nullopt;
    return value;
}

} // namespace

std::string TUtilObj::IniFileNameFor(const std::string& exePath, bool exeFolderWritable,
                                     const std::string& configFolder) {
    const std::size_t slash = exePath.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : exePath.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? exePath : exePath.substr(slash + 1);
    const std::size_t dot = name.find('.');
    const std::string iniName = dot == std::string::npos ? name + ".ini" : name.substr(0, dot + 1) + "ini";
    if (exeFolderWritable)
        return folder + iniName;
    std::string config = configFolder;
    if (!config.empty() && config.back() != '/')
        config += '/';
    return config + iniName;
}

bool TUtilObj::IsSystemProgramFolder(std::string_view folder) {
    for (std::string_view system : {"/usr", "/bin", "/sbin"})
        if (folder.starts_with(system) && (folder.size() == system.size() || folder[system.size()] == '/'))
            return true;
    return false;
}

std::string TUtilObj::GetIniFileName() const {
    if (!FIniFileName.empty())
        return FIniFileName;
    const QString exePath = QCoreApplication::applicationFilePath();
    const QFileInfo folder(QFileInfo(exePath).absolutePath());
    const QString config =
        QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/sentrel");
    const bool portable = folder.isWritable() && !IsSystemProgramFolder(folder.absoluteFilePath().toStdString());
    return IniFileNameFor(exePath.toStdString(), portable, config.toStdString());
}

bool TUtilObj::EnsureIniFile() const {
    const std::string path = GetIniFileName();
    QFile file(QString::fromStdString(path));
    if (file.exists())
        return true;
    QDir().mkpath(QFileInfo(file).absolutePath());
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        throw EFCreateError(
            Format("Cannot create file %s. %s", path.c_str(), file.errorString().toStdString().c_str()));
    file.close();
    return true;
}

void TUtilObj::ReadSection(const std::string& section, std::vector<std::string>& list) const {
    EnsureIniFile();
    ReadExistingSection(section, list);
}

void TUtilObj::ReadExistingSection(const std::string& section, std::vector<std::string>& list) const {
    list.clear();
    TIniFile file(GetIniFileName());
    CSimpleIniA::TNamesDepend keys;
    if (!file.Ini.GetAllKeys(section.c_str(), keys))
        return;
    keys.sort(CSimpleIniA::Entry::LoadOrder());
    for (const auto& key : keys) {
        const char* value = file.Ini.GetValue(section.c_str(), key.pItem, "");
        list.push_back(std::string(key.pItem) + "=" + value);
    }
}

std::string TUtilObj::ValueOfKey(const std::vector<std::string>& lines, std::string_view key) {
    for (const std::string& line : lines) {
        const std::size_t equals = line.find('=');
        if (equals != std::string::npos && SameText(std::string_view(line).substr(0, equals), key))
            return line.substr(equals + 1);
    }
    return {};
}

std::vector<std::string> TUtilObj::ListValues(const std::vector<std::string>& lines) {
    std::vector<std::string> values;
    values.reserve(lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i)
        values.push_back(ValueOfKey(lines, std::to_string(i)));
    return values;
}

void TUtilObj::WriteSection(const std::string& section, const std::vector<std::string>& lines, bool numbered) const {
    WriteSections({{section, lines, numbered}});
}

void TUtilObj::WriteSections(const std::vector<TSectionWrite>& writes) const {
    EnsureIniFile();
    const std::string path = GetIniFileName();
    TIniFile file(path);
    for (const TSectionWrite& write : writes) {
        file.Ini.Delete(write.Section.c_str(), nullptr);
        for (std::size_t i = 0; i < write.Lines.size(); ++i) {
            const std::string& line = write.Lines[i];
            std::string key, value;
            if (write.Numbered) {
                key = std::to_string(i);
                value = line;
            } else {
                const std::size_t equals = line.find('=');
                key = line.substr(0, equals);
                if (equals != std::string::npos)
                    value = line.substr(equals + 1, MaxValueLength);
            }
            if (file.Ini.SetValue(write.Section.c_str(), key.c_str(), value.c_str()) < 0)
                throw EIniFileError(Format("Unable to write to %s", path.c_str()));
        }
    }
    file.Save(path);
}

TUtilObj::TSectionWrite TUtilObj::LayoutOf(const QWidget& window) {
    const QRect outer = window.frameGeometry();
    return {"Layout",
            {"Top=" + std::to_string(outer.y()), "Left=" + std::to_string(outer.x()),
             "Width=" + std::to_string(outer.width()), "Height=" + std::to_string(outer.height())},
            false};
}

void TUtilObj::SaveLayout(const QWidget& window) const {
    WriteSections({LayoutOf(window)});
}

void TUtilObj::RestoreLayout(QWidget& window) const {
    std::vector<std::string> list;
    ReadSection("Layout", list);
    const QRect outer = window.frameGeometry();
    const int top = ParseInteger(ValueOfKey(list, "Top")).value_or(outer.y());
    const int left = ParseInteger(ValueOfKey(list, "Left")).value_or(outer.x());
    const int width = ParseInteger(ValueOfKey(list, "Width")).value_or(outer.width());
    const int height = ParseInteger(ValueOfKey(list, "Height")).value_or(outer.height());
    window.move(left, top);
    // The frame's own share of the outer size stays the window's.
    window.resize(width - (outer.width() - window.width()), height - (outer.height() - window.height()));
}

void TUtilObj::SetBeforeReplace(std::function<void(const std::string&)> hook) {
    BeforeReplace() = std::move(hook);
}
