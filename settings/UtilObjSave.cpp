#include "platform/files/FileReplace.h"
#include "platform/system/PlatformInfo.h"
#include "runtime/SysUtils.h"
#include "settings/IniFile.h"
#include "settings/UtilObj.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

namespace {
constexpr std::size_t MaxValueLength = 1000;

std::function<void(const std::string&)>& BeforeReplace() {
    static std::function<void(const std::string&)> hook;
    return hook;
}

// Every write is checked down to the disk; a failure leaves the old file
// and says why.
void Save(const TIniFile& file, const std::string& path) {
    std::string content;
    if (file.Ini.Save(content) < 0)
        throw EIniFileError(Format("Unable to write to %s", path.c_str()));
    std::string reason;
    const auto beforeReplace = [&] {
        if (BeforeReplace())
            BeforeReplace()(path);
    };
    if (!ReplaceFileContents(path, content, TInPlace::Never, reason, beforeReplace))
        throw EIniFileError(Format("Unable to write to %s\r\n%s", path.c_str(), reason.c_str()));
}
} // namespace

bool TUtilObj::EnsureIniFile() const {
    const std::string path = GetIniFileName();
    std::error_code error;
    if (std::filesystem::exists(FileSystemPath(path), error))
        return true;
    std::filesystem::create_directories(FileSystemPath(path).parent_path(), error);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST)
        throw EFCreateError(Format("Cannot create file %s. %s", path.c_str(), std::strerror(errno)));
    if (fd >= 0)
        close(fd);
    return true;
}

void TUtilObj::ReadSection(const std::string& section, std::vector<std::string>& list) const {
    EnsureIniFile();
    ReadExistingSection(section, list);
}

void TUtilObj::WriteSection(const std::string& section, const std::vector<std::string>& lines, bool numbered) const {
    WriteSections({{section, lines, numbered}});
}

void TUtilObj::WriteSections(const std::vector<TSectionWrite>& writes) const {
    UpdateSections([&](const TIniSections&) { return writes; });
}

TIniSections TUtilObj::ReadSections() const {
    EnsureIniFile();
    return TIniFile(GetIniFileName()).AllSections();
}

void TUtilObj::UpdateSections(const std::function<std::vector<TSectionWrite>(const TIniSections&)>& update) const {
    EnsureIniFile();
    const std::string path = GetIniFileName();
    TReplaceLock lock(path);
    TIniFile file(path);
    for (const TSectionWrite& write : update(file.AllSections())) {
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
            if (file.Ini.SetValue(write.Section.c_str(), key.c_str(), EncodeIniValue(value).c_str()) < 0)
                throw EIniFileError(Format("Unable to write to %s", path.c_str()));
        }
    }
    Save(file, path);
}

void TUtilObj::RemoveUnfinishedSaves() const {
    const std::string path = GetIniFileName();
    TReplaceLock lock(path);
    RemoveUnfinishedReplacements(path);
}

void TUtilObj::SetBeforeReplace(std::function<void(const std::string&)> hook) {
    BeforeReplace() = std::move(hook);
}
