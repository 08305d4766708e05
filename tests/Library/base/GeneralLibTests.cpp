#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "Errors.h"
#include "GeneralLib.h"
#include "SerialPort.h"
#include "TestFiles.h"

namespace fs = std::filesystem;
using namespace veltest;

namespace {

const char* const Variables[] = {"HOME",
                                 "XDG_CONFIG_HOME",
                                 "XDG_DATA_HOME",
                                 "XDG_DOCUMENTS_DIR",
                                 "XDG_PUBLICSHARE_DIR",
                                 "XDG_PICTURES_DIR"};

// A temporary home; every variable the folders depend on is saved, cleared and restored.
class FoldersTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* v : Variables) unsetenv(v);
        setenv("HOME", Home().c_str(), 1);
    }
    std::string Home() const { return FRoot.Path("home"); }
    void WriteUserDirs(const std::string& Folder, const std::string& Text) {
        fs::create_directories(Folder);
        WriteFile(Folder + "/user-dirs.dirs", Text);
    }

    TSavedEnvironment FSaved{Variables};
    TTempDir FRoot{"folders"};
};

struct TFolderCase {
    const char* Name;
    int Folder;
    std::vector<std::pair<const char*, const char*>> Env;  // "~" stands for the test's home
    const char* UserDirs;                                  // in ~/.config, or nullptr
    const char* Expected;                                  // "~" stands for the test's home
};

class SpecialFolderTest : public FoldersTest, public ::testing::WithParamInterface<TFolderCase> {};

std::string Expand(const std::string& Text, const std::string& Home) {
    return !Text.empty() && Text[0] == '~' ? Home + Text.substr(1) : Text;
}

TEST_P(SpecialFolderTest, FollowsTheEnvironment) {
    const TFolderCase& c = GetParam();
    for (auto& [name, value] : c.Env) setenv(name, Expand(value, Home()).c_str(), 1);
    if (c.UserDirs) WriteUserDirs(Home() + "/.config", c.UserDirs);
    EXPECT_EQ(GetSpecialFolderPath(c.Folder), Expand(c.Expected, Home()));
}

