#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/config.h"
#include "app/globals.h"
#include "tests/unit/fake_ui.h"
#include "tests/unit/test_support.h"

namespace {

std::string classify(const char* text, SetupLine* kind = nullptr) {
    char line[1000];
    strcpy(line, text);
    char address[20] = "unchanged";
    SetupLine k = parseSetupLine(line, address, sizeof address);
    if (kind) *kind = k;
    return address;
}

TEST(SetupIni, ConnectLinesAreCaseInsensitiveAndRebuilt) {
    EXPECT_EQ(classify("connect:10.1.2.3\n"), "10.1.2.3");
    EXPECT_EQ(classify("CONNECT: 10.1.2.3"), "10.1.2.3");
    EXPECT_EQ(classify("CONNECT:010.001.002.003\r"), "10.1.2.3");
    EXPECT_EQ(classify("Connect:300.1.1.1"), "300.1.1.1");  // kept as written
}

TEST(SetupIni, SkippedLines) {
    for (const char* text : {"", "\n", " CONNECT:10.1.2.3", "\tCONNECT:10.1.2.3", "//CONNECT:10.1.2.3",
                             "/x", "SERVER:10.2.3.4", "CONNECT"}) {
        SetupLine kind;
        EXPECT_EQ(classify(text, &kind), "unchanged") << text;
        EXPECT_EQ(kind, SetupLine::Skipped) << text;
    }
}

TEST(SetupIni, ValuesThatAreNotAnAddressAreRefused) {
    SetupLine kind;
    EXPECT_EQ(classify("CONNECT:10.1.2", &kind), "unchanged");
    EXPECT_EQ(kind, SetupLine::BadAddress);
    EXPECT_EQ(classify("CONNECT:server.example", &kind), "unchanged");
    EXPECT_EQ(kind, SetupLine::BadAddress);
    // Four numbers that rebuild to more than 19 characters do not fit.
    EXPECT_EQ(classify("CONNECT:-1000000.-100000.1.1", &kind), "unchanged");
    EXPECT_EQ(kind, SetupLine::TooLong);
    EXPECT_EQ(classify("CONNECT:-100.-100.-100.-10", &kind), "-100.-100.-100.-10");
}

TEST(SetupIni, FileIsReadLineByLineAndLastConnectWins) {
    ScratchDir dir("ini");
    writeFile(dir / "setup.ini",
              "// comment\nCONNECT:10.0.0.7\n CONNECT:10.9.9.9\nconnect:010.000.000.001\nCONNECT:x\n");
    resetAppState();
    FILE* f = fopen((dir / "setup.ini").c_str(), "rt");
    ASSERT_NE(f, nullptr);
    readSetupIni(f);
    fclose(f);
    EXPECT_STREQ(serverAddress, "10.0.0.1");
    ASSERT_EQ(fakeUi.list.size(), 3u);
    EXPECT_EQ(fakeUi.list[0], "server IP: 10.0.0.7");
    EXPECT_EQ(fakeUi.list[1], "server IP: 10.0.0.1");
    EXPECT_NE(fakeUi.list[2].find("ignored"), std::string::npos);
}

TEST(SetupIni, LongPhysicalLineIsReadInPieces) {
    // 999 characters per read: the rest of a long line is a line of its own.
    ScratchDir dir("ini");
    writeFile(dir / "setup.ini", std::string(999, 'x') + "CONNECT:10.2.3.4\n");
    resetAppState();
    FILE* f = fopen((dir / "setup.ini").c_str(), "rt");
    ASSERT_NE(f, nullptr);
    readSetupIni(f);
    fclose(f);
    EXPECT_STREQ(serverAddress, "10.2.3.4");
}

TEST(LauncherIni, TestMarker) {
    EXPECT_TRUE(isTestMarkerLine("test"));
    EXPECT_TRUE(isTestMarkerLine("TESTING=1"));
    EXPECT_TRUE(isTestMarkerLine("TeSt\n"));
    EXPECT_FALSE(isTestMarkerLine(" TEST"));
    EXPECT_FALSE(isTestMarkerLine("TES"));
    EXPECT_FALSE(isTestMarkerLine(""));

    ScratchDir dir("ini");
    writeFile(dir / "a.ini", "x=1\n TEST\nTESTING=1\nother\n");
    writeFile(dir / "b.ini", "x=1\n TEST\n");
    FILE* f = fopen((dir / "a.ini").c_str(), "rt");
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(scanLauncherIni(f));
    fclose(f);
    f = fopen((dir / "b.ini").c_str(), "rt");
    ASSERT_NE(f, nullptr);
    EXPECT_FALSE(scanLauncherIni(f));
    fclose(f);
}

std::string installDirOf(const char* cmd, InstallDirSwitch* kind = nullptr, size_t cap = 500) {
    char out[500] = "C:\\KAVO";
    InstallDirSwitch k = parseInstallDirSwitch(cmd, out, cap);
    if (kind) *kind = k;
    return out;
}

TEST(CommandLine, InstallDirValue) {
    EXPECT_EQ(installDirOf("-installDir:\"D:\\Games\\KAVO\""), "D:\\Games\\KAVO");
    EXPECT_EQ(installDirOf("-installDir:D:\\X"), ":\\X");  // the character after the colon is dropped
    EXPECT_EQ(installDirOf("-x -installDir:\"D:\\A B\" -other \"q\""), "D:\\A B");
    EXPECT_EQ(installDirOf("-installDir:\"D:\\open ended"), "D:\\open ended");
    InstallDirSwitch kind;
    EXPECT_EQ(installDirOf("nothing here", &kind), "C:\\KAVO");
    EXPECT_EQ(kind, InstallDirSwitch::Absent);
    EXPECT_EQ(installDirOf("-installDir:", &kind), "C:\\KAVO");
    EXPECT_EQ(kind, InstallDirSwitch::Empty);
    EXPECT_EQ(installDirOf("-installDir:\"", &kind), "C:\\KAVO");
    EXPECT_EQ(kind, InstallDirSwitch::Empty);
    EXPECT_EQ(installDirOf("-installDir:\"\"", &kind), "C:\\KAVO");
    EXPECT_EQ(kind, InstallDirSwitch::Empty);
}

// Switches count only as words of their own outside quotes: a folder whose
// name holds "-silent" or "-uninstall" must switch nothing on.
TEST(CommandLine, SwitchesAreWordsOfTheirOwn) {
    struct Row {
        const char* line;
        const char* name;
        bool found;
        const char* value;  // what follows a switch ending in ':'
    };
    const Row rows[] = {
        {"-silent", "-silent", true, nullptr},
        {"  -installDir:\"D:\\K\" -silent\t", "-silent", true, nullptr},
        {"-silent -update:OSKE_ALL", "-silent", true, nullptr},
        {"-silentx", "-silent", false, nullptr},
        {"x-silent", "-silent", false, nullptr},
        {"-Silent", "-silent", false, nullptr},
        {"-installDir:\"D:\\my -silent folder\"", "-silent", false, nullptr},
        {"-uninstall", "-uninstall", true, nullptr},
        {"-installDir:\"D:\\x\" -uninstall", "-uninstall", true, nullptr},
        {"-installDir:\"Z:\\work\\a-uninstall\\KAVO\"", "-uninstall", false, nullptr},
        {"-uninstalled", "-uninstall", false, nullptr},
        {"-uninstallAfter:12", "-uninstall", false, nullptr},
        {"-uninstall -uninstallAfter:12 -silent", "-uninstallAfter:", true, "12 -silent"},
        {"-installDir:\"x -uninstallAfter:9\"", "-uninstallAfter:", false, nullptr},
        {"-uninstall -installDir:\"C:\\K -uninstallAfter:1\" -uninstallAfter:42", "-uninstallAfter:", true, "42"},
        {"", "-silent", false, nullptr},
    };
    for (const Row& r : rows) {
        const char* value = nullptr;
        EXPECT_EQ(hasSwitchWord(r.line, r.name, &value), r.found) << r.line;
        if (r.value) {
            EXPECT_STREQ(value, r.value) << r.line;
        }
    }
    EXPECT_FALSE(hasSwitchWord(nullptr, "-silent"));
    EXPECT_TRUE(fakeUi.warnings.empty());
}

TEST(CommandLine, InstallDirQuoteSearchStopsAfter260Characters) {
    std::string longValue(300, 'a');
    std::string cmd = "-installDir:\"" + longValue.substr(0, 260) + "\"tail";
    // The quote is the 261st character: the value runs to the end.
    EXPECT_EQ(installDirOf(cmd.c_str()), longValue.substr(0, 260) + "\"tail");
    cmd = "-installDir:\"" + longValue.substr(0, 259) + "\"tail";
    EXPECT_EQ(installDirOf(cmd.c_str()), longValue.substr(0, 259));
    // A value longer than the 500-byte buffer is refused, never cut.
    InstallDirSwitch kind;
    cmd = "-installDir:\"" + std::string(600, 'b');
    EXPECT_EQ(installDirOf(cmd.c_str(), &kind), "C:\\KAVO");
    EXPECT_EQ(kind, InstallDirSwitch::TooLong);
}

std::string selected(const char* chosen, bool test, size_t cap = 500) {
    char dir[500];
    strcpy(dir, chosen);
    if (!applyProductFolder(dir, cap, test)) return "refused:" + std::string(dir);
    return dir;
}

TEST(FolderSelection, ProductFolderSuffix) {
    EXPECT_EQ(selected("D:\\Programs", false), "D:\\Programs\\KAVO");
    EXPECT_EQ(selected("D:\\", false), "D:\\KAVO");
    EXPECT_EQ(selected("D:/x/", false), "D:/x/KAVO");
    EXPECT_EQ(selected("D:\\Tools\\kavo", false), "D:\\Tools\\kavo");
    EXPECT_EQ(selected("D:\\MyKAVO", false), "D:\\MyKAVO");  // only trailing characters count
    EXPECT_EQ(selected("D:\\KAVO", true), "D:\\KAVO\\KAVO_TEST");
    EXPECT_EQ(selected("D:\\x\\kavo_test", true), "D:\\x\\kavo_test");
    EXPECT_EQ(selected("AV", false), "AV\\KAVO");
    std::string longDir(495, 'd');
    EXPECT_EQ(selected(longDir.c_str(), false), "refused:" + longDir);
}

}  // namespace
