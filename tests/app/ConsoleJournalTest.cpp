// The console's changes in the system journal, as an administrator reads
// them: sent to a real journald of the test's own (--journal), and carried
// to a central journal by systemd-journal-upload and systemd-journal-remote
// (--format export), each read back with journalctl.
#include "ProgramProcess.h"
#include "Testing.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <set>
#include <sys/socket.h>
#include <unistd.h>

namespace {
using TEntry = std::map<std::string, std::string>;

// A field's value: journalctl gives a value that is not printable UTF-8
// as an array of its bytes.
std::string ValueOf(const QJsonValue& value) {
    if (!value.isArray())
        return value.toString().toStdString();
    std::string bytes;
    for (const QJsonValue& byte : value.toArray())
        bytes += static_cast<char>(byte.toInt());
    return bytes;
}

// The entries journalctl -o json wrote, with the fields named SENTREL_*,
// MESSAGE* and PRIORITY.
std::vector<TEntry> EntriesIn(const std::string& json) {
    std::vector<TEntry> entries;
    for (const QByteArray& line : QByteArray::fromStdString(json).split('\n')) {
        if (line.isEmpty())
            continue;
        const QJsonObject object = QJsonDocument::fromJson(line).object();
        EXPECT_FALSE(object.isEmpty()) << line.toStdString();
        TEntry entry;
        for (auto field = object.begin(); field != object.end(); ++field)
            if (!field.key().startsWith(QLatin1Char('_')))
                entry[field.key().toStdString()] = ValueOf(field.value());
        entries.push_back(std::move(entry));
    }
    return entries;
}

// The entries of one action and path.
std::vector<TEntry> Of(const std::vector<TEntry>& entries, const std::string& action, const std::string& path) {
    std::vector<TEntry> found;
    for (const TEntry& entry : entries)
        if (entry.contains("SENTREL_ACTION") && entry.at("SENTREL_ACTION") == action &&
            entry.contains("SENTREL_PATH") && entry.at("SENTREL_PATH") == path)
            found.push_back(entry);
    return found;
}

bool IsRoot() {
    return ::geteuid() == 0;
}

// A port on the loopback interface that nothing listens on now.
int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    ::bind(fd, reinterpret_cast<const sockaddr*>(&address), size);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

std::string SystemdProgram(const std::string& name) {
    for (const char* folder : {"/lib/systemd/", "/usr/lib/systemd/"})
        if (std::filesystem::exists(folder + name))
            return folder + name;
    return name;
}

// journalctl's entries of journal files (a pattern: those a journal kept
// on a small file system rotated to are files of their own), those of a
// field's value when given, as JSON.
std::string JournalFileJson(const std::string& files, const std::string& match = {}) {
    QProcess journalctl;
    std::vector<std::string> arguments = {"--file", files, "-o", "json", "-q"};
    if (!match.empty())
        arguments.push_back(match);
    journalctl.start(QStringLiteral("journalctl"), Arguments(arguments));
    journalctl.waitForFinished(60000);
    return journalctl.readAllStandardOutput().toStdString();
}
} // namespace

