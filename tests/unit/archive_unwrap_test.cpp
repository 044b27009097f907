#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "archive/unwrap.h"
#include "archive/unwrap_journal.h"
#include "archive/unwrap_space.h"
#include "archive/wrap.h"
#include "base/textbuf.h"
#include "tests/unit/archive_test_helpers.h"
#include "tests/unit/fake_ui.h"
#include "tests/unit/test_support.h"

using namespace archive_test;

namespace {

// A sandbox box/ holding the archive, a sentinel file and the destination
// box/dest; everything in box/ but dest/ must stay as it was.
class Unwrap : public ::testing::Test {
protected:
    void SetUp() override {
        resetAppState();
        writeFile(box / "outside.txt", "sentinel");
        makeFolders(box / "dest");
        writeFile(box / "dest/keep.txt", "OLD");
    }
    ScratchDir box{"unwrap"};
    std::string dest = box / "dest";
    std::string archivePath = box / "in.wrp";

    bool run(const std::string& bytes, const std::string& to = "") {
        writeFile(archivePath, bytes);
        std::vector<std::string> before = snapshotExcept(box.path(), "dest");
        bool ok = unwrapFolder(archivePath.c_str(), (to.empty() ? dest : to).c_str());
        EXPECT_EQ(snapshotExcept(box.path(), "dest"), before) << "something outside the destination changed";
        return ok;
    }
    // The entries under dest other than the prepared keep.txt.
    std::vector<std::string> created() {
        std::vector<std::string> out;
        for (const std::string& e : listTree(dest))
            if (e != "f keep.txt 3") out.push_back(e);
        return out;
    }
};

TEST_F(Unwrap, SingleEndByteCreatesOnlyTheDestination) {
    std::string fresh = dest + "/fresh";
    EXPECT_TRUE(run("\x04", fresh));
    EXPECT_TRUE(folderExists(fresh));
    EXPECT_TRUE(listTree(fresh).empty());
    EXPECT_EQ(fakeUi.list, (std::vector<std::string>{"unwrap \"" + archivePath + "\" -> \"" + fresh + "\\\"",
                                                     "     > unwrap done"}));
}

TEST_F(Unwrap, EmptyArchiveFails) {
    EXPECT_FALSE(run(""));
    EXPECT_EQ(fakeUi.list.back(), "     > unwrap failed");
}

TEST_F(Unwrap, MissingArchiveWarnsTheUser) {
    std::string missing = box / "missing.wrp";
    EXPECT_FALSE(unwrapFolder(missing.c_str(), dest.c_str()));
    EXPECT_EQ(fakeUi.list.back(), "failed to open \"" + missing + "\"");
    ASSERT_EQ(fakeUi.warnings.size(), 1u);
    EXPECT_EQ(fakeUi.warnings[0], "Failed to open \"" + missing + "\".\nPlease try again or contact " SUPPORT_CONTACT "!");
    EXPECT_FALSE(unwrapFolder(nullptr, dest.c_str()));
    EXPECT_FALSE(unwrapFolder(missing.c_str(), nullptr));
}

TEST_F(Unwrap, NullArgumentsOfTheSteps) {
    EXPECT_EQ(cpyFileContent_unwrap(nullptr, "x", 1), 0u);
    EXPECT_EQ(copyResult, COPY_NO_SOURCE);
    EXPECT_EQ(fakeUi.list.back(), "cpyFileContent_unwrap ERROR - srcFile == NULL");
    FILE* f = sysOpenFile((box / "outside.txt").c_str(), "rb");
    ASSERT_TRUE(f);
    EXPECT_EQ(cpyFileContent_unwrap(f, nullptr, 1), 0u);
    EXPECT_EQ(copyResult, COPY_NO_TARGET);
    EXPECT_EQ(fakeUi.list.back(), "cpyFileContent_unwrap ERROR - dstFile == NULL");
    EXPECT_FALSE(unwrapFolder_rec(f, nullptr));
    fclose(f);
    EXPECT_FALSE(unwrapFolder_rec(nullptr, "x/"));
    EXPECT_EQ(fakeUi.list.back(), "unwrapFolder_rec ERROR - srcFile == NULL");
}

// ---- round trips -----------------------------------------------------------

std::map<std::string, std::string> contents(const std::string& root) {
    std::map<std::string, std::string> out;
    for (const std::string& e : listTree(root)) {
        if (e[0] != 'f') {
            out[e] = "";
            continue;
        }
        std::string rel = e.substr(2, e.rfind(' ') - 2);
        out[rel] = readFile(root + "/" + rel);
    }
    return out;
}

class RoundTrip : public Unwrap {
protected:
    std::string src = box / "src";
    void SetUp() override {
        Unwrap::SetUp();
        makeFolders(src + "/empty");
        makeFolders(src + "/a/empty too");
        writeFile(src + "/zero", "");
        writeFile(src + "/a/zero", "");
        writeFile(src + "/with space.txt", "spaced");
        makeFolders(src + "/\xC4rger");
        writeFile(src + "/\xC4rger/caf\xE9 d\xFC.txt", "code page");
        std::string deep = src;
        for (int i = 0; i < 40; ++i) deep += "/n";
        makeFolders(deep);
        writeFile(deep + "/bottom", "deep");
        makeFolders(src + "/many");
        for (int i = 0; i < 2000; ++i) writeFile(src + "/many/f" + std::to_string(i), std::string(i % 7, 'a' + i % 26));
        std::string big(3 * 1024 * 1024 + 17, '\0');
        uint32_t x = 12345;
        for (char& c : big) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
        writeFile(src + "/big.bin", big);
        ASSERT_TRUE(wrapFolder(src.c_str(), archivePath.c_str(), PACK_ALL));
        removeTree(dest);
        fakeUi.reset();
    }
    bool unpackTo(const std::string& to) { return unwrapFolder(archivePath.c_str(), to.c_str()); }
};

TEST_F(RoundTrip, TreeComesBackIdenticalAndTwiceIsTheSame) {
    auto expected = contents(src);
    ASSERT_TRUE(unpackTo(dest));
    EXPECT_EQ(contents(dest), expected);
    EXPECT_EQ(fakeUi.list.back(), "     > unwrap done");
    // After the last record the bar stands at 999 (the final end record gets
    // no step), and the pump ran after every record.
    ASSERT_FALSE(fakeUi.progress.empty());
    EXPECT_EQ(fakeUi.progress.back(), 999);
    for (size_t i = 1; i < fakeUi.progress.size(); ++i) {
        EXPECT_GE(fakeUi.progress[i], fakeUi.progress[i - 1]);
        if (fakeUi.progress[i] < 900) {
            EXPECT_GT(fakeUi.progress[i] - fakeUi.progress[i - 1], 100);
        }
    }
    // ... and after every hundred moves of the second phase (and, where the
    // flushes run beside the writing, while the last of them are awaited).
    size_t entries = listTree(src).size(), files = 0;
    for (const std::string& e : listTree(src)) files += e[0] == 'f';
    EXPECT_GE(static_cast<size_t>(fakeUi.pumpCount), entries + files / 100);
    EXPECT_FALSE(fileExists(dest + "/" UNWRAP_JOURNAL_NAME));

    // The second run replaces every file and reuses every folder.
    writeFile(dest + "/with space.txt", "changed");
    writeFile(dest + "/extra", "not in the archive");
    ASSERT_TRUE(unpackTo(dest));
    expected["extra"] = "not in the archive";
    expected["f extra 18"] = "";
    auto second = contents(dest);
    second["f extra 18"] = "";
    EXPECT_EQ(second, expected);
}

TEST_F(Unwrap, TrailingSeparatorsOnTheDestinationGiveTheSameTree) {
    writeFile(archivePath, Arc().dir("D").file("a", "1").end().file("b", "22").end().bytes);
    const std::vector<std::string> expected = {"d D/", "f D/a 1", "f b 2"};
    for (const std::string& to : {box / "d1", box / "d2/", box / "d3\\"}) {
        fakeUi.reset();
        ASSERT_TRUE(unwrapFolder(archivePath.c_str(), to.c_str())) << to;
        std::string root = to;
        if (endsWithSeparator(root.c_str())) root.pop_back();
        EXPECT_EQ(listTree(root), expected) << to;
        std::string shown = endsWithSeparator(to.c_str()) ? to : to + "\\";
        EXPECT_EQ(fakeUi.list[0], "unwrap \"" + archivePath + "\" -> \"" + shown + "\"");
        EXPECT_TRUE(logHas(fakeUi.list, "     > unwrap done"));
    }
}

// ---- hostile archives ------------------------------------------------------

// A failing package lands not at all: every target keeps its old content,
// no folder it made and no temporary file stays.
TEST_F(Unwrap, TruncationAtEveryOffsetFailsAndNeverHalfReplacesATarget) {
    const std::string full =
        Arc().file("keep.txt", "NEWCONTENT").dir("D").file("x", "12345").end().file("z", "").end().bytes;
    ASSERT_TRUE(run(full));
    EXPECT_EQ(readFile(dest + "/keep.txt"), "NEWCONTENT");
    for (size_t cut = 0; cut < full.size(); ++cut) {
        removeTree(dest);
        makeFolders(dest);
        writeFile(dest + "/keep.txt", "OLD");
        fakeUi.reset();
        EXPECT_FALSE(run(full.substr(0, cut))) << cut;
        EXPECT_EQ(fakeUi.list.back(), "     > unwrap failed") << cut;
        EXPECT_EQ(readFile(dest + "/keep.txt"), "OLD") << cut;
        EXPECT_TRUE(created().empty()) << cut;
    }
}

TEST_F(Unwrap, ContentCutShortKeepsTheOldTarget) {
    EXPECT_FALSE(run(Arc().fileSized("keep.txt", 100, "abc").bytes));
    EXPECT_EQ(readFile(dest + "/keep.txt"), "OLD");
    EXPECT_TRUE(created().empty());
    EXPECT_EQ(fakeUi.list[fakeUi.list.size() - 2], "unwrapFolder - nothing replaced, 1 temporary files removed");
    EXPECT_TRUE(logHas(fakeUi.list, "cpyFileContent_unwrap ERROR - 3/100 coppied"));
    EXPECT_TRUE(logHas(fakeUi.list, "unwrapFolder_rec ERROR - cpy file content 3/100 (" + dest + "\\keep.txt)"));
    EXPECT_NE(unwrapFailed, 0);
}

struct HostileCase {
    const char* what;
    std::string bytes;
    bool ok;
    std::vector<std::string> tree;  // entries created under dest
};

TEST_F(Unwrap, HostileArchives) {
    std::string deepOpen, deepClosed;
    for (int i = 0; i < 5000; ++i) deepOpen += Arc().dir("n").bytes;
    deepClosed = deepOpen + std::string(5001, '\x04');
    const std::vector<HostileCase> cases = {
        {"missing end of a folder", Arc().dir("D").file("a", "1").bytes, false, {}},
        {"missing final end", Arc().file("a", "1").bytes, false, {}},
        {"bytes after the final end are never read", Arc().end().dir("Z").end().raw("\xFF\x00").bytes, true, {}},
        {"0x00 and 0x08 are skipped", Arc().raw(std::string("\x00\x08", 2)).file("a", "1").end().bytes, true,
         {"f a 1"}},
        {"0x03 is a folder", Arc().raw("\x03\x01" "F").end().end().bytes, true, {"d F/"}},
        {"0xFF is a folder", Arc().raw("\xFF\x01" "H").end().end().bytes, true, {"d H/"}},
        {"0x06 is a file", Arc().raw("\x06\x01g" + u32le(1) + "x").end().bytes, true, {"f g 1"}},
        {"size beyond the end", Arc().fileSized("a", 0xFFFFFFFFu, "12").bytes, false, {}},
        {"nesting thousands deep, open", deepOpen, false, {}},
        {"nesting thousands deep, closed", deepClosed, false, {}},
    };
    for (const HostileCase& c : cases) {
        removeTree(dest);
        makeFolders(dest);
        writeFile(dest + "/keep.txt", "OLD");
        fakeUi.reset();
        EXPECT_EQ(run(c.bytes), c.ok) << c.what;
        EXPECT_EQ(readFile(dest + "/keep.txt"), "OLD") << c.what;
        if (std::string(c.what).rfind("nesting", 0) == 0) {
            // Stopped by the path limit, long before the stack could run out.
            EXPECT_TRUE(logHasPrefix(fakeUi.list, "unwrapFolder_rec ERROR - path too long (")) << c.what;
            EXPECT_LT(listTree(dest).size(), 200u);
        } else {
            EXPECT_EQ(created(), c.tree) << c.what;
        }
    }
}

TEST_F(Unwrap, UnsafeNamesAreRefused) {
    const char* unsafe[] = {"", ".", "..", "a/b", "/abs", "a\\b", "\\abs", "C:x", "c:", "x:$DATA",
                            "a\x01", "\x1F", "a\x7F", "a*", "a?", "a\"", "a<", "a>", "a|",
                            "dot.", "space ", "CON", "con", "Con.txt", "NUL.tar.gz", "AUX", "prn",
                            "COM1", "com9.log", "LPT1", "lpt9", "LPT5 .txt", "CONIN$", "COM0", "lpt0.x",
                            "COM\xB9", "lpt\xB2.log", "Com\xB3 .txt", "conout$.txt", "nul..txt"};
    for (const char* name : unsafe) {
        for (bool asFolder : {false, true}) {
            removeTree(dest);
            makeFolders(dest);
            writeFile(dest + "/keep.txt", "OLD");
            fakeUi.reset();
            Arc inner;
            if (asFolder) inner.dir("ok").dir(name).file("keep.txt", "NEW").end().end().end();
            else inner.dir("ok").file(name, "NEW").end().end();
            std::string nm = std::string(name) + (asFolder ? " (folder)" : " (file)");
            EXPECT_FALSE(run(inner.bytes)) << nm;
            EXPECT_TRUE(logHasPrefix(fakeUi.list, "unwrapFolder_rec ERROR - unsafe name \"")) << nm;
            EXPECT_EQ(fakeUi.list.back(), "     > unwrap failed") << nm;
            EXPECT_TRUE(created().empty()) << nm;
            EXPECT_EQ(readFile(dest + "/keep.txt"), "OLD") << nm;
        }
    }
    // Control bytes are shown escaped, so a name cannot break the log.
    run(Arc().file("a\nb", "x").end().bytes);
    EXPECT_TRUE(logHasPrefix(fakeUi.list, "unwrapFolder_rec ERROR - unsafe name \"a\\x0Ab\" in \""));
}

TEST_F(Unwrap, LookalikeNamesAreAccepted) {
    for (const char* name : {"COM10", "LPT10", "CONX.txt", "NULL", "a..b", "...a", "com", "x.CON", "\xE9t\xE9",
                             "COM\xB4", "LPT\xB9\xB9", "a.unwrap"}) {
        removeTree(dest);
        makeFolders(dest);
        fakeUi.reset();
        EXPECT_TRUE(run(Arc().file(name, "1").end().bytes)) << name;
        EXPECT_EQ(readFile(dest + "/" + name), "1") << name;
    }
}

TEST_F(Unwrap, FileBesideAnEntryNamedLikeItsTemporaryFileOrBackupIsRefused) {
    struct Case {
        const char* what;
        std::string bytes;
        bool ok;
        std::vector<std::string> tree;
    };
    const std::vector<Case> cases = {
        {"file", Arc().file("a.unwrap", "FIRST").file("a", "2").end().bytes, false, {}},
        {"other letter case", Arc().file("a.UNWRAP", "FIRST").file("A", "2").end().bytes, false, {}},
        {"folder", Arc().dir("a.unwrap").end().file("a", "2").end().bytes, false, {}},
        {"second record of the same folder",
         Arc().dir("D").file("x.unwrap", "FIRST").end().dir("D").file("x", "2").end().end().bytes, false, {}},
        {"other order", Arc().file("a", "2").file("a.unwrap", "FIRST").end().bytes, false, {}},
        {"backup name", Arc().file("a", "2").file("a.wrpold", "FIRST").end().bytes, false, {}},
        {"backup name first, a folder", Arc().dir("a.WRPOLD").end().file("a", "2").end().bytes, false, {}},
        {"other folder is safe", Arc().file("a.unwrap", "FIRST").dir("D").file("a", "2").end().end().bytes, true,
         {"d D/", "f D/a 1", "f a.unwrap 5"}},
    };
    for (const Case& c : cases) {
        removeTree(dest);
        makeFolders(dest);
        writeFile(dest + "/keep.txt", "OLD");
        fakeUi.reset();
        EXPECT_EQ(run(c.bytes), c.ok) << c.what;
        EXPECT_EQ(created(), c.tree) << c.what;
        if (!c.ok) {
            EXPECT_TRUE(logHasPrefix(fakeUi.list, "unwrapFolder_rec ERROR - temporary file of \"")) << c.what;
            EXPECT_EQ(fakeUi.list.back(), "     > unwrap failed") << c.what;
        }
    }
}

TEST_F(Unwrap, ArchiveBeyondTheFreeSpaceWritesNothing) {
    // A sparse archive announcing 300 files of almost 4 GiB: far more than
    // the disk holds, while the archive itself takes no room.
    FILE* f = sysOpenFile(archivePath.c_str(), "wb");
    ASSERT_TRUE(f);
    int64_t at = 0;
    for (int i = 0; i < 300; ++i) {
        std::string head = Arc().fileSized("big" + std::to_string(i), 0xFFFFFFFFu, "").bytes;
        ASSERT_TRUE(sysSeekTo(f, at));
        fwrite(head.data(), 1, head.size(), f);
        at += static_cast<int64_t>(head.size()) + 0xFFFFFFFFLL;
    }
    ASSERT_TRUE(sysSeekTo(f, at));
    fputc(REC_END, f);
    ASSERT_EQ(fclose(f), 0);
    std::vector<std::string> before = listTree(dest);
    // Refused before anything is created, a missing destination included.
    EXPECT_FALSE(unwrapFolder(archivePath.c_str(), (dest + "/new").c_str()));
    EXPECT_TRUE(logHasPrefix(fakeUi.list, "unwrapFolder ERROR - not enough disk space: 1228800.0 MB needed, "));
    EXPECT_TRUE(unwrapFailed & UNWRAP_NO_ROOM) << "an unattended run tells this failure by its exit code";
    EXPECT_NE(fakeUi.list[fakeUi.list.size() - 2].find(
                  " - every new file is written beside the installed ones before any of them is replaced"),
              std::string::npos);
    EXPECT_EQ(fakeUi.list.back(), "     > unwrap failed");
    EXPECT_EQ(listTree(dest), before);
    EXPECT_EQ(readFile(dest + "/keep.txt"), "OLD");
    sysDeleteFile(archivePath.c_str());
}

// The room an unpacking takes at its peak, on a volume of 4 KiB units: every
// temporary file beside the old files, and the journal (one unit here)
// twice while its second state is written.
TEST_F(Unwrap, PeakRoomCountsUnitsAndCreditsReplacedFiles) {
    const uint32_t UNIT = 4096, JOURNALS = 2 * UNIT;
    struct Row {
        const char* what;
        std::vector<std::pair<std::string, uint32_t>> present;  // files in dest before ("x/" a folder)
        std::string archive;
        uint64_t peak;
    };
    auto manyFiles = [](int count, uint32_t size) {
        Arc a;
        for (int i = 0; i < count; ++i) a.file("f" + std::to_string(i), std::string(size, 'n'));
        return a.end().bytes;
    };
    std::vector<std::pair<std::string, uint32_t>> tenOld;
    for (int i = 0; i < 10; ++i) tenOld.push_back({"f" + std::to_string(i), 102400});
    const std::vector<Row> rows = {
        {"new versions of ten files: every temporary file beside the old files", tenOld, manyFiles(10, 102400),
         10 * 102400 + JOURNALS},
        // The journal: 55 bytes, and 44 and its path's length a file, so
        // these 500 names (1,890 bytes) make 23,945 bytes in 6 units.
        {"one-byte files take a unit each", {}, manyFiles(500, 1), 500 * 4096 + 2 * 6 * UNIT},
        {"a header across the walk's 4 KB read window", {},
         Arc().file("a", std::string(4080, 'a')).file(std::string(150, 'n'), std::string(4097, 'b')).end().bytes,
         3 * 4096 + JOURNALS},
        {"empty files take none", {}, manyFiles(20, 0), JOURNALS},
        {"a created folder takes a unit, an existing one none", {{"old/", 0}},
         Arc().dir("old").end().dir("new").end().end().bytes, 4096 + JOURNALS},
        {"a folder record where a file is creates nothing; a file of the archive is not there yet", {{"F", 10}},
         Arc().dir("F").end().file("g", "1").dir("g").end().end().bytes, 2 * 4096 + JOURNALS},
        {"a file written twice replaces its first temporary content", {},
         Arc().file("a", std::string(5000, 'a')).file("a", std::string(5000, 'b')).end().bytes, 8192 + JOURNALS},
        {"a leftover temporary file is truncated first (a unit free before the second journal)", {{"x.unwrap", 8192}},
         Arc().file("x", std::string(4096, 'x')).end().bytes, UNIT},
        {"the walk stops at a name the unpacker refuses", {},
         Arc().file("a", "1").fileSized("CON", 1u << 30, "").end().bytes, 4096 + JOURNALS},
        {"a path beyond the limits stops it too", {},
         Arc().file("a", "1").fileSized(std::string(255, 'l'), 1u << 30, "").end().bytes, 4096 + JOURNALS},
        {"a temporary-name clash stops it too", {},
         Arc().file("a.unwrap", "1").fileSized("a", 1u << 30, "").end().bytes, 4096 + JOURNALS},
    };
    for (const Row& r : rows) {
        removeTree(dest);
        makeFolders(dest);
        for (const auto& [name, size] : r.present) {
            if (name.back() == '/') makeFolders(dest + "/" + name);
            else writeFile(dest + "/" + name, std::string(size, 'o'));
        }
        writeFile(archivePath, r.archive);
        FILE* f = sysOpenFile(archivePath.c_str(), "rb");
        ASSERT_TRUE(f);
        EXPECT_EQ(unpackingPeak(f, static_cast<int64_t>(r.archive.size()), (dest + "\\").c_str(), UNIT), r.peak)
            << r.what;
        fclose(f);
    }
    // A destination that is not there yet takes a unit as well.
    writeFile(archivePath, Arc().end().bytes);
    FILE* f = sysOpenFile(archivePath.c_str(), "rb");
    EXPECT_EQ(unpackingPeak(f, 1, (dest + "/missing\\").c_str(), UNIT), UNIT + JOURNALS);
    fclose(f);
}

TEST_F(Unwrap, PathLimits) {
    // Built paths hold at most 259 bytes, the target's ".unwrap" included.
    size_t root = dest.size() + 1;
    std::string fits(252 - root, 'f'), over(253 - root, 'f');
    EXPECT_TRUE(run(Arc().file(fits, "1").end().bytes));
    EXPECT_EQ(readFile(dest + "/" + fits), "1");
    fakeUi.reset();
    EXPECT_FALSE(run(Arc().file(over, "1").file("after", "1").end().bytes));
    EXPECT_TRUE(logHas(fakeUi.list, "cpyFileContent_unwrap ERROR - path too long (" + dest + "\\" + over + ".unwrap)"));
    EXPECT_FALSE(fileExists(dest + "/after"));

    std::string dirFits(258 - root, 'd'), dirOver(259 - root, 'd');
    EXPECT_TRUE(run(Arc().dir(dirFits).end().end().bytes));
    EXPECT_TRUE(folderExists(dest + "/" + dirFits));
    fakeUi.reset();
    EXPECT_FALSE(run(Arc().dir(dirOver).end().end().bytes));
    EXPECT_TRUE(logHas(fakeUi.list, "unwrapFolder_rec ERROR - path too long (" + dest + "\\" + dirOver + "/)"));

    // The destination itself may hold 999 bytes with its separator.
    fakeUi.reset();
    std::string longDest(1000, 'x');
    EXPECT_FALSE(unwrapFolder(archivePath.c_str(), longDest.c_str()));
    EXPECT_EQ(fakeUi.list.front(), "unwrapFolder ERROR - path too long (" + longDest + ")");
}

TEST_F(Unwrap, TemporaryFileThatCannotBeCreated) {
    writeFile(dest + "/D", "a file where the archive has a folder");
    // Size 0: the first phase goes on, ends false and is undone.
    EXPECT_FALSE(run(Arc().dir("D").file("a", "").end().file("after", "1").end().bytes));
    EXPECT_TRUE(logHasPrefix(fakeUi.list, "cpyFileContent_unwrap ERROR - failed to open dstFile (errCode "));
    EXPECT_FALSE(fileExists(dest + "/after"));
    EXPECT_FALSE(fileExists(dest + "/after.unwrap"));
    EXPECT_NE(unwrapFailed, 0);
    // Size above 0: the content cannot be consumed, so the run stops.
    removeTree(dest + "/after");
    fakeUi.reset();
    EXPECT_FALSE(run(Arc().dir("D").file("a", "1").end().file("after", "1").end().bytes));
    EXPECT_TRUE(logHas(fakeUi.list, "unwrapFolder_rec ERROR - cpy file content 0/1 (" + dest + "\\D/a)"));
    EXPECT_TRUE(logHas(fakeUi.list, "unwrapFolder_rec \"" + dest + "\\D/\" failed"));
    EXPECT_FALSE(fileExists(dest + "/after"));
}

TEST_F(Unwrap, TargetThatCannotBeReplacedStopsTheLandingBeforeItsMoves) {
    makeFolders(dest + "/t");
    writeFile(dest + "/t/inner", "x");
    writeFile(dest + "/after", "0");
    EXPECT_FALSE(run(Arc().file("after", "1").file("t", "NEW").end().bytes));
    EXPECT_TRUE(logHas(fakeUi.list, "unwrapFolder - nothing replaced: \"" + dest + "\\t\" cannot be replaced - 5; the "
                                    "unpacked files are kept for the next try"));
    EXPECT_EQ(fakeUi.list.back(), "     > unwrap failed");
    // Nothing replaced: the files wait, with the journal in its ready state.
    EXPECT_EQ(readFile(dest + "/after"), "0");
    EXPECT_EQ(readFile(dest + "/t.unwrap") + readFile(dest + "/after.unwrap"), "NEW1");
    fakeUi.reset();
    EXPECT_EQ(recoverUnwrap(dest.c_str()), Recovery::Ready);
    EXPECT_EQ(readFile(dest + "/after"), "0");
    // The next unpacking, once the way is free, drops them and lands whole.
    removeTree(dest + "/t");
    fakeUi.reset();
    EXPECT_TRUE(run(Arc().file("after", "1").file("t", "NEW").end().bytes));
    EXPECT_EQ(readFile(dest + "/t") + readFile(dest + "/after"), "NEW1");
    EXPECT_EQ(listTree(dest), (std::vector<std::string>{"f after 1", "f keep.txt 3", "f t 3"}));
}

TEST_F(Unwrap, ProgressOfASmallArchive) {
    // 9 bytes: after the file record 8/9 of the archive is consumed.
    EXPECT_TRUE(run(Arc().file("a", "x").end().bytes));
    EXPECT_EQ(fakeUi.progress, (std::vector<int>{888}));
    EXPECT_EQ(fakeUi.pumpCount, 1);
}

TEST_F(Unwrap, ListingMatchesWhatTheUnpackerReads) {
    const std::string bytes = Arc().raw(std::string("\x00", 1)).dir("D").file("x", "12").end().end().raw("zz").bytes;
    writeFile(archivePath, bytes);
    FILE* f = sysOpenFile(archivePath.c_str(), "rb");
    ASSERT_TRUE(f);
    std::vector<std::string> seen;
    WrpListOutcome outcome;
    listArchive(
        f,
        [](const WrpRecordInfo& r, void* ctx) {
            static_cast<std::vector<std::string>*>(ctx)->push_back(std::to_string(r.offset) + " " + r.kind + " " +
                                                                   r.path);
        },
        &seen, &outcome);
    fclose(f);
    EXPECT_TRUE(outcome.wellFormed);
    EXPECT_EQ(outcome.trailingBytes, 2u);
    EXPECT_EQ(seen, (std::vector<std::string>{"0 s ", "1 d D/", "4 f D/x", "13 e D/", "14 e "}));
    writeFile(archivePath, bytes.substr(0, 10));
    EXPECT_EQ(records(archivePath).front(), "! record header cut short");
    writeFile(archivePath, bytes.substr(0, 12));
    EXPECT_EQ(records(archivePath).front(), "! file content cut short");
}

}  // namespace
