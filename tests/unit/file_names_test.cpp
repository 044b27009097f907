// The system's naming rules shared by the packer and the unpacker.
#include <gtest/gtest.h>

#include <cstring>

#include "base/file_names.h"

namespace {

struct NameRow {
    const char* rule;
    const char* name;
    bool device;
};

// The system's reserved device names, one rule a group of rows.
const NameRow DEVICE_ROWS[] = {
    {"bare names", "CON", true},
    {"bare names", "PRN", true},
    {"bare names", "AUX", true},
    {"bare names", "NUL", true},
    {"console names", "CONIN$", true},
    {"console names", "CONOUT$", true},
    {"ports 0 to 9", "COM0", true},
    {"ports 0 to 9", "COM9", true},
    {"ports 0 to 9", "LPT0", true},
    {"ports 0 to 9", "LPT5", true},
    {"superscript digits of the code page", "COM\xB9", true},
    {"superscript digits of the code page", "COM\xB2", true},
    {"superscript digits of the code page", "LPT\xB3", true},
    {"any letter case", "nul", true},
    {"any letter case", "cOm1", true},
    {"any letter case", "conout$", true},
    {"with an extension", "NUL.txt", true},
    {"with an extension", "nul.tar.gz", true},
    {"with an extension", "lpt\xB2.log", true},
    {"spaces before the extension", "COM1 .log", true},
    {"spaces before the extension", "PRN   .x", true},
    {"dots before the extension", "aux..txt", true},
    {"longer names are files", "COM10", false},
    {"longer names are files", "CONIN", false},
    {"longer names are files", "NULL", false},
    {"longer names are files", "LPT\xB9\xB9", false},
    {"other high bytes are no digits", "COM\xB4", false},
    {"other high bytes are no digits", "COM\xBC", false},
    {"the name decides, not the extension", "x.CON", false},
    {"the name decides, not the extension", "readme.nul", false},
    {"a prefix is not the name", "CON_", false},
    {"a prefix is not the name", "AUX1", false},
};

TEST(FileNames, DeviceNamesFollowTheSystemsRules) {
    for (const NameRow& r : DEVICE_ROWS) {
        EXPECT_EQ(isDeviceName(r.name, strlen(r.name)), r.device) << r.rule << ": " << r.name;
        const char* problem = fileNameProblem(r.name, strlen(r.name));
        if (r.device) EXPECT_STREQ(problem, "device name") << r.name;
        else EXPECT_EQ(problem, nullptr) << r.rule << ": " << r.name;
    }
}

TEST(FileNames, FoldingComparesAsTheSystemDoes) {
    EXPECT_EQ(foldedName("A.UNWRAP", 8), foldedName("a.unwrap", 8));
    EXPECT_EQ(foldedName("\xC4rger\\X", 7), foldedName("\xE4rger/x", 7));
    EXPECT_NE(foldedName("\xD7", 1), foldedName("\xF7", 1));  // multiply and divide signs differ
}

}  // namespace
