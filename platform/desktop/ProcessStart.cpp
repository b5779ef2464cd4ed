#include "platform/desktop/ProcessStart.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <utility>

#ifdef _WIN32
#include <QProcess>
#include <QStringList>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {
TProcessStartAnswer& Answer() {
    static TProcessStartAnswer answer;
    return answer;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n';
}

// Appends the double-quoted text that starts after the quote at i; returns
// the position of the closing quote, or npos when there is none.
size_t AppendDoubleQuoted(const std::string& text, size_t i, std::string& word) {
    constexpr std::string_view Escapable = "$`\"\\\n";
    for (++i; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && Escapable.find(text[i + 1]) != std::string_view::npos) {
            if (text[++i] == '\n')
                continue;
        }
        word += text[i];
    }
    return i < text.size() ? i : std::string::npos;
}

void SetReason(std::string* reason, std::string text) {
    if (reason)
        *reason = std::move(text);
}
} // namespace

std::optional<std::vector<std::string>> SplitCommandWords(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (IsBlank(c)) {
            if (inWord)
                words.push_back(std::exchange(word, {}));
            inWord = false;
            continue;
        }
        inWord = true;
        if (c == '\'') {
            const size_t close = text.find('\'', i + 1);
            if (close == std::string::npos)
                return std::nullopt;
            word.append(text, i + 1, close - i - 1);
            i = close;
        } else if (c == '"') {
            i = AppendDoubleQuoted(text, i, word);
            if (i == std::string::npos)
                return std::nullopt;
        } else if (c == '\\' && i + 1 < text.size()) {
            // A backslash before a line break joins the two lines.
            if (text[++i] != '\n')
                word += text[i];
        } else {
            word += c;
        }
    }
    if (inWord)
        words.push_back(std::move(word));
    return words;
}

std::optional<std::vector<std::string>> CommandWords(const std::string& text) {
    std::error_code error;
    if (!text.empty() && std::filesystem::is_regular_file(text, error))
        return std::vector<std::string>{text};
    return SplitCommandWords(text);
}

void SetProcessStartAnswer(TProcessStartAnswer answer) {
    Answer() = std::move(answer);
}

#ifdef _WIN32

namespace {
bool StartNative(const std::vector<std::string>& command, std::string* reason) {
    QStringList arguments;
    for (size_t i = 1; i < command.size(); ++i)
        arguments << QString::fromStdString(command[i]);
    QProcess process;
    process.setProgram(QString::fromStdString(command[0]));
    process.setArguments(arguments);
    if (process.startDetached())
        return true;
    SetReason(reason, process.errorString().toStdString());
    return false;
}
} // namespace

#else

namespace {
// Both ends of a pipe, closed with it.
class TPipe {
public:
    TPipe() {
        if (::pipe2(FEnds, O_CLOEXEC) != 0)
            FEnds[0] = FEnds[1] = -1;
    }
    TPipe(const TPipe&) = delete;
    TPipe& operator=(const TPipe&) = delete;
    ~TPipe() {
        CloseWriteEnd();
        if (FEnds[0] >= 0)
            ::close(FEnds[0]);
    }
    bool Valid() const { return FEnds[0] >= 0; }
    int ReadEnd() const { return FEnds[0]; }
    int WriteEnd() const { return FEnds[1]; }
    void CloseWriteEnd() {
        if (FEnds[1] >= 0)
            ::close(std::exchange(FEnds[1], -1));
    }

private:
    int FEnds[2];
};

bool IsExecutableFile(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The PATH search happens here, before the fork: the child of a process with
// threads may only make async-signal-safe calls.
std::string ProgramPath(const std::string& program) {
    if (program.find('/') != std::string::npos)
        return program;
    const char* path = std::getenv("PATH");
    const std::string folders = path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= folders.size()) {
        size_t end = folders.find(':', start);
        if (end == std::string::npos)
            end = folders.size();
        const std::string folder = end == start ? "." : folders.substr(start, end - start);
        if (const std::string candidate = folder + "/" + program; IsExecutableFile(candidate))
            return candidate;
        start = end + 1;
    }
    return {};
}

// The child starts the program in a grandchild and ends at once, so the
// program never stays behind as a zombie of ours; a failed exec sends its
// errno through the pipe, which a successful one closes unwritten.
[[noreturn]] void StartGrandchild(const char* program, char* const* argv, int errorEnd) {
    ::setsid();
    const pid_t grandchild = ::fork();
    if (grandchild == 0) {
        ::execv(program, argv);
        const int error = errno;
        [[maybe_unused]] ssize_t written = ::write(errorEnd, &error, sizeof error);
        ::_exit(127);
    }
    if (grandchild < 0) {
        const int error = errno;
        [[maybe_unused]] ssize_t written = ::write(errorEnd, &error, sizeof error);
    }
    ::_exit(0);
}
bool StartNative(const std::vector<std::string>& command, std::string* reason) {
    const std::string program = ProgramPath(command[0]);
    if (program.empty()) {
        SetReason(reason, std::strerror(ENOENT));
        return false;
    }
    std::vector<char*> argv;
    for (const std::string& word : command)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);

    TPipe errors;
    if (!errors.Valid()) {
        SetReason(reason, std::strerror(errno));
        return false;
    }
    const pid_t child = ::fork();
    if (child == 0)
        StartGrandchild(program.c_str(), argv.data(), errors.WriteEnd());
    errors.CloseWriteEnd();
    if (child < 0) {
        SetReason(reason, std::strerror(errno));
        return false;
    }
    while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    int error = 0;
    ssize_t got;
    while ((got = ::read(errors.ReadEnd(), &error, sizeof error)) < 0 && errno == EINTR) {
    }
    if (got == static_cast<ssize_t>(sizeof error)) {
        SetReason(reason, std::strerror(error));
        return false;
    }
    return true;
}

} // namespace

#endif

bool StartProcess(const std::vector<std::string>& command, std::string* reason) {
    if (Answer())
        return Answer()(command);
    if (command.empty() || command[0].empty()) {
        SetReason(reason, "no program is given");
        return false;
    }
    return StartNative(command, reason);
}

