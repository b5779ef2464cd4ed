#include "Testing.h"

#include "runtime/Exception.h"
#include "settings/UtilObj.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {
// Points UtilObj at a file in a folder of this test, and back when it ends.
class UtilObjTest : public ::testing::Test {
protected:
    UtilObjTest() : FBefore(UtilObj.GetIniFileName()) { UtilObj.SetIniFileName(Ini); }
    ~UtilObjTest() override {
        UtilObj.SetIniFileName(FBefore);
        TUtilObj::SetBeforeReplace(nullptr);
    }
    std::vector<std::string> Section(const std::string& name) {
        std::vector<std::string> lines{"left over"};
        UtilObj.ReadSection(name, lines);
        return lines;
    }

    TTempDir Dir;
    const std::string Ini = Dir / "Mon.ini";

private:
    std::string FBefore;
};

} // namespace

TEST(UtilObjLocation, NameAndFolderRules) {
    EXPECT_EQ(TUtilObj::IniFileNameFor("/opt/tools/Mon.exe", true, "/home/ann/.config/sentrel"), "/opt/tools/Mon.ini");
    EXPECT_EQ(TUtilObj::IniFileNameFor("/opt/tools/a.b.exe", true, "/cfg"), "/opt/tools/a.ini")
        << "named after the part before the first dot";
    EXPECT_EQ(TUtilObj::IniFileNameFor("/opt/tools/sentrel", true, "/cfg"), "/opt/tools/sentrel.ini")
        << "a name without a dot never gives a file named ini";
    EXPECT_EQ(TUtilObj::IniFileNameFor("/usr/bin/sentrel", false, "/home/ann/.config/sentrel"),
              "/home/ann/.config/sentrel/sentrel.ini");
    EXPECT_EQ(TUtilObj::IniFileNameFor("/usr/bin/sentrel", false, "/home/ann/.config/sentrel/"),
              "/home/ann/.config/sentrel/sentrel.ini");
}

TEST(UtilObjLocation, SystemProgramFoldersAreNoPortableHome) {
    for (const char* folder : {"/usr/bin", "/usr", "/usr/local/bin", "/bin", "/sbin"})
        EXPECT_TRUE(TUtilObj::IsSystemProgramFolder(folder)) << folder;
    for (const char* folder : {"/opt/sentrel", "/home/ann/bin", "/usrlocal", "/binaries", "/", ""})
        EXPECT_FALSE(TUtilObj::IsSystemProgramFolder(folder)) << folder;
}

TEST(UtilObjLocation, ComputedNameIsBesideTheTestProgramOrInTheConfigFolder) {
    const std::string set = UtilObj.GetIniFileName();
    UtilObj.SetIniFileName({});
    const std::string computed = UtilObj.GetIniFileName(); // only computed: nothing is created
    UtilObj.SetIniFileName(set);
    EXPECT_TRUE(computed.ends_with("/toolkit_widget_tests.ini")) << computed;
    EXPECT_NE(set, computed) << "the test program points UtilObj at a temporary file";
}

TEST_F(UtilObjTest, AReadOfAnExistingSectionOnlyCreatesNothing) {
    std::vector<std::string> lines{"left over"};
    UtilObj.ReadExistingSection("ExcludedDirs", lines);
    EXPECT_TRUE(lines.empty());
    EXPECT_FALSE(std::filesystem::exists(Ini));
    std::ofstream(Ini) << "[ExcludedDirs]\n1=/b/\n0=/a/\nx=/c/\n";
    UtilObj.ReadExistingSection("ExcludedDirs", lines);
    EXPECT_EQ(TUtilObj::ListValues(lines), (std::vector<std::string>{"/a/", "/b/"}))
        << "numbered keys in the order of their numbers; a key of another name is never read";
}

TEST_F(UtilObjTest, FirstReadCreatesAnEmptyFileAndGivesNothing) {
    ASSERT_FALSE(std::filesystem::exists(Ini));
    EXPECT_TRUE(Section("WatchDirs").empty());
    ASSERT_TRUE(std::filesystem::exists(Ini));
    EXPECT_EQ(std::filesystem::file_size(Ini), 0u);
    EXPECT_TRUE(UtilObj.EnsureIniFile());
}

TEST_F(UtilObjTest, EnsureIniFileMakesTheConfigurationFolder) {
    UtilObj.SetIniFileName(Dir / "config/sentrel/sentrel.ini");
    EXPECT_TRUE(UtilObj.EnsureIniFile());
    EXPECT_TRUE(std::filesystem::exists(Dir / "config/sentrel/sentrel.ini"));
}

