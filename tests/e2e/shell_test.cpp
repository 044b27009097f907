// The application shell end to end: window, controls, log file, command
// line, TEST edition and the ways the program ends.
#include <gtest/gtest.h>

#include "tests/e2e/harness.h"

namespace {

// No update server listens on this loopback address in these tests.
const char* kSetupNoServer = "CONNECT:127.0.0.2\n";

std::string start(const E2eDir&, const std::string& args = "") {
    return "start " + installerExe() + (args.empty() ? "" : " " + args);
}

TEST(Shell, WindowAndControlsAreLaidOutAsDesigned) {
    E2eDir d;
    writeText(d / "setup.ini", kSetupNoServer);
    Report r = d.drive({start(d), "window 20000", "box KAVO_Warning ok 20000", "info", "edit", "status", "command 8003", "waitexit 10000"});
    ASSERT_TRUE(r.ok()) << r.raw;
    EXPECT_EQ(r.get("title"), "KAVO Installer");
    EXPECT_EQ(r.get("class"), "wndClass_KAVO_installer");
    EXPECT_EQ(r.get("client"), "400 250");
    // Centred on the 1024 x 768 screen; the frame extends right and down.
    EXPECT_EQ(r.get("rect").rfind("312 259 ", 0), 0u) << r.get("rect");
    // Caption and close box, no minimise/maximise box, not resizable.
    unsigned long style = std::stoul(r.get("style"), nullptr, 16);
    EXPECT_EQ(style & 0x06080000ul, 0x06080000ul);
    EXPECT_EQ(style & 0x00070000ul, 0x00080000ul & 0x00070000ul) << r.get("style");

    std::vector<std::string> controls = r.all("control");
    ASSERT_EQ(controls.size(), 6u) << r.raw;
    // class|text|id|x y w h|style|visibility
    auto field = [](const std::string& c, int n) {
        size_t pos = 0;
        for (int i = 0; i < n; ++i) pos = c.find('|', pos) + 1;
        return c.substr(pos, c.find('|', pos) - pos);
    };
    EXPECT_EQ(field(controls[0], 0), "ListBox");
    EXPECT_EQ(field(controls[0], 3), "5 5 390 160");
    // The list hides an unneeded vertical bar itself; the rest stays.
    EXPECT_EQ(std::stoul(field(controls[0], 4), nullptr, 16) & ~0x00200000ul, 0x50B04100ul & ~0x00200000ul);
    EXPECT_EQ(field(controls[1], 0), "Edit");
    EXPECT_EQ(field(controls[1], 1), "C:\\KAVO");
    EXPECT_EQ(field(controls[1], 3), "5 180 300 25");
    // An edit control turns WS_BORDER into its client edge.
    EXPECT_EQ(std::stoul(field(controls[1], 4), nullptr, 16) & ~0x00800000ul, 0x50000880ul);
    EXPECT_EQ(controls[2], "Button|select|8000|310 180 85 25|50000000|visible");
    EXPECT_EQ(controls[3], "Button|INSTALL|8001|310 210 85 35|50000000|visible");
    EXPECT_EQ(controls[4], "Static||0|10 210 250 20|50000000|visible");
    EXPECT_EQ(field(controls[5], 0), "msctls_progress32");
    EXPECT_EQ(field(controls[5], 3), "5 230 300 15");
    EXPECT_EQ(field(controls[5], 5), "hidden");
    EXPECT_EQ(r.get("edit"), "C:\\KAVO");
    EXPECT_EQ(r.get("status"), "");
    EXPECT_EQ(r.get("progress.visible"), "0");
    EXPECT_EQ(r.get("exit"), "0");
}

TEST(Shell, LogFileGetsTimestampedLinesAndRunsAppend) {
    E2eDir d;
    writeText(d / "setup.ini", "// comment\nconnect:127.000.000.002\n");
    for (int run = 0; run < 2; ++run) {
        Report r = d.drive({start(d), "window 20000", "box KAVO_Warning ok 20000", "waitlist 10000 KAVO Installer - 1.03.8", "list",
                            "command 8003", "waitexit 10000"});
        ASSERT_TRUE(r.ok()) << r.raw;
        // The setup.ini lines come before the list exists: file only.
        std::vector<std::string> list = r.list();
        ASSERT_GE(list.size(), 2u);
        EXPECT_EQ(list[0], "KAVO Installer - 1.03.8");
        EXPECT_EQ(list[1], "");
    }
    bool formatOk = false;
    std::vector<std::string> texts = logTexts(d / "KAVO_install_log.txt", &formatOk);
    EXPECT_TRUE(formatOk) << readText(d / "KAVO_install_log.txt");
    std::vector<std::string> firstRun(texts.begin(), texts.begin() + 5);
    EXPECT_EQ(firstRun, (std::vector<std::string>{"Load setup.ini:", "server IP: 127.0.0.2", "Load setup.ini - DONE!",
                                                  "KAVO Installer - 1.03.8", ""}));
    // The second run appended its own lines after the first run's.
    int versions = 0;
    for (const auto& t : texts) versions += t == "KAVO Installer - 1.03.8";
    EXPECT_EQ(versions, 2);
}

TEST(Shell, TestEditionAsksFirstAndUsesItsFolder) {
    E2eDir d;
    writeText(d / "setup.ini", kSetupNoServer);
    system(("mkdir -p '" + d / "KAVO_data'").c_str());
    writeText(d / "KAVO_data/launcher.ini", "lang=en\nTESTING=1\n");
    Report r = d.drive({start(d), "box KAVO_TEST ok 20000", "window 20000", "box KAVO_Warning ok 20000", "edit", "command 8003",
                        "waitexit 10000"});
    ASSERT_TRUE(r.ok()) << r.raw;
    EXPECT_EQ(r.get("box"), "KAVO TEST|This is KAVO TEST version!");
    EXPECT_EQ(r.get("edit"), "C:\\KAVO_TEST");
}

TEST(Shell, IndentedTestLineIsNoMarker) {
    E2eDir d;
    writeText(d / "setup.ini", kSetupNoServer);
    system(("mkdir -p '" + d / "KAVO_data'").c_str());
    writeText(d / "KAVO_data/launcher.ini", " TEST\n");
    Report r = d.drive({start(d), "nobox KAVO_TEST 1500", "window 20000", "box KAVO_Warning ok 20000", "edit", "command 8003",
                        "waitexit 10000"});
    ASSERT_TRUE(r.ok()) << r.raw;
    EXPECT_EQ(r.get("edit"), "C:\\KAVO");
}

TEST(Shell, InstallDirSwitchIsShownInTheEditField) {
    E2eDir d;
    writeText(d / "setup.ini", kSetupNoServer);
    Report r = d.drive({start(d, "-x -installDir:\"D:\\Games\\KAVO\" -other"), "window 20000", "box KAVO_Warning ok 20000", "edit",
                        "command 8003", "waitexit 10000"});
    ASSERT_TRUE(r.ok()) << r.raw;
    EXPECT_EQ(r.get("edit"), "D:\\Games\\KAVO");
}

TEST(Shell, QuitCommandAndIdleCloseEndWithExitCodeZero) {
    E2eDir d;
    writeText(d / "setup.ini", kSetupNoServer);
    Report quit = d.drive({start(d), "window 20000", "box KAVO_Warning ok 20000", "command 8003", "waitexit 10000"});
    ASSERT_TRUE(quit.ok()) << quit.raw;
    EXPECT_EQ(quit.get("exit"), "0");
    // Closing while idle asks nothing.
    Report close = d.drive({start(d), "window 20000", "box KAVO_Warning ok 20000", "close", "nobox Installation_in_Progress 1000",
                            "waitexit 10000"});
    ASSERT_TRUE(close.ok()) << close.raw;
    EXPECT_EQ(close.get("exit"), "0");
}

}  // namespace
