#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "archive/unwrap.h"
#include "archive/unwrap_journal.h"
#include "platform/crypto.h"
#include "platform/sys.h"
#include "tests/hostile_packages.h"
#include "tests/unit/archive_test_helpers.h"
#include "tests/unit/fake_ui.h"
#include "tests/unit/test_support.h"


using namespace archive_test;

namespace {

void sha256(const std::string& s, uint8_t out[CRYPTO_DIGEST_BYTES]) {
    SysHash* h = sysHashBegin();
    ASSERT_TRUE(h);
    sysHashAdd(h, s.data(), s.size());
    sysHashEnd(h, out);
}

LandingFile landingFile(const std::string& path, const std::string& content, uint8_t flags) {
    LandingFile f;
    f.path = path;
    f.size = content.size();
    f.flags = flags;
    sha256(content, f.sha256);
    return f;
}

// The journal's closing checksum over bytes changed by hand: FNV-1a 32 of
// everything before it, as the layout says.
std::string resealed(std::string bytes) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i + 4 < bytes.size(); ++i) h = (h ^ static_cast<uint8_t>(bytes[i])) * 16777619u;
    for (int i = 0; i < 4; ++i) bytes[bytes.size() - 4 + i] = static_cast<char>((h >> (8 * i)) & 0xFF);
    return bytes;
}

// A folder where a landing was cut off: "a" and "D/b" replaced by new
// contents, "N/c" new in the folder "N" the landing made.  Each row puts
// the moves where the cut left them, then one thing planted.
class Landing : public ::testing::Test {
public:
    void SetUp() override {
        resetAppState();
        removeTree(dir);
        makeFolders(dir + "/D");
        makeFolders(dir + "/N");
        writeFile(dir + "/a", "old a");
        writeFile(dir + "/D/b", "old b");
        writeFile(dir + "/a.unwrap", "new a");
        writeFile(dir + "/D/b.unwrap", "new b");
        writeFile(dir + "/N/c.unwrap", "new c");
        writeFile(box / "outside", "outside");
        writeFile(box / "outside.unwrap", "moved in from a journal");
        plan = UnwrapPlan();
        plan.package = "OSKE_ALL.wrp";
        plan.folders = {{"D", 0}, {"N", LAND_FOLDER_MADE}};
        plan.files = {landingFile("a", "new a", LAND_REPLACES), landingFile("D/b", "new b", LAND_REPLACES),
                      landingFile("N/c", "new c", 0)};
    }
    ScratchDir box{"journal"};
    std::string dir = box / "inst";
    std::string root = dir + "\\";
    UnwrapPlan plan;

    void putJournal(const std::string& bytes) { writeFile(dir + "/" UNWRAP_JOURNAL_NAME, bytes); }
    void moved(const std::string& rel) {
        if (fileExists(dir + "/" + rel)) {
            ASSERT_EQ(sysRenamePath((dir + "/" + rel).c_str(), (dir + "/" + rel + ".wrpold").c_str()), 0);
        }
        ASSERT_EQ(sysRenamePath((dir + "/" + rel + ".unwrap").c_str(), (dir + "/" + rel).c_str()), 0);
    }
    std::vector<std::string> tree() { return listTree(dir); }
};

const std::vector<std::string> OLD_TREE = {"d D/", "f D/b 5", "f a 5"};
const std::vector<std::string> NEW_TREE = {"d D/", "d N/", "f D/b 5", "f N/c 5", "f a 5"};

