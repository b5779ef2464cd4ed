#include "Testing.h"

#include "platform/files/FileReplace.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {
// The names in a folder, but the given ones.
std::vector<std::string> OtherNames(const std::string& folder, std::initializer_list<std::string> known) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (std::find(known.begin(), known.end(), name) == known.end())
            names.push_back(name);
    }
    return names;
}

mode_t ModeOf(const std::string& path) {
    struct stat status {};
    ::stat(path.c_str(), &status);
    return status.st_mode & 07777;
}
} // namespace

TEST(FileReplace, ANewFileAnOldOneAndALinkAreReplacedWhole) {
    TTempDir dir;
    std::string reason;
    ASSERT_TRUE(ReplaceFileContents(dir / "new.txt", "fresh", TInPlace::Never, reason)) << reason;
    EXPECT_EQ(ReadAll(dir / "new.txt"), "fresh");
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(ModeOf(dir / "new.txt"), 0666 & ~mask) << "a new file gets what the umask allows";

    dir.WriteFile("old.txt", "a much longer old content");
    ::chmod((dir / "old.txt").c_str(), 0640);
    ASSERT_TRUE(ReplaceFileContents(dir / "old.txt", "short", TInPlace::Never, reason)) << reason;
    EXPECT_EQ(ReadAll(dir / "old.txt"), "short");
    EXPECT_EQ(ModeOf(dir / "old.txt"), 0640u) << "the old file's permissions stay";

    dir.MakeDir("kept");
    dir.WriteFile("kept/target.ini", "old");
    fs::create_symlink(dir / "kept/target.ini", dir / "link.ini");
    ASSERT_TRUE(ReplaceFileContents(dir / "link.ini", "through the link", TInPlace::Never, reason)) << reason;
    EXPECT_TRUE(fs::is_symlink(dir / "link.ini")) << "the link stays a link";
    EXPECT_EQ(ReadAll(dir / "kept/target.ini"), "through the link");
    EXPECT_TRUE(OtherNames(dir.Path(), {"new.txt", "old.txt", "kept", "link.ini"}).empty());
}

// Each way a save can fail leaves the old file whole, no temporary file
// beside it, and the system's reason.
TEST(FileReplace, AFailedReplacementLeavesTheOldFileAndNoTrace) {
    TTempDir dir;
    TSmallFileSystem small(dir / "small");
    if (!small.Mounted())
        GTEST_SKIP() << "a full disk needs a file system of the test's own, which only root may mount";
    const std::string file = dir / "small/settings.ini";
    const std::string old = "old settings";
    const std::string larger(64 * 1024, 'n');
    std::string reason;
    ASSERT_TRUE(ReplaceFileContents(file, old, TInPlace::Never, reason)) << reason;
    ::chmod(file.c_str(), 0666);
    ::chmod(dir.Path().c_str(), 0755);

    EXPECT_THROW(ReplaceFileContents(file, "new", TInPlace::Never, reason, [] { throw std::runtime_error("crash"); }),
                 std::runtime_error);
    EXPECT_EQ(ReadAll(file), old) << "a crash before the new file takes its place";

    // As an ordinary user the folder takes no new file, but the file itself may be written.
    const auto asUser = [&](TInPlace inPlace, const std::string& content, const std::string& expectedReason) {
        return RunAsOrdinaryUser([&] {
            std::string why;
            return !ReplaceFileContents(file, content, inPlace, why) && why == expectedReason;
        });
    };
    EXPECT_EQ(asUser(TInPlace::Never, "new", "Permission denied"), 0) << "a shut folder, and no rewriting in place";

    small.Fill();
    EXPECT_FALSE(ReplaceFileContents(file, larger, TInPlace::Never, reason));
    EXPECT_EQ(reason, "No space left on device");
    EXPECT_EQ(asUser(TInPlace::WhenFolderIsShut, larger, "No space left on device"), 0)
        << "rewriting in place secures the room first";
    EXPECT_EQ(ReadAll(file), old);
    EXPECT_TRUE(OtherNames(dir / "small", {"settings.ini", "filler"}).empty());

    ::unlink((dir / "small/filler").c_str());
    EXPECT_EQ(RunAsOrdinaryUser([&] {
                  std::string why;
                  return ReplaceFileContents(file, "rewritten", TInPlace::WhenFolderIsShut, why);
              }),
              0);
    EXPECT_EQ(ReadAll(file), "rewritten") << "with room, a file in a shut folder is rewritten in place";
}

TEST(FileReplace, WhatAnUnfinishedReplacementLeftIsRemovedAndNothingElse) {
    TTempDir dir;
    for (const char* name : {"sentrel.ini", ".sentrel.ini.saving-a1B2c3", ".sentrel.ini.saving-abc",
                             ".other.ini.saving-a1B2c3", "sentrel.ini.saving-a1B2c3"})
        dir.WriteFile(name);
    {
        TReplaceLock lock(dir / "sentrel.ini");
        RemoveUnfinishedReplacements(dir / "sentrel.ini");
    }
    EXPECT_EQ(OtherNames(dir.Path(), {"sentrel.ini", ".sentrel.ini.saving-abc", ".other.ini.saving-a1B2c3",
                                      "sentrel.ini.saving-a1B2c3"}),
              std::vector<std::string>{});
    EXPECT_FALSE(fs::exists(dir / ".sentrel.ini.saving-a1B2c3"));
}
