#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "app/eventlog.h"
#include "app/globals.h"
#include "platform/sys.h"
#include "tests/unit/fake_ui.h"
#include "tests/unit/test_support.h"

namespace {

// The log file lands in the test run's current folder.
std::string logFile() { return readFile(LOG_FILE_NAME); }

class EventLog : public ::testing::Test {
protected:
    void SetUp() override {
        resetAppState();
        sysDeleteFile(LOG_FILE_NAME);
    }
    void TearDown() override { consoleMode = false; }
};

TEST_F(EventLog, LineGoesToListAndTimestampedToFile) {
    logMessage("hello %d", 7);
    logMessage("");
    ASSERT_EQ(fakeUi.list.size(), 2u);
    EXPECT_EQ(fakeUi.list[0], "hello 7");
    EXPECT_EQ(fakeUi.list[1], "");
    std::string text = logFile();
    // "YYYY/MM/DD   hh:mm:ss" then two tabs, then the text.
    ASSERT_GE(text.size(), 23u);
    EXPECT_EQ(text[4], '/');
    EXPECT_EQ(text.substr(10, 3), "   ");
    EXPECT_EQ(text.substr(21, 2), "\t\t");
    size_t first = text.find('\n');
    ASSERT_NE(first, std::string::npos);
    std::string line1 = text.substr(0, first);
    if (!line1.empty() && line1.back() == '\r') line1.pop_back();
    EXPECT_EQ(line1.substr(23), "hello 7");
    std::string rest = text.substr(first + 1);
    if (!rest.empty() && rest.back() == '\n') rest.pop_back();
    if (!rest.empty() && rest.back() == '\r') rest.pop_back();
    EXPECT_EQ(rest.size(), 23u) << "an empty text is the stamp and two tabs";
}

TEST_F(EventLog, TimestampFormat) {
    struct tm t = {};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 8;
    t.tm_hour = 4;
    t.tm_min = 7;
    t.tm_sec = 19;
    char stamp[50];
    ASSERT_TRUE(formatLogTimestamp(stamp, sizeof stamp, t));
    EXPECT_STREQ(stamp, "2026/12/08   04:07:19\t\t");
    char tiny[10];
    EXPECT_FALSE(formatLogTimestamp(tiny, sizeof tiny, t));
}

TEST_F(EventLog, AppendsAcrossRunsAndKeepsOlderLines) {
    writeFile(LOG_FILE_NAME, "older line\n");
    logMessage("newer");
    std::string text = logFile();
    EXPECT_EQ(text.rfind("older line", 0), 0u);
    EXPECT_NE(text.find("newer"), std::string::npos);
}

TEST_F(EventLog, OverlongTextIsCutSafely) {
    std::string huge(5000, 'x');
    logMessage("%s", huge.c_str());
    ASSERT_EQ(fakeUi.list.size(), 1u);
    EXPECT_EQ(fakeUi.list[0], std::string(2559, 'x'));
    showWarning("%s%s", huge.c_str(), huge.c_str());
    ASSERT_EQ(fakeUi.warnings.size(), 1u);
    EXPECT_EQ(fakeUi.warnings[0].size(), 2559u);
}

TEST_F(EventLog, WarningsAreNotLogged) {
    showWarning("Failed to %s.\nPlease try again or contact %s", "install", SUPPORT_CONTACT);
    ASSERT_EQ(fakeUi.warnings.size(), 1u);
    EXPECT_EQ(fakeUi.warnings[0], std::string("Failed to install.\nPlease try again or contact ") + SUPPORT_CONTACT);
    EXPECT_TRUE(fakeUi.list.empty());
    EXPECT_EQ(logFile(), "");
}

TEST_F(EventLog, ConsoleModeTouchesNeitherListNorFile) {
    logMessage("before");
    consoleMode = true;
    logMessage("packing");
    dropLastListEntry();
    consoleMode = false;
    ASSERT_EQ(fakeUi.list.size(), 1u);
    EXPECT_EQ(fakeUi.list[0], "before");
    EXPECT_EQ(logFile().find("packing"), std::string::npos);
}

TEST_F(EventLog, SequenceCountsEveryLine) {
    unsigned before = logSequence();
    logMessage("a");
    logMessage("b");
    EXPECT_EQ(logSequence(), before + 2);
}

}  // namespace