TEST_F(UtilObjTest, NumberedSectionIsErasedBeforeItIsWritten) {
    UtilObj.WriteSection("WatchDirs", {"/a", "/b", "/c"}, true);
    EXPECT_EQ(Section("WatchDirs"), (std::vector<std::string>{"0=/a", "1=/b", "2=/c"}));
    UtilObj.WriteSection("WatchDirs", {"/x", "/y"}, true);
    EXPECT_EQ(Section("WatchDirs"), (std::vector<std::string>{"0=/x", "1=/y"}));
    EXPECT_NE(ReadAll(Ini).find("[WatchDirs]\n0=/x\n1=/y\n"), std::string::npos) << ReadAll(Ini);
    UtilObj.WriteSection("WatchDirs", {}, true);
    EXPECT_TRUE(Section("WatchDirs").empty());
    EXPECT_EQ(ReadAll(Ini).find("WatchDirs"), std::string::npos) << "an empty list leaves no section";
}

TEST_F(UtilObjTest, KeyValueLinesSplitAtTheFirstEqualsAndCutAt1000) {
    const std::string longValue(1500, 'v');
    UtilObj.WriteSection("Misc", {"a=b=c", "Long=" + longValue, "HexEditor=/opt/hex ed=1", "a=later"}, false);
    EXPECT_EQ(Section("Misc"), (std::vector<std::string>{"a=later", "Long=" + std::string(1000, 'v'),
                                                         "HexEditor=/opt/hex ed=1"}));
    UtilObj.WriteSection("Misc", {"a=b=c"}, false);
    EXPECT_EQ(Section("Misc"), (std::vector<std::string>{"a=b=c"}));
}

TEST_F(UtilObjTest, KeysInFileOrderAndNamesIgnoreCase) {
    std::ofstream(Ini) << "[other]\nkeep=1\n[MISC]\nzeta=1\nAlpha=2\nmiddle=3\n";
    EXPECT_EQ(Section("misc"), (std::vector<std::string>{"zeta=1", "Alpha=2", "middle=3"}));
    UtilObj.WriteSection("Misc", {"ZETA=9"}, false);
    EXPECT_EQ(Section("Misc"), (std::vector<std::string>{"ZETA=9"}));
    EXPECT_EQ(Section("OTHER"), (std::vector<std::string>{"keep=1"})) << "sections of other names stay";
}

// Values a name or a user may give, each of which once broke the file:
// quotes read back cut, a "<<<" start swallowed the rest of the file, line
// breaks let a name write keys and sections of its own.
TEST_F(UtilObjTest, EveryValueReadsBackByteForByteAndNoValueMakesAKeyOrASection) {
    std::vector<std::string> values{
        " /lead", "/trail ", "/with \"quotes\"", "\"/opt/hex tool/hexed\" \"--ro\"", "\"", "\"\"", "\"a\"",
        "<<<END", "<<<", "=", "a=b", ";", "#", "[Misc]", "\\", "\\x41", "\\n", "\"\\\"", "/not-utf8-\xff\xfe",
        "caf\xc3\xa9 \xe2\x82\xac", "\xc2\x85next-line", "tab\there", "\t", "  ", "", "cr\rlf\ncrlf\r\n",
        "x\n[Misc]\nHexEditor=/tmp/evil",
        "a\nEND_OF_TEXT\n[Misc]\nHexEditor=sh -c 'touch /tmp/owned' x\nzz=<<<NEVER",
        std::string("nul\0inside", 10)};
    for (int byte = 1; byte < 256; ++byte) {
        values.push_back(std::string(1, static_cast<char>(byte)));
        values.push_back("/a" + std::string(1, static_cast<char>(byte)) + "b");
    }
    UtilObj.WriteSections({{"WatchDirs", values, true}, {"Misc", {"HexEditor=/opt/hex"}, false}});

    EXPECT_EQ(TUtilObj::ListValues(Section("WatchDirs")), values);
    EXPECT_EQ(Section("Misc"), std::vector<std::string>{"HexEditor=/opt/hex"});
    const TIniSections sections = UtilObj.ReadSections();
    EXPECT_EQ(sections.size(), 2u) << ReadAll(Ini);
    EXPECT_EQ(Section("WatchDirs").size(), values.size()) << "one key per value, no other";
}

