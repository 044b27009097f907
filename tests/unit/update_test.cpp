// The end of a component update: the version file is replaced in one step,
// and an update whose version file cannot be replaced is a failed update.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "app/globals.h"
#include "base/textbuf.h"
#include "archive/unwrap_journal.h"
#include "setup/update.h"
#include "tests/unit/archive_test_helpers.h"
#include "tests/unit/fake_ui.h"
#include "tests/unit/test_support.h"

#if defined(_WIN32)
#include <windows.h>
#endif

using archive_test::logHasPrefix;

namespace {

const char* const FAILED_WARNING = "Failed to update KAVO.\nPlease try again or contact " SUPPORT_CONTACT;

TEST(Update, VersionFileIsReplacedOrTheUpdateFails) {
    struct Case {
        const char* what;
        std::function<void(const std::string& data)> prepare;
        bool replaced;
    };
#if defined(_WIN32)
    HANDLE held = INVALID_HANDLE_VALUE;
#endif
    const Case cases[] = {
        {"plain files", [](const std::string&) {}, true},
        {"version file is a folder",
         [](const std::string& data) {
             sysDeleteFile((data + "/update.ini").c_str());
             makeFolders(data + "/update.ini");
             writeFile(data + "/update.ini/inside", "x");
         },
         false},
#if defined(_WIN32)
        {"version file is in use",
         [&held](const std::string& data) {
             held = CreateFileA((data + "/update.ini").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
         },
         false},
#endif
    };
    landingHoldWaitSeconds = 0.2;
    for (const Case& c : cases) {
        resetAppState();
        ScratchDir work("upd");
        std::string data = work / "KAVO_data";
        makeFolders(data);
        writeFile(data + "/update.ini", "old");
        writeFile(data + "/update_new.ini", "new");
        copyText(workingDir, sizeof workingDir, work.path().c_str());
        c.prepare(data);
        // No package flagged: straight to the version file.
        EXPECT_EQ(updateKAVO(), c.replaced) << c.what;
#if defined(_WIN32)
        if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
        held = INVALID_HANDLE_VALUE;
#endif
        if (c.replaced) {
            EXPECT_EQ(readFile(data + "/update.ini"), "new") << c.what;
            EXPECT_FALSE(fileExists(data + "/update_new.ini")) << c.what;
            EXPECT_EQ(fakeUi.questions.size(), 1u) << c.what;
            EXPECT_TRUE(fakeUi.warnings.empty()) << c.what;
        } else {
            EXPECT_EQ(readFile(data + "/update_new.ini"), "new") << c.what;
            EXPECT_NE(readFile(data + "/update.ini"), "new") << c.what;
            EXPECT_TRUE(fileExists(data + "/update.ini") || folderExists(data + "/update.ini")) << c.what;
            EXPECT_TRUE(logHasPrefix(fakeUi.list, "unwrapFolder - nothing replaced: \"")) << c.what;
            EXPECT_TRUE(fakeUi.questions.empty()) << c.what;
            ASSERT_EQ(fakeUi.warnings.size(), 1u) << c.what;
            EXPECT_EQ(fakeUi.warnings[0], FAILED_WARNING) << c.what;
        }
        EXPECT_FALSE(workInProgress) << c.what;
        workingDir[0] = '\0';
    }
}

}  // namespace
