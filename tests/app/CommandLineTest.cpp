#include "Testing.h"

#include "app/CommandLine.h"

#include <gtest/gtest.h>

namespace {
using TMode = TCommandLine::TMode;

TCommandLine Parse(std::vector<std::string> arguments, const std::string& currentFolder = "/") {
    return ParseCommandLine(arguments, currentFolder);
}

std::string ParseErrorIn(const std::string& currentFolder, std::vector<std::string> arguments) {
    try {
        Parse(std::move(arguments), currentFolder);
    } catch (const ECommandLineError& error) {
        return error.Message();
    }
    return "(accepted)";
}

std::string ErrorOf(std::vector<std::string> arguments) {
    return ParseErrorIn("/", std::move(arguments));
}
} // namespace

TEST(CommandLine, ModesAndOptions) {
    TTempDir dir;
    dir.WriteFile("s.ini");
    EXPECT_EQ(Parse({}).Mode, TMode::Window);
    EXPECT_EQ(Parse({"--help"}).Mode, TMode::Help);
    EXPECT_EQ(Parse({"-h", "--bogus"}).Mode, TMode::Help) << "help asked first wins over what follows";
    EXPECT_EQ(Parse({"--version"}).Mode, TMode::Version);

    const TCommandLine console = Parse({"--console", "--verbose", "--settings", dir / "s.ini", dir.Path()});
    EXPECT_EQ(console.Mode, TMode::Console);
    EXPECT_TRUE(console.Verbose);
    EXPECT_EQ(console.SettingsFile, dir / "s.ini");
    EXPECT_EQ(Parse({"--settings", dir / "new.ini"}).SettingsFile, dir / "new.ini")
        << "the window's file need not exist yet";
    EXPECT_EQ(console.Folders, std::vector<std::string>{dir.Path()});
    EXPECT_EQ(Parse({"--settings=/x/a=b.ini"}).SettingsFile, "/x/a=b.ini");
    EXPECT_FALSE(Parse({dir.Path()}).Verbose);
    EXPECT_TRUE(console.CatchUp);
    EXPECT_FALSE(Parse({"--console", "--no-catch-up", dir.Path()}).CatchUp);
    using enum TCommandLine::TFormat;
    for (const auto& [given, format] : {std::pair{"text", Text}, {"json", Json}, {"ecs", Ecs}, {"export", Export}}) {
        EXPECT_EQ(Parse({"--console", "--format", given, dir.Path()}).Format, format) << given;
        EXPECT_EQ(Parse({"--console", std::string("--format=") + given, dir.Path()}).Format, format) << given;
    }
    EXPECT_EQ(console.Format, Text);
    EXPECT_EQ(Parse({"--console", "--journal", dir.Path()}).Format, Journal);
}

TEST(CommandLine, FoldersAreMadeAbsoluteAndKeptByteForByte) {
    TTempDir dir;
    const std::string odd = "sub \xff\xfe name";
    dir.MakeDir(odd);
    dir.MakeDir("-dash");
    EXPECT_EQ(Parse({"./" + odd + "/"}, dir.Path()).Folders, std::vector<std::string>{dir / odd});
    EXPECT_EQ(Parse({dir.Path() + "//" + odd + "/."}).Folders, std::vector<std::string>{dir / odd});
    EXPECT_EQ(Parse({"--", "-dash"}, dir.Path()).Folders, std::vector<std::string>{dir / "-dash"})
        << "after -- a name with a leading dash is a folder";
    EXPECT_EQ(Parse({"/"}).Folders, std::vector<std::string>{"/"});
    EXPECT_EQ(Parse({dir.Path(), dir.Path() + "/"}).Folders, (std::vector<std::string>{dir.Path(), dir.Path()}))
        << "the same folder twice is left to the watch list, which keeps one";
}

TEST(CommandLine, MistakesAreNamed) {
    TTempDir dir;
    dir.WriteFile("file");
    EXPECT_EQ(ErrorOf({"--bogus"}), "unknown option --bogus");
    EXPECT_EQ(ErrorOf({"-x", dir.Path()}), "unknown option -x");
    EXPECT_EQ(ErrorOf({dir / "missing"}), "there is no folder " + dir / "missing");
    EXPECT_EQ(ErrorOf({dir / "file"}), dir / "file" + " is not a folder");
    EXPECT_EQ(ParseErrorIn("", {"."}), "the current folder is gone, so there is no folder .");
    EXPECT_EQ(ErrorOf({"--console"}), "--console needs at least one folder to watch");
    EXPECT_EQ(ErrorOf({"--settings"}), "option --settings needs a file name");
    EXPECT_EQ(ErrorOf({"--settings="}), "option --settings needs a file name");
    EXPECT_EQ(ErrorOf({"--console", "--format", "JSON", dir.Path()}),
              "unknown format JSON: the formats are text, json, ecs and export");
    EXPECT_EQ(ErrorOf({"--console", "--format"}), "option --format needs text, json, ecs or export");
    EXPECT_EQ(ErrorOf({"--format", "ecs", dir.Path()}), "--format is for the console: add --console");
    EXPECT_EQ(ErrorOf({"--console", "--settings", dir / "none.ini", dir.Path()}),
              "there is no settings file " + dir / "none.ini");
    EXPECT_EQ(ErrorOf({"--console", "--settings", dir.Path(), dir.Path()}), "there is no settings file " + dir.Path())
        << "a folder is no settings file";
    for (const char* consoleOnly : {"--no-catch-up", "--helper", "--journal"})
        EXPECT_EQ(ErrorOf({consoleOnly, dir.Path()}), "--history, --since, --until, --no-catch-up, --process, "
                                                      "--helper and --journal are for the console: add --console");
    EXPECT_EQ(ErrorOf({"--console", "--journal", "--format", "json", dir.Path()}),
              "--journal sends the changes to the system journal, --format writes them to the standard output: "
              "give one of them");
    for (const char* printing : {"--history", "--since=today"})
        EXPECT_EQ(ErrorOf({"--console", "--journal", printing, dir.Path()}),
                  "--history and --since print what the history kept: they send nothing to the journal, which has "
                  "its own");
}
