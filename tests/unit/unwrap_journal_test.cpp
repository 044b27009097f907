#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "archive/unwrap_journal.h"
#include "platform/sys.h"
#include "tests/hostile_packages.h"
#include "tests/unit/archive_test_helpers.h"
#include "tests/unit/fake_ui.h"
#include "tests/unit/test_support.h"

using namespace archive_test;

namespace {

// A folder cut off in the middle of an update: "a" and "D/b" old, their new
// contents waiting in temporary files, the folder "N" made by the run.
class Journal : public ::testing::Test {
protected:
    void SetUp() override {
        resetAppState();
        makeFolders(dir + "/D");
        makeFolders(dir + "/N");
        writeFile(dir + "/a", "old a");
        writeFile(dir + "/D/b", "old b");
        writeFile(dir + "/a.unwrap", "new a");
        writeFile(dir + "/D/b.unwrap", "new b");
        writeFile(box / "outside", "outside");
        // What a journal naming "../outside" would move there.
        writeFile(box / "outside.unwrap", "moved in from a journal");
        plan.files = {"a", "D/b"};
        plan.newFolders = {"N"};
    }
    ScratchDir box{"journal"};
    std::string dir = box / "inst";
    std::string root = dir + "\\";
    UnwrapPlan plan;

    void putJournal(const std::string& bytes) { writeFile(dir + "/" UNWRAP_JOURNAL_NAME, bytes); }
    std::vector<std::string> tree() { return listTree(dir); }
};

TEST_F(Journal, MovingStateIsFinishedAndUnpackingStateUndone) {
    putJournal(journalBytes(JOURNAL_MOVING, plan));
    EXPECT_EQ(recoverUnwrap(dir.c_str()), Recovery::Finished);
    EXPECT_EQ(tree(), (std::vector<std::string>{"d D/", "d N/", "f D/b 5", "f a 5"}));
    EXPECT_EQ(readFile(dir + "/D/b"), "new b");
    EXPECT_EQ(fakeUi.list, (std::vector<std::string>{"unwrap journal \"" + root + UNWRAP_JOURNAL_NAME +
                                                     "\" - unfinished update completed, 2 files moved into place"}));
    // Half of the moves done already: the rest is finished.
    SetUp();
    fakeUi.reset();
    ASSERT_EQ(sysReplaceFile((dir + "/a.unwrap").c_str(), (dir + "/a").c_str()), 0);
    putJournal(journalBytes(JOURNAL_MOVING, plan));
    EXPECT_EQ(recoverUnwrap(dir.c_str()), Recovery::Finished);
    EXPECT_EQ(readFile(dir + "/a") + readFile(dir + "/D/b"), "new anew b");

    SetUp();
    fakeUi.reset();
    putJournal(journalBytes(JOURNAL_UNPACKING, plan));
    EXPECT_EQ(recoverUnwrap(dir.c_str()), Recovery::Undone);
    EXPECT_EQ(tree(), (std::vector<std::string>{"d D/", "f D/b 5", "f a 5"}));
    EXPECT_EQ(readFile(dir + "/a"), "old a");
    EXPECT_EQ(fakeUi.list, (std::vector<std::string>{"unwrap journal \"" + root + UNWRAP_JOURNAL_NAME +
                                                     "\" - unfinished unpacking undone, 2 temporary files removed"}));

    // No journal: nothing to do, nothing logged; a journal cut while it was
    // written never took effect and goes.
    fakeUi.reset();
    writeFile(dir + "/" UNWRAP_JOURNAL_NEW_NAME, "KAVO");
    EXPECT_EQ(recoverUnwrap(dir.c_str()), Recovery::Nothing);
    EXPECT_FALSE(fileExists(dir + "/" UNWRAP_JOURNAL_NEW_NAME));
    EXPECT_TRUE(fakeUi.list.empty());
}

TEST_F(Journal, HostileJournalsMoveNothing) {
    auto withPath = [](const std::string& p) {
        UnwrapPlan one;
        one.files = {p};
        return journalBytes(JOURNAL_MOVING, one);
    };
    std::vector<std::string> before = tree();
    std::string outside = readFile(box / "outside");
    for (const HostileJournal& row : hostileJournals(journalBytes(JOURNAL_MOVING, plan), withPath)) {
        fakeUi.reset();
        putJournal(row.bytes);
        EXPECT_EQ(recoverUnwrap(dir.c_str()), Recovery::Refused) << row.what;
        ASSERT_EQ(fakeUi.list.size(), 1u) << row.what;
        EXPECT_EQ(fakeUi.list[0].rfind("unwrap journal \"" + root + UNWRAP_JOURNAL_NAME + "\" ERROR - ", 0), 0u)
            << row.what;
        EXPECT_NE(fakeUi.list[0].find(" - nothing moved"), std::string::npos) << row.what;
        // Everything as it was, the journal kept for whoever looks into it.
        std::vector<std::string> now = tree();
        now.erase(std::remove_if(now.begin(), now.end(),
                                 [](const std::string& e) { return e.find(UNWRAP_JOURNAL_NAME) != std::string::npos; }),
                  now.end());
        EXPECT_EQ(now, before) << row.what;
        EXPECT_EQ(readFile(dir + "/a"), "old a") << row.what;
        EXPECT_EQ(readFile(box / "outside"), outside) << row.what;
        EXPECT_TRUE(fileExists(dir + "/" UNWRAP_JOURNAL_NAME)) << row.what;
    }
}

// The files of an unpacking are flushed in one batch before the journal
// says "moving": a file that cannot be flushed must fail the batch, and no
// flush may keep a file open once the batch is finished (the moves and the
// clean-up come next).
TEST_F(Journal, AFlushBatchReportsAMissingFileAndLeavesNoneOpen) {
    std::vector<std::string> files;
    for (int i = 0; i < 40; ++i) {
        files.push_back(dir + "/D/f" + std::to_string(i) + ".unwrap");
        writeFile(files.back(), std::string(static_cast<size_t>(i) * 1000, 'x'));
    }
    for (bool withMissing : {false, true}) {
        SysFlushBatch* batch = sysFlushStart();
        ASSERT_TRUE(batch);
        for (size_t i = 0; i < files.size(); ++i) {
            sysFlushAdd(batch, files[i].c_str());
            if (withMissing && i == 20) sysFlushAdd(batch, (dir + "/D/missing.unwrap").c_str());
        }
        EXPECT_EQ(sysFlushFinish(batch) != SYS_OK, withMissing);
    }
    for (const std::string& f : files) EXPECT_EQ(sysDeleteFile(f.c_str()), SYS_OK) << f;
}

}  // namespace