TEST_F(Landing, ACutOffLandingIsFinishedOnlyWhenEveryFileIsProvedElsePutBackWhole) {
    struct Row {
        const char* what;
        char state;
        std::function<void(Landing&)> cut;
        Recovery expected;
        const char* line;  // what the one log line says
    };
    const Row rows[] = {
        {"moving, nothing moved yet", JOURNAL_MOVING, [](Landing&) {}, Recovery::Finished,
         "unfinished update completed, 3 files moved into place"},
        {"moving, one file moved", JOURNAL_MOVING, [](Landing& t) { t.moved("a"); }, Recovery::Finished,
         "unfinished update completed, 2 files moved into place"},
        {"a waiting file deleted", JOURNAL_MOVING,
         [](Landing& t) {
             t.moved("a");
             sysDeleteFile((t.dir + "/D/b.unwrap").c_str());
         },
         Recovery::PutBack, "unfinished update put back, the installed files as they were: \""},
        {"a waiting file cut to 2 bytes", JOURNAL_MOVING,
         [](Landing& t) {
             t.moved("a");
             writeFile(t.dir + "/D/b.unwrap", "ne");
         },
         Recovery::PutBack, "b.unwrap\" differs from the journal"},
        {"a waiting file overwritten", JOURNAL_MOVING,
         [](Landing& t) {
             t.moved("N/c");
             writeFile(t.dir + "/D/b.unwrap", "NEW B");
         },
         Recovery::PutBack, "differs from the journal"},
        {"a moved file changed, its temporary file gone", JOURNAL_MOVING,
         [](Landing& t) {
             t.moved("a");
             writeFile(t.dir + "/a", "evil!");
         },
         Recovery::PutBack, "a.unwrap\" is missing"},
        {"between the two moves of a file", JOURNAL_MOVING,
         [](Landing& t) { ASSERT_EQ(sysRenamePath((t.dir + "/a").c_str(), (t.dir + "/a.wrpold").c_str()), 0); },
         Recovery::Finished, "3 files moved into place"},
        {"every file moved, backups left", JOURNAL_LANDED,
         [](Landing& t) {
             t.moved("a");
             t.moved("D/b");
             t.moved("N/c");
         },
         Recovery::Finished, "unfinished update completed, 0 files moved into place"},
        {"first phase", JOURNAL_UNPACKING, [](Landing&) {}, Recovery::Undone,
         "unfinished unpacking undone, 3 temporary files removed"},
    };
    for (const Row& row : rows) {
        SetUp();
        row.cut(*this);
        putJournal(journalBytes(row.state, plan));
        EXPECT_EQ(recoverUnwrap(dir.c_str()), row.expected) << row.what;
        bool isNew = row.expected == Recovery::Finished;
        EXPECT_EQ(tree(), isNew ? NEW_TREE : OLD_TREE) << row.what;
        EXPECT_EQ(readFile(dir + "/a") + readFile(dir + "/D/b"), isNew ? "new anew b" : "old aold b") << row.what;
        ASSERT_EQ(fakeUi.list.size(), 1u) << row.what;
        EXPECT_NE(fakeUi.list[0].find(row.line), std::string::npos) << row.what << ": " << fakeUi.list[0];
        EXPECT_EQ(readFile(box / "outside"), "outside") << row.what;
        fakeUi.reset();
    }

    // Ready: nothing was replaced; the files wait for the same package.
    SetUp();
    putJournal(journalBytes(JOURNAL_READY, plan));
    std::vector<std::string> before = tree();
    EXPECT_EQ(recoverUnwrap(dir.c_str()), Recovery::Ready);
    EXPECT_EQ(tree(), before);
    // No journal: nothing to do, nothing logged; a journal cut while it was
    // written never took effect and goes.
    SetUp();
    writeFile(dir + "/" UNWRAP_JOURNAL_NEW_NAME, "KAVO");
    EXPECT_EQ(recoverUnwrap(dir.c_str()), Recovery::Nothing);
    EXPECT_FALSE(fileExists(dir + "/" UNWRAP_JOURNAL_NEW_NAME));
    EXPECT_TRUE(fakeUi.list.empty());
}

