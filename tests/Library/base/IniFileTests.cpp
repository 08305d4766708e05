#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <random>

#include "Errors.h"
#include "IniFile.h"
#include "TestFiles.h"

namespace fs = std::filesystem;
using namespace veltest;

namespace {

class IniFileTest : public ::testing::Test {
protected:
    std::string Path(const std::string& Name) const { return FDir.Path(Name); }

    TTempDir FDir{"inifile"};
};

struct TReadCase {
    const char* Name;
    const char* Content;
    const char* Section;
    const char* Key;
    const char* Expected;
};

class IniReadTest : public IniFileTest, public ::testing::WithParamInterface<TReadCase> {};

TEST_P(IniReadTest, ReadsValueAsWritten) {
    const TReadCase& c = GetParam();
    WriteFile(Path("f.ini"), c.Content);
    TIniFile ini(Path("f.ini"));
    EXPECT_EQ(ini.ReadString(c.Section, c.Key, "<default>"), c.Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, IniReadTest,
    ::testing::Values(TReadCase{"CaseOfNames", "[Sec]\nKey=v\n", "sEC", "KEY", "v"},
                      TReadCase{"BlanksAroundNamesAndValue", "  [ Sec ]  \n \t Key  =  v w \t\n", "Sec",
                                "Key", "v w"},
                      TReadCase{"DoubleQuotesKeepBlanks", "[S]\nK=\"  x  \"\n", "S", "K", "  x  "},
                      TReadCase{"SingleQuotes", "[S]\nK='y'\n", "S", "K", "y"},
                      TReadCase{"QuotesMustMatch", "[S]\nK=\"z'\n", "S", "K", "\"z'"},
                      TReadCase{"OnlyOnePairRemoved", "[S]\nK=\"\"a\"\"\n", "S", "K", "\"a\""},
                      TReadCase{"LoneQuote", "[S]\nK=\"\n", "S", "K", "\""},
                      TReadCase{"EmptyQuotes", "[S]\nK=\"\"\n", "S", "K", ""},
                      TReadCase{"EmptyValueIsNotMissing", "[S]\nK=\n", "S", "K", ""},
                      TReadCase{"CrLf", "[S]\r\nK=v\r\nL=w\r\n", "S", "L", "w"},
                      TReadCase{"NoFinalLineEnd", "[S]\nK=last", "S", "K", "last"},
                      TReadCase{"EqualsInValue", "[S]\nK=a=b\n", "S", "K", "a=b"},
                      TReadCase{"CommentSkipped", "[S]\n;K=c\nK=v\n", "S", "K", "v"},
                      TReadCase{"IndentedCommentIsNoKey", "[S]\n  ; K=c\n", "S", "K", "<default>"},
                      TReadCase{"GarbageSkipped", "[S]\ngarbage line\n=novalue\nK=v\n", "S", "K", "v"},
                      TReadCase{"CommentAfterSectionName", "[S] ; note\nK=v\n", "S", "K", "v"},
                      TReadCase{"FirstOccurrenceWins", "[S]\nK=1\nk=2\n", "S", "K", "1"},
                      TReadCase{"KeyOfOtherSection", "[A]\nK=1\n[B]\nJ=2\n", "B", "K", "<default>"},
                      TReadCase{"KeyBeforeAnySection", "K=0\n[S]\nJ=1\n", "S", "K", "<default>"},
                      TReadCase{"UnclosedSectionIsGarbage", "[S\nK=v\n", "S", "K", "<default>"},
                      TReadCase{"MissingSection", "[S]\nK=v\n", "T", "K", "<default>"},
                      TReadCase{"EmptyFile", "", "S", "K", "<default>"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(IniFileTest, LongValuesAreCutAt2047Characters) {
    std::string ascii(3000, 'a');
    std::string accented;
    for (int i = 0; i < 3000; ++i) accented += "\xC3\xA9";
    WriteFile(Path("f.ini"), "[S]\nA=" + ascii + "\nB=" + accented + "\nC=" + std::string(2047, 'c') + "\n");
    TIniFile ini(Path("f.ini"));
    EXPECT_EQ(ini.ReadString("S", "A", ""), std::string(2047, 'a'));
    std::string b = ini.ReadString("S", "B", "");
    EXPECT_EQ(b.size(), 2047u * 2) << "a character is never split";
    EXPECT_EQ(ini.ReadString("S", "C", ""), std::string(2047, 'c'));
}

TEST_F(IniFileTest, IntegersAndBooleans) {
    WriteFile(Path("f.ini"),
              "[S]\nhex=0x0F\nupper=0X1f\ndollar=$10\nword=abc\nempty=\nbare=0x\nneg=-1\nbig=256\n"
              "spaced= 12 \ntail=12abc\nhuge=99999999999\ntwo=2\ntrue=true\nzero=0\n");
    TIniFile ini(Path("f.ini"));
    struct {
        const char* Key;
        int Expected;
    } ints[] = {{"hex", 15}, {"upper", 31}, {"dollar", 16}, {"word", -7}, {"empty", -7}, {"bare", -7},
                {"neg", -1}, {"big", 256},  {"spaced", 12}, {"tail", -7}, {"huge", -7},  {"missing", -7}};
    for (const auto& c : ints) EXPECT_EQ(ini.ReadInteger("S", c.Key, -7), c.Expected) << c.Key;

    struct {
        const char* Key;
        bool Default, Expected;
    } bools[] = {{"two", false, true},  {"true", false, false},  {"true", true, true},
                 {"zero", true, false}, {"missing", true, true}, {"neg", false, true}};
    for (const auto& c : bools) EXPECT_EQ(ini.ReadBool("S", c.Key, c.Default), c.Expected) << c.Key;
}

struct TWriteCase {
    const char* Name;
    const char* Before;
    const char* Section;
    const char* Key;
    const char* Value;
    const char* After;
};

class IniWriteTest : public IniFileTest, public ::testing::WithParamInterface<TWriteCase> {};

TEST_P(IniWriteTest, ChangesOnlyWhatItMust) {
    const TWriteCase& c = GetParam();
    if (c.Before) WriteFile(Path("f.ini"), c.Before);
    TIniFile ini(Path("f.ini"));
    ini.WriteString(c.Section, c.Key, c.Value);
    EXPECT_EQ(ReadFile(Path("f.ini")), c.After);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, IniWriteTest,
    ::testing::Values(
        TWriteCase{"NewFile", nullptr, "S", "K", "v", "[S]\nK=v\n"},
        TWriteCase{"ReplaceInPlace", "; head\r\n[S]\r\nA = 1\r\nK = old\r\n\r\n[T]\r\nX=9", "S", "K", "new",
                   "; head\r\n[S]\r\nA = 1\r\nK = new\r\n\r\n[T]\r\nX=9"},
        TWriteCase{"KeepsNameAsFound", "[s]\nkEy=1\n", "S", "KEY", "2", "[s]\nkEy=2\n"},
        TWriteCase{"NewKeyAfterLastKey", "[S]\nA=1\n;tail\n\n[T]\nB=2\n", "S", "C", "3",
                   "[S]\nA=1\nC=3\n;tail\n\n[T]\nB=2\n"},
        TWriteCase{"NewKeyInEmptySection", "[S]\n[T]\n", "S", "A", "1", "[S]\nA=1\n[T]\n"},
        TWriteCase{"NewKeyAtEndOfFile", "[S]\nA=1", "S", "B", "2", "[S]\nA=1\nB=2\n"},
        TWriteCase{"NewSectionAtEnd", "[S]\nA=1", "T", "B", "2", "[S]\nA=1\n\n[T]\nB=2\n"},
        TWriteCase{"NewSectionAfterBlankLine", "[S]\nA=1\n\n", "T", "B", "2", "[S]\nA=1\n\n[T]\nB=2\n"},
        TWriteCase{"CrLfFileStaysCrLf", "[S]\r\nA=1\r\n", "T", "B", "2", "[S]\r\nA=1\r\n\r\n[T]\r\nB=2\r\n"},
        TWriteCase{"LineBreaksBecomeBlanks", "", "S", "K", "a\r\nb\nc", "[S]\nK=a  b c\n"},
        TWriteCase{"OuterBlanksQuoted", "", "S", "K", " x ", "[S]\nK=\" x \"\n"},
        TWriteCase{"OuterQuotesQuoted", "", "S", "K", "'q'", "[S]\nK=\"'q'\"\n"},
        TWriteCase{"InnerQuotesAsThey", "", "S", "K", "a \"b\" c", "[S]\nK=a \"b\" c\n"},
        TWriteCase{"EmptyValue", "[S]\nK=x\n", "S", "K", "", "[S]\nK=\n"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(IniFileTest, WhatIsWrittenReadsBackTheSame) {
    std::mt19937 rng(7);
    const std::string alphabet = " \t=;[]\"'abcXYZ09$#\\\xC3\xA9";
    TIniFile ini(Path("f.ini"));
    std::vector<std::pair<std::string, std::string>> written;
    for (int i = 0; i < 60; ++i) {
        std::string value;
        int length = static_cast<int>(rng() % 12);
        for (int j = 0; j < length; ++j) value += alphabet[rng() % alphabet.size()];
        if (value.size() && (static_cast<unsigned char>(value.back()) == 0xC3)) value.pop_back();
        std::string key = "Key" + std::to_string(i);
        ini.WriteString(i % 2 ? "Odd" : "Even", key, value);
        written.emplace_back(key, value);
    }
    TIniFile fresh(Path("f.ini"));
    for (size_t i = 0; i < written.size(); ++i)
        EXPECT_EQ(fresh.ReadString(i % 2 ? "odd" : "even", written[i].first, "<missing>"), written[i].second)
            << "value #" << i;
}

TEST_F(IniFileTest, WritingTheSameValueDoesNotTouchTheFile) {
    WriteFile(Path("f.ini"), "[S]\nK = \"5\"\nT=' a '\n");
    struct stat before {};
    ASSERT_EQ(stat(Path("f.ini").c_str(), &before), 0);
    ASSERT_EQ(chmod(Path("f.ini").c_str(), 0444), 0);  // a write would fail loudly
    TIniFile ini(Path("f.ini"));
    EXPECT_NO_THROW(ini.WriteString("s", "k", "5"));
    EXPECT_NO_THROW(ini.WriteInteger("S", "K", 5));
    EXPECT_NO_THROW(ini.WriteString("S", "T", " a "));
    struct stat after {};
    ASSERT_EQ(stat(Path("f.ini").c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(ReadFile(Path("f.ini")), "[S]\nK = \"5\"\nT=' a '\n");
}

TEST_F(IniFileTest, KeepsPermissionBitsAndSymbolicLinks) {
    WriteFile(Path("real.ini"), "[S]\nK=1\n");
    ASSERT_EQ(chmod(Path("real.ini").c_str(), 0640), 0);
    ASSERT_EQ(symlink("real.ini", Path("link.ini").c_str()), 0);
    TIniFile ini(Path("link.ini"));
    ini.WriteInteger("S", "K", 2);
    struct stat st {};
    ASSERT_EQ(lstat(Path("link.ini").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat(Path("real.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(ReadFile(Path("real.ini")), "[S]\nK=2\n");
    EXPECT_EQ(SortedNames(FDir.Path()), (std::vector<std::string>{"link.ini", "real.ini"}));
}

TEST_F(IniFileTest, SeesChangesMadeByOthers) {
    WriteFile(Path("f.ini"), "[S]\nK=1\n");
    TIniFile ini(Path("f.ini"));
    EXPECT_EQ(ini.ReadInteger("S", "K", 0), 1);
    WriteFile(Path("f.ini"), "[S]\nK=22\nJ=3\n");
    EXPECT_EQ(ini.ReadInteger("S", "K", 0), 22);
    ini.WriteInteger("S", "L", 4);
    EXPECT_EQ(ReadFile(Path("f.ini")), "[S]\nK=22\nJ=3\nL=4\n");
}

TEST_F(IniFileTest, SectionsInFileOrder) {
    WriteFile(Path("f.ini"), "[Beta]\n[alpha]\n[BETA]\n; [Gamma]\n[ Delta ]\n");
    TIniFile ini(Path("f.ini"));
    EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"Beta", "alpha", "Delta"}));
    EXPECT_TRUE(ini.SectionExists("ALPHA"));
    EXPECT_FALSE(ini.SectionExists("Gamma"));
    EXPECT_TRUE(ini.FileReadable());
}

TEST_F(IniFileTest, FolderAsFileNameReadsDefaultsAndCannotBeWritten) {
    TIniFile ini(FDir.Path());
    EXPECT_EQ(ini.ReadString("S", "K", "d"), "d");
    EXPECT_FALSE(ini.FileReadable());
    EXPECT_FALSE(ini.OpenError().empty());
    EXPECT_THROW(ini.WriteString("S", "K", "v"), EFileError);
    EXPECT_TRUE(fs::is_directory(FDir.Path()));
}

TEST_F(IniFileTest, UnreadableFileIsNotRewritten) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
    WriteFile(Path("f.ini"), "[S]\nK=old\nJ=keep\n");
    chmod(Path("f.ini").c_str(), 0200);
    TIniFile ini(Path("f.ini"));
    EXPECT_THROW(ini.WriteString("S", "K", "new"), EFileError);
    chmod(Path("f.ini").c_str(), 0600);
    EXPECT_EQ(ReadFile(Path("f.ini")), "[S]\nK=old\nJ=keep\n");
}

// Each way a write can fail: the error names the file, the old file stays, no temporary file is left.
struct TFailCase {
    const char* Name;
    std::function<std::string(IniFileTest&, const std::string& Dir)> Arrange;  // returns the file name
};

class IniWriteFailureTest : public IniFileTest, public ::testing::WithParamInterface<TFailCase> {
public:
    bool Mount() { return FDir.MountSmallTmpfs(); }
};

TEST_P(IniWriteFailureTest, LeavesTheOldFileAlone) {
    std::string file = GetParam().Arrange(*this, FDir.Path());
    if (file.empty()) GTEST_SKIP() << "cannot mount a tmpfs here";
    std::string folder = fs::path(file).parent_path().string();
    bool existed = fs::exists(file);
    std::string before = existed ? ReadFile(file) : std::string();
    std::vector<std::string> namesBefore = SortedNames(folder);

    TIniFile ini(file);
    try {
        ini.WriteString("S", "K", "new");
        FAIL() << "no error";
    } catch (const EFileError& e) {
        EXPECT_STREQ(e.what(), ("Unable to write to " + file).c_str());
    }
    EXPECT_EQ(fs::exists(file), existed);
    if (existed) {
        EXPECT_EQ(ReadFile(file), before);
    }
    EXPECT_EQ(SortedNames(folder), namesBefore);  // no temporary file left behind
    EXPECT_EQ(ini.ReadString("S", "K", "none"), existed ? "old" : "none") << "the object follows the disk";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IniWriteFailureTest,
    ::testing::Values(TFailCase{"ReadOnlyFile",
                                [](IniFileTest&, const std::string& Dir) {
                                    WriteFile(Dir + "/f.ini", "[S]\nK=old\n");
                                    chmod((Dir + "/f.ini").c_str(), 0444);
                                    return Dir + "/f.ini";
                                }},
                      TFailCase{"MissingFolder",
                                [](IniFileTest&, const std::string& Dir) { return Dir + "/none/f.ini"; }},
                      TFailCase{"ReadOnlyFolder",
                                [](IniFileTest&, const std::string& Dir) {
                                    fs::create_directory(Dir + "/ro");
                                    WriteFile(Dir + "/ro/f.ini", "[S]\nK=old\n");
                                    chmod((Dir + "/ro").c_str(), 0555);
                                    return Dir + "/ro/f.ini";
                                }},
                      TFailCase{"FullDisk",
                                [](IniFileTest& T, const std::string& Dir) {
                                    if (!static_cast<IniWriteFailureTest&>(T).Mount()) return std::string();
                                    WriteFile(Dir + "/f.ini", "[S]\nK=old\n");
                                    int fd = open((Dir + "/filler").c_str(), O_WRONLY | O_CREAT, 0644);
                                    std::string block(4096, 'x');
                                    while (write(fd, block.data(), block.size()) > 0) {
                                    }
                                    close(fd);
                                    return Dir + "/f.ini";
                                }}),
    [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