// A change is one entry whose fields hold its paths byte for byte (a line
// break and a byte that is not UTF-8 among them), a rename one entry with
// both; past the rate, the rest of a second is summed up per folder, and
// what is sent and what is summed up add up to every change.
TEST(ConsoleJournal, ChangesAreEntriesOfTheirOwnAndNoneGoesUnsaid) {
    if (!IsRoot())
        GTEST_SKIP() << "a test journal needs root (a mount namespace of its own)";
    TTempDir dir, state;
    state.WriteFile("off.ini", "[History]\nKeep=F\n");
    const std::string json = state / "journal.json";
    TProgram console({"--journal", "--settings", state / "off.ini", dir.Path()}, nullptr, "", "",
                     {SENTREL_PRIVATE_MOUNTS, "bash", SENTREL_WITH_TEST_JOURNAL, json, SENTREL_CONSOLE_PROGRAM});
    ASSERT_TRUE(console.WaitForError("watching ")) << console.Error();
    const std::string odd = dir / "b\xff\nc";
    std::filesystem::create_directory(odd);
    std::filesystem::create_directory(dir / "a");
    std::filesystem::rename(dir / "a", dir / "z");
    constexpr int Burst = 1000;
    for (int i = 0; i < Burst; ++i)
        std::filesystem::create_directory(dir / "d" + std::to_string(i));
    ProcessEventsFor(std::chrono::milliseconds(1500));
    console.Signal(SIGTERM);
    ASSERT_EQ(console.Finish(30), 0) << console.Error();
    EXPECT_EQ(console.Output(), "") << "nothing goes to the standard output";

    const std::vector<TEntry> entries = EntriesIn(ReadAll(json));
    const std::vector<TEntry> oddEntries = Of(entries, "Added", odd);
    ASSERT_EQ(oddEntries.size(), 1u) << ReadAll(json);
    const TEntry& added = oddEntries.front();
    EXPECT_EQ(added.at("MESSAGE_ID"), "3f42d381e94745a29eafe49e0dbea322");
    EXPECT_EQ(added.at("PRIORITY"), "6");
    EXPECT_EQ(added.at("SENTREL_WATCH"), dir.Path());
    EXPECT_EQ(added.at("SENTREL_TYPE"), "folder");
    EXPECT_TRUE(added.at("MESSAGE").find(" - Added - ") != std::string::npos) << added.at("MESSAGE");

    const std::vector<TEntry> renamed = Of(entries, "Renamed", dir / "z");
    ASSERT_EQ(renamed.size(), 1u) << ReadAll(json);
    EXPECT_EQ(renamed.front().at("SENTREL_OLD_PATH"), dir / "a");
    EXPECT_EQ(renamed.front().at("MESSAGE_ID"), "55c38b7a2c3444a195fea3f0cc08314d");

    uint64_t sent = 0, summed = 0, summaries = 0;
    std::string tally; // what was sent, for a failure
    for (const TEntry& entry : entries) {
        const std::string& action = entry.at("SENTREL_ACTION");
        ASSERT_NE(action, "Changes_lost") << entry.at("MESSAGE");
        if (action == "Changes_summed_up") {
            ++summaries;
            summed += std::stoull(entry.at("SENTREL_COUNT"));
            EXPECT_EQ(entry.at("PRIORITY"), "4");
            EXPECT_TRUE(
                entry.at("MESSAGE").ends_with(" changes under " + dir.Path() + " (not kept: the history is off)"))
                << entry.at("MESSAGE");
        } else {
            ++sent;
            tally += action + " " + entry.at("SENTREL_PATH").substr(dir.Path().size()) + "\n";
        }
    }
    EXPECT_GE(summaries, 1u) << "a burst past the rate is summed up";
    EXPECT_EQ(sent + summed, Burst + 3u) << "every change is sent or summed up:\n" << tally.substr(0, 2000);
}

TEST(ConsoleJournal, WithoutAJournalItSaysSoAndFails) {
    if (!IsRoot())
        GTEST_SKIP() << "a test journal needs root (a mount namespace of its own)";
    TTempDir dir;
    TProgram console({"--journal", dir.Path()}, nullptr, "", "",
                     {SENTREL_PRIVATE_MOUNTS, "sh", "-c",
                      "mkdir -p /run/systemd && mount -t tmpfs tmpfs /run/systemd && exec \"$@\"", "sh",
                      SENTREL_CONSOLE_PROGRAM});
    EXPECT_EQ(console.Finish(), 1);
    EXPECT_NE(console.Error().find("cannot send the changes to the system journal: no system journal is running here"),
              std::string::npos)
        << console.Error();
}

