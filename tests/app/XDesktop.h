#pragma once

// An X desktop of the test's own: a virtual X server (Xvfb) with a window
// manager (openbox), for what only a framed window shows: its frame, where
// the window manager puts it. The test command installs both; where they
// are not installed a test skips.
#include "Testing.h"

#include <QProcess>
#include <QStandardPaths>
#include <ctime>
#include <filesystem>
#include <random>
#include <unistd.h>
#include <string>
#include <vector>

class TXDesktop {
public:
    TXDesktop() {
        FInstalled = !QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty() &&
                     !QStandardPaths::findExecutable(QStringLiteral("openbox")).isEmpty();
        if (!FInstalled)
            return;
        // A display of its own, away from those a desktop or another test
        // would take; one in use ends the server at once, and another is tried.
        std::mt19937 random(static_cast<unsigned>(::getpid()) ^ static_cast<unsigned>(::time(nullptr)));
        for (int attempt = 0; attempt < 10 && FDisplay.empty(); ++attempt) {
            const std::string number = std::to_string(200 + random() % 800);
            const std::string socket = "/tmp/.X11-unix/X" + number;
            if (std::filesystem::exists(socket) || std::filesystem::exists("/tmp/.X" + number + "-lock"))
                continue;
            FServer.start(QStringLiteral("Xvfb"), {QString::fromStdString(":" + number), QStringLiteral("-screen"),
                                                   QStringLiteral("0"), QStringLiteral("1280x1024x24"),
                                                   QStringLiteral("-nolisten"), QStringLiteral("tcp")});
            if (FServer.waitForStarted() && ProcessEventsUntil([&] {
                    return std::filesystem::exists(socket) || FServer.state() != QProcess::Running;
                }) && FServer.state() == QProcess::Running)
                FDisplay = ":" + number;
            else
                FServer.waitForFinished();
        }
        if (FDisplay.empty())
            return;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), QString::fromStdString(FDisplay));
        FManager.setProcessEnvironment(environment);
        // openbox now and then ends at once, without a word, on a server
        // just started: it is started again.
        for (int attempt = 0; attempt < 3 && !FRunning; ++attempt) {
            FManager.start(QStringLiteral("openbox"), {});
            FRunning = FManager.waitForStarted() && ProcessEventsUntil([&] {
                           return FManager.state() != QProcess::Running ||
                                  Run({"xprop", "-root", "_NET_SUPPORTING_WM_CHECK"}).find("window id") !=
                                      std::string::npos;
                       }) && FManager.state() == QProcess::Running;
        }
    }

    // What the server and the window manager said, for a desktop that did not start.
    std::string Said() {
        return "display " + FDisplay + "; Xvfb (" + std::to_string(FServer.state()) +
               "): " + FServer.readAllStandardError().toStdString() + "; openbox (" +
               std::to_string(FManager.state()) + ", exit code " + std::to_string(FManager.exitCode()) + "): " + FManager.readAllStandardError().toStdString() +
               "; root: " + Run({"xprop", "-root"}).substr(0, 300);
    }
    ~TXDesktop() {
        for (QProcess* process : {&FManager, &FServer}) {
            process->terminate();
            if (!process->waitForFinished(3000))
                process->kill();
            process->waitForFinished();
        }
    }
    TXDesktop(const TXDesktop&) = delete;
    TXDesktop& operator=(const TXDesktop&) = delete;

    // Xvfb and openbox are there to start.
    bool Installed() const { return FInstalled; }
    bool Running() const { return FRunning; }
    const std::string& Display() const { return FDisplay; }

    // A command run against this desktop; its standard output.
    std::string Run(const std::vector<std::string>& command) const {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), QString::fromStdString(FDisplay));
        process.setProcessEnvironment(environment);
        QStringList arguments;
        for (std::size_t i = 1; i < command.size(); ++i)
            arguments << QString::fromStdString(command[i]);
        process.start(QString::fromStdString(command.front()), arguments);
        process.waitForFinished(5000);
        return process.readAllStandardOutput().toStdString();
    }

private:
    std::string FDisplay;
    QProcess FServer, FManager;
    bool FInstalled = false;
    bool FRunning = false;
};