INSTANTIATE_TEST_SUITE_P(
    Paths, SpecialFolderTest,
    ::testing::Values(
        TFolderCase{"DocumentsFromVariable",
                    sfPersonal,
                    {{"XDG_DOCUMENTS_DIR", "/data/docs"}},
                    nullptr,
                    "/data/docs/"},
        TFolderCase{
            "DocumentsVariableWithHome", sfPersonal, {{"XDG_DOCUMENTS_DIR", "$HOME/D"}}, nullptr, "~/D/"},
        TFolderCase{"DocumentsFromUserDirs",
                    sfPersonal,
                    {},
                    "# comment\nXDG_DOCUMENTS_DIR=\"$HOME/My Docs\"\n",
                    "~/My Docs/"},
        TFolderCase{"LastUserDirsLineWins",
                    sfPersonal,
                    {},
                    "XDG_DOCUMENTS_DIR=\"/a\"\nXDG_DOCUMENTS_DIR=\"/b\"\n",
                    "/b/"},
        TFolderCase{
            "UserDirsRelativeIgnored", sfPersonal, {}, "XDG_DOCUMENTS_DIR=\"Docs\"\n", "~/Documents/"},
        TFolderCase{"DocumentsDefault", sfPersonal, {}, nullptr, "~/Documents/"},
        TFolderCase{"UnknownOrdinalIsDocuments", 6, {{"XDG_DOCUMENTS_DIR", "/d"}}, nullptr, "/d/"},
        TFolderCase{"NegativeOrdinalIsDocuments", -1, {}, nullptr, "~/Documents/"},
        TFolderCase{
            "ConfigFromVariable", sfCommonAppData, {{"XDG_CONFIG_HOME", "/etc/xdg/"}}, nullptr, "/etc/xdg/"},
        TFolderCase{
            "ConfigRelativeIgnored", sfCommonAppData, {{"XDG_CONFIG_HOME", "rel"}}, nullptr, "~/.config/"},
        TFolderCase{"ConfigDefault", sfCommonAppData, {}, nullptr, "~/.config/"},
        TFolderCase{"DataFromVariable", sfLocalAppData, {{"XDG_DATA_HOME", "/var/d"}}, nullptr, "/var/d/"},
        TFolderCase{"DataDefault", sfLocalAppData, {}, nullptr, "~/.local/share/"},
        TFolderCase{"PublicDefault", sfCommonDocuments, {}, nullptr, "~/Public/"},
        TFolderCase{"PublicFromUserDirs",
                    sfCommonDocuments,
                    {},
                    "XDG_PUBLICSHARE_DIR=\"$HOME/Shared\"\n",
                    "~/Shared/"},
        TFolderCase{"PicturesFromVariable", sfMyPictures, {{"XDG_PICTURES_DIR", "/p"}}, nullptr, "/p/"},
        TFolderCase{"PicturesDefault", sfMyPictures, {}, nullptr, "~/Pictures/"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(FoldersTest, UserDirsFollowsConfigHome) {
    setenv("XDG_CONFIG_HOME", FRoot.Path("cfg").c_str(), 1);
    WriteUserDirs(FRoot.Path("cfg"), "XDG_PICTURES_DIR=\"$HOME/Pics\"\n");
    WriteUserDirs(Home() + "/.config", "XDG_PICTURES_DIR=\"$HOME/Wrong\"\n");
    EXPECT_EQ(GetSpecialFolderPath(sfMyPictures), Home() + "/Pics/");
}

TEST_F(FoldersTest, ProgramFilesIsTheLibFolderBesideTheProgramsFolder) {
    std::string expected = fs::canonical("/proc/self/exe").parent_path().parent_path().string() + "/lib/";
    EXPECT_EQ(GetSpecialFolderPath(sfProgramFiles), expected);
}

TEST_F(FoldersTest, WithoutHomeVariableUsesTheAccountsHome) {
    unsetenv("HOME");
    std::string path = GetSpecialFolderPath(sfCommonAppData);
    EXPECT_EQ(path.front(), '/');
    EXPECT_EQ(path.substr(path.size() - 9), "/.config/");
}

TEST_F(FoldersTest, InitApplicationFoldersCreatesBothWithParents) {
    setenv("XDG_CONFIG_HOME", FRoot.Path("a/b").c_str(), 1);
    setenv("XDG_DOCUMENTS_DIR", FRoot.Path("c/d").c_str(), 1);
    InitApplicationFolders();
    EXPECT_EQ(ApplicationFolders.AppSettingsPath, FRoot.Path("a/b/Tarnwick/Velmorant/"));
    EXPECT_EQ(ApplicationFolders.UserDataPath, FRoot.Path("c/d/Velmorant/"));
    EXPECT_TRUE(fs::is_directory(ApplicationFolders.AppSettingsPath));
    EXPECT_TRUE(fs::is_directory(ApplicationFolders.UserDataPath));
}

TEST_F(FoldersTest, InitApplicationFoldersIgnoresFoldersItCannotMake) {
    WriteFile(FRoot.Path("file"), "x");
    setenv("XDG_CONFIG_HOME", FRoot.Path("file/cfg").c_str(), 1);
    setenv("XDG_DOCUMENTS_DIR", FRoot.Path("docs").c_str(), 1);
    EXPECT_NO_THROW(InitApplicationFolders());
    EXPECT_EQ(ApplicationFolders.AppSettingsPath, FRoot.Path("file/cfg/Tarnwick/Velmorant/"));
    EXPECT_TRUE(fs::is_directory(FRoot.Path("docs/Velmorant")));
}

TEST_F(FoldersTest, PortLinksLiveInTheSettingsFolder) {
    for (const std::string& config : {std::string(), std::string("rel/cfg"), FRoot.Path("cfg")}) {
        setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        InitApplicationFolders();
        EXPECT_EQ(SerialPortLinksFolder(), ApplicationFolders.AppSettingsPath) << config;
        EXPECT_EQ(AppSettingsFolder().find("rel/"), std::string::npos) << config;
    }
}

TEST_F(FoldersTest, ForceDirectories) {
    EXPECT_TRUE(ForceDirectories(FRoot.Path("x/y/z/")));
    EXPECT_TRUE(fs::is_directory(FRoot.Path("x/y/z")));
    EXPECT_TRUE(ForceDirectories(FRoot.Path("x/y/z"))) << "an existing folder is fine";
    WriteFile(FRoot.Path("f"), "x");
    EXPECT_FALSE(ForceDirectories(FRoot.Path("f/g")));
    EXPECT_FALSE(ForceDirectories(FRoot.Path("f")));
    EXPECT_FALSE(ForceDirectories(""));
}

}  // namespace