TEST_F(Landing, HostileJournalsMoveNothing) {
    auto withPath = [](const std::string& p, bool folder) {
        UnwrapPlan one;
        if (folder) one.folders = {{p, LAND_FOLDER_MADE}};
        else one.files = {landingFile(p, "x", 0)};
        return journalBytes(JOURNAL_MOVING, one);
    };
    auto withEntry = [](char kind, uint8_t flags) {
        UnwrapPlan one;
        one.files = {landingFile("a", "x", 0)};
        std::string bytes = journalBytes(JOURNAL_MOVING, one);
        size_t entry = 8 + 1 + 1 + 1 + CRYPTO_DIGEST_BYTES + 4;  // behind the header and an empty package name
        bytes[entry] = kind;
        bytes[entry + 1] = static_cast<char>(flags);
        return resealed(bytes);
    };
    std::vector<std::string> before = tree();
    for (const HostileJournal& row : hostileJournals(journalBytes(JOURNAL_MOVING, plan), withPath, withEntry)) {
        fakeUi.reset();
        putJournal(row.bytes);
        EXPECT_EQ(recoverUnwrap(dir.c_str()), Recovery::Refused) << row.what;
        ASSERT_EQ(fakeUi.list.size(), 1u) << row.what;
        EXPECT_EQ(fakeUi.list[0].rfind("unwrap journal \"" + root + UNWRAP_JOURNAL_NAME + "\" ERROR - ", 0), 0u)
            << row.what;
        EXPECT_NE(fakeUi.list[0].find(" - nothing moved; the next installation or update of this folder repairs it"),
                  std::string::npos)
            << row.what;
        // Everything as it was, the journal kept for the repair.
        std::vector<std::string> now = tree();
        now.erase(std::remove_if(now.begin(), now.end(),
                                 [](const std::string& e) { return e.find(UNWRAP_JOURNAL_NAME) != std::string::npos; }),
                  now.end());
        EXPECT_EQ(now, before) << row.what;
        EXPECT_EQ(readFile(box / "outside"), "outside") << row.what;
        EXPECT_TRUE(fileExists(dir + "/" UNWRAP_JOURNAL_NAME)) << row.what;
    }
    // The way out: every file of the installer's suffixes goes, and the
    // journal; a backup whose file is gone was cut between its two moves
    // and goes back.
    writeFile(dir + "/D/b.wrpold", "older b");
    writeFile(dir + "/D/x.wrpold", "lone x");
    EXPECT_EQ(removeLandingLeftovers(dir.c_str()), 4u);
    EXPECT_EQ(tree(), (std::vector<std::string>{"d D/", "d N/", "f D/b 5", "f D/x 6", "f a 5"}));
    EXPECT_EQ(readFile(dir + "/D/b") + readFile(dir + "/D/x"), "old blone x");
}

// The second phase takes every file it replaces first; a move that still
// fails puts every file back, and the new files wait for the next try.
TEST_F(Landing, AMoveThatFailsAfterTheCheckLeavesTheInstalledFilesAsTheyWere) {
    landingHoldWaitSeconds = 0.2;
    // The backup name of "D/b" is a folder with something in it: its move fails.
    makeFolders(dir + "/D/b.wrpold/x");
    putJournal(journalBytes(JOURNAL_READY, plan));
    LandingStop stop;
    EXPECT_FALSE(landReady(root.c_str(), plan, nullptr, &stop));
    EXPECT_NE(stop.path.find("b"), std::string::npos) << stop.path;
    EXPECT_NE(stop.error, 0);
    EXPECT_EQ(readFile(dir + "/a") + readFile(dir + "/D/b"), "old aold b");
    EXPECT_FALSE(fileExists(dir + "/N/c"));
    EXPECT_EQ(readFile(dir + "/a.unwrap") + readFile(dir + "/N/c.unwrap"), "new anew c") << "kept for the next try";
    EXPECT_FALSE(fileExists(dir + "/a.wrpold"));
    fakeUi.reset();
    EXPECT_EQ(recoverUnwrap(dir.c_str()), Recovery::Ready) << "the journal says ready again";

    // Once the way is free, the same landing goes through and tidies up.
    removeTree(dir + "/D/b.wrpold");
    EXPECT_TRUE(landReady(root.c_str(), plan, nullptr, &stop));
    EXPECT_EQ(tree(), NEW_TREE);
    landingHoldWaitSeconds = 5.0;
}

// The files of an unpacking are flushed in one batch before the journal
// says "ready": a file that cannot be flushed must fail the batch, and no
// flush may keep a file open once the batch is finished (the moves and the
// clean-up come next).
TEST_F(Landing, AFlushBatchReportsAMissingFileAndLeavesNoneOpen) {
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