TEST_F(UtilObjTest, OrdinaryValuesAreStoredAsTheyStandAndHandWrittenOnesLoad) {
    UtilObj.WriteSections({{"WatchDirs", {"/home/ann/a b.txt", "*.tmp", "/x/with \"quotes\" inside"}, true},
                           {"Misc", {"HexEditor=/opt/hex ed --mode=x"}, false}});
    EXPECT_EQ(ReadAll(Ini), "[WatchDirs]\n0=/home/ann/a b.txt\n1=*.tmp\n2=/x/with \"quotes\" inside\n\n\n"
                            "[Misc]\nHexEditor=/opt/hex ed --mode=x\n");

    std::ofstream(Ini) << "[Misc]\nHexEditor=\"/opt/hex tool/hexed\" \"--ro\"\n"
                          "Quoted=\" /lead \"\nWindows=\"C:\\Temp\\ \"\nCrlf=value\r\n";
    EXPECT_EQ(Section("Misc"), (std::vector<std::string>{"HexEditor=\"/opt/hex tool/hexed\" \"--ro\"",
                                                         "Quoted= /lead ", "Windows=C:\\Temp\\ ", "Crlf=value"}))
        << "a quotation mark inside a quoted value keeps the value as typed";
}

TEST_F(UtilObjTest, LayoutRoundTripAndNonNumericValuesKeepTheGeometry) {
    QWidget window;
    window.setGeometry(30, 40, 300, 200);
    UtilObj.SaveLayout(window);
    EXPECT_EQ(Section("Layout"),
              (std::vector<std::string>{"Top=40", "Left=30", "Width=300", "Height=200"}));
    QWidget other;
    other.setGeometry(1, 2, 100, 100);
    UtilObj.RestoreLayout(other);
    EXPECT_EQ(other.frameGeometry(), QRect(30, 40, 300, 200)) << "the outer size and place, frame and all";

    UtilObj.WriteSection("Layout", {"Top=abc", "Left=20", "Width=", "height=-5x"}, false);
    QWidget kept;
    kept.setGeometry(7, 8, 120, 90);
    UtilObj.RestoreLayout(kept);
    EXPECT_EQ(kept.frameGeometry(), QRect(20, 8, 120, 90));

    UtilObj.WriteSection("Layout", {"Top=-5000", "Left=-6000"}, false);
    UtilObj.RestoreLayout(kept);
    EXPECT_TRUE(QGuiApplication::primaryScreen()->availableGeometry().contains(kept.frameGeometry()))
        << "a place off every screen is brought onto the primary one";
}

TEST_F(UtilObjTest, FirstStartRestoreLayoutKeepsTheGeometry) {
    QWidget window;
    window.setGeometry(11, 12, 210, 160);
    UtilObj.RestoreLayout(window);
    EXPECT_EQ(window.frameGeometry(), QRect(11, 12, 210, 160));
}

TEST_F(UtilObjTest, ReadOnlyFolderRaisesErrorsNamingThePath) {
    Dir.MakeDir("locked");
    const std::string locked = Dir / "locked/sentrel.ini";
    {
        TReadOnlyFolder readOnly(Dir / "locked");
        if (!readOnly.Effective())
            GTEST_SKIP() << "no way to make a read-only folder here";
        UtilObj.SetIniFileName(locked);
        try {
            UtilObj.WriteSection("Misc", {"Minimize=T"}, false);
            ADD_FAILURE() << "no error";
        } catch (const EFCreateError& error) {
            EXPECT_NE(error.Message().find(locked), std::string::npos) << error.Message();
        }
        std::vector<std::string> lines;
        EXPECT_THROW(UtilObj.ReadSection("Misc", lines), EFCreateError);
    }
    // The file exists but its folder takes no new file: the save cannot
    // replace it and says so.
    std::ofstream(locked) << "[Misc]\nMinimize=F\n";
    TReadOnlyFolder readOnly(Dir / "locked");
    try {
        UtilObj.WriteSection("Misc", {"Minimize=T"}, false);
        ADD_FAILURE() << "no error";
    } catch (const EIniFileError& error) {
        EXPECT_THAT(error.Message(), ::testing::StartsWith("Unable to write to " + locked + "\r\n"))
            << "the path, then the system's reason";
    }
    EXPECT_EQ(ReadAll(locked), "[Misc]\nMinimize=F\n");
}

TEST_F(UtilObjTest, InterruptedSaveLeavesTheOldFile) {
    UtilObj.WriteSection("WatchDirs", {"/a", "/b"}, true);
    const std::string before = ReadAll(Ini);
    TUtilObj::SetBeforeReplace([](const std::string&) { throw std::runtime_error("crash"); });
    EXPECT_THROW(UtilObj.WriteSection("WatchDirs", {"/new"}, true), std::runtime_error);
    TUtilObj::SetBeforeReplace(nullptr);
    EXPECT_EQ(ReadAll(Ini), before);
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(Dir.Path()))
        ++files;
    EXPECT_EQ(files, 1u) << "no temporary file is left behind";
}
