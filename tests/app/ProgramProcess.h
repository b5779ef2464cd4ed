#pragma once

// The program under test run as people run it, in a process of its own:
// no display to reach (its window, when asked for, drawn off the screen),
// its output gathered as it comes, signals sent to it.
#include "Testing.h"

#include <QProcess>
#include <QStringList>
#include <signal.h>
#include <string>
#include <vector>

#ifndef SENTREL_PROGRAM
#error "SENTREL_PROGRAM names the program under test"
#endif

inline QStringList Arguments(const std::vector<std::string>& arguments) {
    QStringList list;
    for (const std::string& argument : arguments)
        list << QString::fromStdString(argument);
    return list;
}

// display: "" for none, "offscreen" for a window drawn off the screen, or
// an X display (":93").
class TProgram {
public:
    // outputFile, when given, takes the standard output in place of a pipe;
    // launcher, when given, runs in place of the program, the arguments after its own.
    explicit TProgram(const std::vector<std::string>& arguments, QProcess* reader = nullptr,
                      const std::string& display = "", const std::string& outputFile = "",
                      const std::vector<std::string>& launcher = {}) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            environment.remove(QString::fromLatin1(name));
        if (display == "offscreen")
            environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        else if (!display.empty())
            environment.insert(QStringLiteral("DISPLAY"), QString::fromStdString(display));
        FProcess.setProcessEnvironment(environment);
        if (reader)
            FProcess.setStandardOutputProcess(reader);
        if (!outputFile.empty())
            FProcess.setStandardOutputFile(QString::fromStdString(outputFile));
        if (launcher.empty()) {
            FProcess.start(QStringLiteral(SENTREL_PROGRAM), Arguments(arguments));
            return;
        }
        std::vector<std::string> all(launcher.begin() + 1, launcher.end());
        all.insert(all.end(), arguments.begin(), arguments.end());
        FProcess.start(QString::fromStdString(launcher.front()), Arguments(all));
    }
    ~TProgram() {
        if (FProcess.state() != QProcess::NotRunning) {
            FProcess.kill();
            FProcess.waitForFinished();
        }
    }

    // Waits until the standard error output holds text; false when it never does.
    bool WaitForError(const std::string& text) {
        return ProcessEventsUntil([&] { return Error().find(text) != std::string::npos; });
    }
    // Waits until a line of the standard output ends with text.
    bool WaitForLineEnding(const std::string& text) {
        return ProcessEventsUntil([&] {
            for (const std::string& line : Lines())
                if (line.ends_with(text))
                    return true;
            return false;
        });
    }
    // Waits for the end; the exit code, or -1 when it did not end in time or crashed.
    int Finish(int seconds = 10) {
        if (!ProcessEventsUntil([&] { return FProcess.state() == QProcess::NotRunning; }, std::chrono::seconds(seconds)))
            return -1;
        Collect();
        return FProcess.exitStatus() == QProcess::NormalExit ? FProcess.exitCode() : -1;
    }
    // A program that has ended is sent nothing: its pid, 0 by then, would
    // signal the tests' whole process group.
    void Signal(int number) {
        if (const auto pid = static_cast<pid_t>(FProcess.processId()); pid > 0)
            ::kill(pid, number);
    }
    qint64 Pid() const { return FProcess.processId(); }
    // Waits until the program catches the signal, rather than dying of it.
    bool WaitCatching(int number) {
        const std::string status = "/proc/" + std::to_string(FProcess.processId()) + "/status";
        return ProcessEventsUntil([&] {
            const std::string text = ReadAll(status);
            const size_t at = text.find("SigCgt:");
            return at != std::string::npos && (std::stoull(text.substr(at + 7), nullptr, 16) >> (number - 1)) & 1;
        });
    }

    std::vector<std::string> Lines() {
        std::size_t from = 0;
        return LinesFrom(from);
    }
    // The lines completed since the last call: a test that follows a long
    // output reads each line once, and keeps the pipe drained meanwhile.
    std::vector<std::string> NewLines() { return LinesFrom(FNewFrom); }
    std::string Error() {
        Collect();
        return FError;
    }
    std::string Output() {
        Collect();
        return FOutput;
    }

private:
    std::vector<std::string> LinesFrom(std::size_t& from) {
        Collect();
        std::vector<std::string> lines;
        for (std::size_t end; (end = FOutput.find('\n', from)) != std::string::npos; from = end + 1)
            lines.push_back(FOutput.substr(from, end - from));
        return lines;
    }
    void Collect() {
        FOutput += FProcess.readAllStandardOutput().toStdString();
        FError += FProcess.readAllStandardError().toStdString();
    }

    QProcess FProcess;
    std::string FOutput, FError;
    std::size_t FNewFrom = 0;
};

