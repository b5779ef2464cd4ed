#include "LineProcess.h"

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace {
using TClock = std::chrono::steady_clock;
constexpr auto PatienceLimit = std::chrono::seconds(120);
} // namespace

TLineProcess::TLineProcess(const std::vector<std::string>& command, std::string readyText)
    : FReadyText(std::move(readyText)) {
    int out[2];
    int err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0)
        throw std::runtime_error("pipe");
    std::vector<char*> arguments;
    for (const std::string& argument : command)
        arguments.push_back(const_cast<char*>(argument.c_str()));
    arguments.push_back(nullptr);
    FPid = ::fork();
    if (FPid == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::execvp(arguments[0], arguments.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    FErrorReader = std::thread([this, fd = err[0]] { ReadErrors(fd); });
    FLineReader = std::thread([this, fd = out[0]] { CountLines(fd); });
}

TLineProcess::~TLineProcess() {
    ::kill(FPid, SIGTERM);
    ::waitpid(FPid, nullptr, 0);
    FErrorReader.join();
    FLineReader.join();
}

bool TLineProcess::WaitReady() {
    const auto deadline = TClock::now() + PatienceLimit;
    while (!Ready && !Failed && TClock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    return Ready;
}

double TLineProcess::CpuSeconds() const {
    std::ifstream stat("/proc/" + std::to_string(FPid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The fields after the command's name, which may hold blanks: state is
    // the third field, utime the 14th and stime the 15th.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long user = 0, system = 0;
    for (int number = 3; fields >> field; ++number) {
        if (number == 14)
            user = std::stoull(field);
        if (number == 15) {
            system = std::stoull(field);
            break;
        }
    }
    return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double TLineProcess::WaitForLines(long expected, TClock::time_point start) {
    long seen = -1;
    auto lastGrowth = TClock::now();
    while (Lines < expected && TClock::now() - lastGrowth < std::chrono::seconds(1)) {
        if (Lines != seen) {
            seen = Lines;
            lastGrowth = TClock::now();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const double elapsed = std::chrono::duration<double>(TClock::now() - start).count();
    return Lines >= expected ? elapsed : elapsed - 1.0;
}

void TLineProcess::ReadErrors(int fd) {
    std::string text;
    char chunk[4096];
    for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;) {
        text.append(chunk, static_cast<size_t>(n));
        if (text.find(FReadyText) != std::string::npos)
            Ready = true;
        if (text.find("Failed") != std::string::npos || text.find("rror") != std::string::npos)
            Failed = true;
    }
    Failed = Failed || !Ready;
    ::close(fd);
}

void TLineProcess::CountLines(int fd) {
    char chunk[65536];
    for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;)
        for (ssize_t i = 0; i < n; ++i)
            Lines += chunk[i] == '\n';
    ::close(fd);
}

void WriteBurst(const std::string& folder, int files) {
    for (int i = 0; i < files; ++i) {
        std::string name = folder + "/f" + std::to_string(i);
        int fd = ::open(name.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        if (fd >= 0)
            ::close(fd);
    }
    for (int i = 0; i < files; ++i)
        ::unlink((folder + "/f" + std::to_string(i)).c_str());
}