// What an administrator runs: the console's entries piped to
// systemd-journal-upload, which sends them over HTTP to
// systemd-journal-remote on the central machine; every change of a burst
// arrives there with its fields. (As root the burst is read through
// fanotify, whose queue no burst overflows: what is tested is the way to
// the central journal, not the reading.)
TEST(ConsoleJournal, ABurstReachesACentralJournalWhole) {
    const char* backend = std::getenv("SENTREL_CHANGE_BACKEND");
    const std::string backendBefore = backend ? backend : "";
    if (IsRoot())
        ::setenv("SENTREL_CHANGE_BACKEND", "fanotify", 1);
    const std::shared_ptr<void> restore(nullptr, [&](void*) {
        if (backend)
            ::setenv("SENTREL_CHANGE_BACKEND", backendBefore.c_str(), 1);
        else
            ::unsetenv("SENTREL_CHANGE_BACKEND");
    });
    TTempDir dir, central;
    central.WriteFile("off.ini", "[History]\nKeep=F\n");
    const std::string journal = central / "remote.journal", arrived = central / "*.journal";
    const std::string url = "http://127.0.0.1:" + std::to_string(FreePort());
    QProcess remote;
    remote.start(QString::fromStdString(SystemdProgram("systemd-journal-remote")),
                 Arguments({"--listen-http=" + url.substr(7), "--output=" + journal, "--split-mode=none"}));
    ASSERT_TRUE(remote.waitForStarted()) << "systemd-journal-remote: " << remote.errorString().toStdString();
    TProgram console({"--format", "export", "--settings", central / "off.ini", dir.Path()}, nullptr, "", "",
                     {"bash", "-c", "upload=$1 url=$2; shift 2; exec \"$@\" > >(exec \"$upload\" --url=\"$url\" -)",
                      "upload", SystemdProgram("systemd-journal-upload"), url, SENTREL_CONSOLE_PROGRAM});
    ASSERT_TRUE(console.WaitForError("watching ")) << console.Error();

    // Changes: three before the burst's files, and the last one.
    constexpr int Burst = 10000;
    const std::string odd = dir / "caf\xe9 \x01\n";
    std::filesystem::create_directory(odd);
    std::filesystem::create_directory(dir / "old");
    std::filesystem::rename(dir / "old", dir / "new");
    for (int i = 0; i < Burst - 4; ++i)
        std::ofstream(dir / "d" + std::to_string(i));
    std::filesystem::create_directory(dir / "last");
    const bool lastArrived = ProcessEventsUntil(
        [&] { return !JournalFileJson(arrived, "SENTREL_PATH=" + dir / "last").empty(); }, std::chrono::seconds(60));
    console.Signal(SIGTERM);
    EXPECT_EQ(console.Finish(), 0) << console.Error();
    remote.terminate();
    remote.waitForFinished();
    ASSERT_TRUE(lastArrived) << console.Error() << remote.readAllStandardError().toStdString();

    const std::vector<TEntry> entries = EntriesIn(JournalFileJson(arrived));
    std::set<std::string> added;
    for (const TEntry& entry : entries) {
        ASSERT_NE(entry.at("SENTREL_ACTION"), "Changes_lost") << entry.at("MESSAGE");
        if (entry.at("SENTREL_ACTION") == "Added")
            added.insert(entry.at("SENTREL_PATH"));
    }
    EXPECT_EQ(added.size(), Burst - 1u) << "every entry made";
    EXPECT_TRUE(added.contains(odd));
    for (int i = 0; i < Burst - 4; ++i)
        ASSERT_TRUE(added.contains(dir / "d" + std::to_string(i))) << i;
    const std::vector<TEntry> renamed = Of(entries, "Renamed", dir / "new");
    ASSERT_EQ(renamed.size(), 1u);
    EXPECT_EQ(renamed.front().at("SENTREL_OLD_PATH"), dir / "old");
    EXPECT_EQ(renamed.front().at("SYSLOG_IDENTIFIER"), "sentrel");
}
