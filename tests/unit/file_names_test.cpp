// The system's naming rules shared by the packer and the unpacker.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/file_names.h"
#include "platform/sys.h"

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
    {"any letter case", "nul", true},
    {"any letter case", "cOm1", true},
    {"any letter case", "conout$", true},
    {"with an extension", "NUL.txt", true},
    {"with an extension", "nul.tar.gz", true},
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

// A port digit is one character however many bytes the code page gives it:
// "COM" with a superscript one, two or three is a device in Windows-1252
// (0xB9, 0xB2, 0xB3) and where the code page is UTF-8 (0xC2 0xB9 ...), and
// the same bytes in a code page that reads them as other characters are a
// plain name.
TEST(FileNames, SuperscriptPortDigitIsOneCharacterOfTheCodePage) {
    for (unsigned char digit : {0xB9, 0xB2, 0xB3})
        for (std::string form : {std::string(1, static_cast<char>(digit)), std::string("\xC2") + static_cast<char>(digit)}) {
            uint16_t u[4];
            bool superscript = sysNameToUtf16(form.data(), form.size(), u, 4) == 1 && u[0] == digit;
            for (const char* port : {"COM", "lpt"})
                for (const char* tail : {"", ".txt", " .log"}) {
                    std::string name = port + form + tail;
                    EXPECT_EQ(isDeviceName(name.data(), name.size()), superscript) << name;
                }
        }
}

// Letter case as the file system ignores it, in Windows-1252 (the code page
// of the test machines; both sides of the seam read names in it here).
struct CaseRow {
    const char* rule;
    const char* a;
    const char* b;
    bool same;
};
const CaseRow CASE_ROWS[] = {
    {"ASCII letters", "A.UNWRAP", "a.unwrap", true},
    {"accented capitals 0xC0-0xDE", "\xC4rger", "\xE4rger", true},
    {"S with caron", "\x8A.unwrap", "\x9A.unwrap", true},
    {"ligature OE", "\x8C", "\x9C", true},
    {"Z with caron", "\x8E", "\x9E", true},
    {"Y with diaeresis", "\x9F", "\xFF", true},
    {"multiply and divide signs differ", "\xD7", "\xF7", false},
    {"sharp s has no one-letter capital", "\xDF", "SS", false},
    {"separators are not letters", "a\\b", "a/b", false},
    {"other letters differ", "\x8A", "S", false},
};

TEST(FileNames, LetterCaseIsIgnoredAsTheFileSystemIgnoresIt) {
    uint16_t u;
    if (sysNameToUtf16("\x8A", 1, &u, 1) != 1 || u != 0x0160) GTEST_SKIP() << "the code page is not Windows-1252";
    for (const CaseRow& r : CASE_ROWS) {
        int ab = sysCompareNames(r.a, strlen(r.a), r.b, strlen(r.b));
        int ba = sysCompareNames(r.b, strlen(r.b), r.a, strlen(r.a));
        EXPECT_EQ(ab == 0, r.same) << r.rule;
        EXPECT_EQ(ab < 0, ba > 0) << r.rule << ": an order, not only equality";
    }
}

}  // namespace
