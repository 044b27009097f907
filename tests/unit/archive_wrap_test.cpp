#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/wrap.h"
#include "tests/unit/archive_test_helpers.h"
#include "tests/unit/fake_ui.h"
#include "tests/unit/test_support.h"

#if !defined(_WIN32)
#include <unistd.h>
#endif

using namespace archive_test;

namespace {

class Wrap : public ::testing::Test {
protected:
    void SetUp() override { resetAppState(); }
    ScratchDir dir{"wrap"};
    std::string archive() const { return dir / "out.wrp"; }
    std::string pack(const std::string& src, uint16_t mode = PACK_ALL, bool expect = true) {
        EXPECT_EQ(wrapFolder(src.c_str(), archive().c_str(), mode), expect) << src;
        return readFile(archive());
    }
};

// Names in the order the enumeration gives them.
std::vector<std::string> enumerated(const std::string& folder) {
    std::vector<std::string> names;
    SysFolderScan* scan = sysScanBegin(folder.c_str());
    SysFolderEntry e;
    while (scan && sysScanNext(scan, &e))
        if (e.name[0] != '.') names.push_back(e.name);
    sysScanEnd(scan);
    return names;
}

TEST_F(Wrap, WorkedExampleByteForByte) {
    std::string src = dir / "src";
    makeFolders(src + "/D");
    writeFile(src + "/a.txt", "abc");
    writeFile(src + "/D/b", "");
    const std::string fileRec("\x02\x05" "a.txt" "\x03\x00\x00\x00" "abc", 14);
    const std::string dirRec("\x01\x01" "D" "\x02\x01" "b" "\x00\x00\x00\x00" "\x04", 11);
    // The packer keeps the enumeration's order; the documented 26 bytes are
    // the order a.txt, D.
    std::vector<std::string> order = enumerated(src);
    ASSERT_EQ(order.size(), 2u);
    std::string expected = order[0] == "a.txt" ? fileRec + dirRec + "\x04" : dirRec + fileRec + "\x04";
    std::string got = pack(src);
    EXPECT_EQ(got.size(), 26u);
    EXPECT_EQ(got, expected);
    if (order[0] == "a.txt") {
        const unsigned char doc[26] = {0x02, 0x05, 0x61, 0x2E, 0x74, 0x78, 0x74, 0x03, 0x00, 0x00, 0x00, 0x61, 0x62,
                                       0x63, 0x01, 0x01, 0x44, 0x02, 0x01, 0x62, 0x00, 0x00, 0x00, 0x00, 0x04, 0x04};
        EXPECT_EQ(got, std::string(reinterpret_cast<const char*>(doc), 26));
    }
    EXPECT_EQ(fakeUi.list, (std::vector<std::string>{"wrap \"" + src + "/\" -> \"" + archive() + "\"",
                                                     "     > wrap done"}));
}

TEST_F(Wrap, MissingOrEmptySourceGivesOneEndByte) {
    makeFolders(dir / "empty");
    EXPECT_EQ(pack(dir / "empty"), "\x04");
    EXPECT_EQ(pack(dir / "missing"), "\x04");
    EXPECT_EQ(fakeUi.list.back(), "     > wrap done");
}

TEST_F(Wrap, EmptyFolderAndZeroLengthFileRecords) {
    std::string src = dir / "src";
    makeFolders(src + "/E");
    EXPECT_EQ(pack(src), std::string("\x01\x01" "E" "\x04" "\x04", 5));
    removeTree(src + "/E");
    writeFile(src + "/z", "");
    EXPECT_EQ(pack(src), std::string("\x02\x01" "z" "\x00\x00\x00\x00" "\x04", 8));
}

TEST_F(Wrap, DotNamesAreNeverPacked) {
    std::string src = dir / "src";
    makeFolders(src + "/.svn");
    writeFile(src + "/.svn/entries", "x");
    writeFile(src + "/.gitignore", "x");
    makeFolders(src + "/OSKE/.cache");
    writeFile(src + "/OSKE/.hidden", "x");
    writeFile(src + "/OSKE/ok", "1");
    pack(src);
    EXPECT_EQ(records(archive()), (std::vector<std::string>{"d OSKE/", "f OSKE/ok 1"}));
    pack(src, PACK_OSKE_ALL);
    EXPECT_EQ(records(archive()), (std::vector<std::string>{"d OSKE/", "f OSKE/ok 1"}));
}

TEST_F(Wrap, TrailingSeparatorIsNotDoubled) {
    std::string src = dir / "src";
    makeFolders(src);
    writeFile(src + "/f", "1");
    std::string plain = pack(src);
    fakeUi.reset();
    EXPECT_EQ(pack(src + "/"), plain);
    EXPECT_EQ(fakeUi.list[0], "wrap \"" + src + "/\" -> \"" + archive() + "\"");
    fakeUi.reset();
    EXPECT_EQ(pack(src + "\\"), plain);
    EXPECT_EQ(fakeUi.list[0], "wrap \"" + src + "\\\" -> \"" + archive() + "\"");
}

TEST_F(Wrap, RefusedCalls) {
    EXPECT_FALSE(wrapFolder(nullptr, archive().c_str(), PACK_ALL));
    EXPECT_FALSE(wrapFolder(dir.path().c_str(), nullptr, PACK_ALL));
    EXPECT_TRUE(fakeUi.list.empty());
    EXPECT_FALSE(wrapFolder_rec("x/", nullptr, 0));
    EXPECT_EQ(fakeUi.list.back(), "wrapFolder_rec ERROR - dstFile == NULL");
    // Value 2 is not a package mode.
    EXPECT_FALSE(wrapFolder(dir.path().c_str(), archive().c_str(), 2));
    EXPECT_FALSE(fileExists(archive()));
    // An archive that cannot be created.
    EXPECT_FALSE(wrapFolder(dir.path().c_str(), (dir / "no/such/folder/a.wrp").c_str(), PACK_ALL));
    EXPECT_EQ(fakeUi.list.back(), "failed to open \"" + dir / "no/such/folder/a.wrp" + "\"");
    // A source path that does not fit the packer's 999 bytes is refused.
    std::string longPath(1000, 'x');
    EXPECT_FALSE(wrapFolder(longPath.c_str(), archive().c_str(), PACK_ALL));
    EXPECT_TRUE(logHasPrefix(fakeUi.list, "wrapFolder ERROR - path too long"));
}

// One release folder for every package mode; the records are compared as a
// sorted set because the enumeration order is the system's.
class PackageModes : public Wrap {
protected:
    std::string release = dir / "KAVO";
    void SetUp() override {
        Wrap::SetUp();
        for (const char* f : {"top.txt", "OSKE/oske.exe", "OSKE/sub/deep.dat", "VELN/veln.exe", "VELN/BIN/b.dll",
                              "VELN/BIN/x/y.dat", "VELN/DOC/d.txt", "UBRA/UBRA.exe", "UBRA/readme.txt",
                              "UBRA/sub/UBRA.exe", "UBRA/sub/other.dll", "UBRA/sub2/ubra.exe", "KAVO_data/k.ini",
                              "KAVO_data/sub/k2", "other/o.txt", "other/UBRA.exe"}) {
            std::string path = release + "/" + f;
            makeFolders(path.substr(0, path.rfind('/')));
            writeFile(path, "12");
        }
        makeFolders(release + "/UBRA/empty");
        makeFolders(release + "/OSKE/sub/empty");
    }
    std::vector<std::string> recordsOf(uint16_t mode) {
        pack(release, mode);
        return records(archive());
    }
};

TEST_F(PackageModes, All) {
    EXPECT_EQ(recordsOf(PACK_ALL),
              (std::vector<std::string>{
                  "d KAVO_data/", "d KAVO_data/sub/", "d OSKE/", "d OSKE/sub/", "d OSKE/sub/empty/", "d UBRA/",
                  "d UBRA/empty/", "d UBRA/sub/", "d UBRA/sub2/", "d VELN/", "d VELN/BIN/",
                  "d VELN/BIN/x/", "d VELN/DOC/", "d other/", "f KAVO_data/k.ini 2", "f KAVO_data/sub/k2 2", "f OSKE/oske.exe 2",
                  "f OSKE/sub/deep.dat 2", "f UBRA/UBRA.exe 2", "f UBRA/readme.txt 2", "f UBRA/sub/UBRA.exe 2",
                  "f UBRA/sub/other.dll 2", "f UBRA/sub2/ubra.exe 2", "f VELN/BIN/b.dll 2", "f VELN/BIN/x/y.dat 2",
                  "f VELN/DOC/d.txt 2", "f VELN/veln.exe 2", "f other/UBRA.exe 2", "f other/o.txt 2",
                  "f top.txt 2"}));
}

TEST_F(PackageModes, Oske) {
    EXPECT_EQ(recordsOf(PACK_OSKE_EXE), (std::vector<std::string>{"d OSKE/", "f OSKE/oske.exe 2"}));
    EXPECT_EQ(recordsOf(PACK_OSKE_ALL), (std::vector<std::string>{"d OSKE/", "d OSKE/sub/", "d OSKE/sub/empty/",
                                                                  "f OSKE/oske.exe 2", "f OSKE/sub/deep.dat 2"}));
}

TEST_F(PackageModes, Veln) {
    EXPECT_EQ(recordsOf(PACK_VELN_EXE),
              (std::vector<std::string>{"d VELN/", "d VELN/BIN/", "d VELN/BIN/x/", "f VELN/BIN/b.dll 2",
                                        "f VELN/BIN/x/y.dat 2", "f VELN/veln.exe 2"}));
    EXPECT_EQ(recordsOf(PACK_VELN_ALL),
              (std::vector<std::string>{"d VELN/", "d VELN/BIN/", "d VELN/BIN/x/", "d VELN/DOC/", "f VELN/BIN/b.dll 2",
                                        "f VELN/BIN/x/y.dat 2", "f VELN/DOC/d.txt 2", "f VELN/veln.exe 2"}));
}

TEST_F(PackageModes, KavoData) {
    EXPECT_EQ(recordsOf(PACK_KAVO_EXE), (std::vector<std::string>{"d KAVO_data/", "d KAVO_data/sub/",
                                                                  "f KAVO_data/k.ini 2", "f KAVO_data/sub/k2 2"}));
}

TEST_F(PackageModes, Ubra) {
    // Every folder below UBRA, but of the files only those named exactly UBRA.exe.
    EXPECT_EQ(recordsOf(PACK_UBRA_EXE), (std::vector<std::string>{"d UBRA/", "d UBRA/empty/", "d UBRA/sub/",
                                                                  "d UBRA/sub2/", "f UBRA/UBRA.exe 2",
                                                                  "f UBRA/sub/UBRA.exe 2"}));
    EXPECT_EQ(recordsOf(PACK_UBRA_ALL),
              (std::vector<std::string>{"d UBRA/", "d UBRA/empty/", "d UBRA/sub/", "d UBRA/sub2/",
                                        "f UBRA/UBRA.exe 2", "f UBRA/readme.txt 2", "f UBRA/sub/UBRA.exe 2",
                                        "f UBRA/sub/other.dll 2", "f UBRA/sub2/ubra.exe 2"}));
}

TEST_F(PackageModes, FolderNamesAreCaseSensitive) {
    std::string lower = dir / "lower";
    for (const char* f : {"oske/a", "veln/BIN/a", "ubra/UBRA.exe", "kavo_data/a"}) {
        std::string path = lower + "/" + f;
        makeFolders(path.substr(0, path.rfind('/')));
        writeFile(path, "1");
    }
    for (uint16_t mode : {PACK_OSKE_EXE, PACK_OSKE_ALL, PACK_UBRA_EXE, PACK_UBRA_ALL, PACK_KAVO_EXE})
        EXPECT_EQ(pack(lower, mode), "\x04") << mode;
    EXPECT_EQ(pack(lower, PACK_VELN_EXE), "\x04");
    // "bin" is not "BIN" either (a separate tree: the Windows side folds case).
    std::string other = dir / "other";
    makeFolders(other + "/VELN/bin");
    writeFile(other + "/VELN/bin/a", "1");
    pack(other, PACK_VELN_EXE);
    EXPECT_EQ(records(archive()), (std::vector<std::string>{"d VELN/"}));
}

#if !defined(_WIN32)
// Entries the archive cannot hold: the packing fails, the archive is removed
// and the log says which entry.  (POSIX only: these names and sizes cannot
// be made on the Windows side.)
TEST_F(Wrap, EntriesTheFormatCannotHoldFailThePacking) {
    struct Case {
        const char* name;
        const char* logPrefix;
    } cases[] = {
        {"a:b", "wrapFolder_rec ERROR - name cannot be unpacked, separator in name"},
        {"a\\b", "wrapFolder_rec ERROR - name cannot be unpacked, separator in name"},
        {"trailing.", "wrapFolder_rec ERROR - name cannot be unpacked, name ends in a dot"},
        {"CON", "wrapFolder_rec ERROR - name cannot be unpacked, device name"},
        {"com\xB9.dll", "wrapFolder_rec ERROR - name cannot be unpacked, device name"},
        {"LPT0", "wrapFolder_rec ERROR - name cannot be unpacked, device name"},
    };
    for (const Case& c : cases) {
        fakeUi.reset();
        std::string src = dir / "bad";
        removeTree(src);
        makeFolders(src + "/OSKE");
        writeFile(src + "/OSKE/good", "1");
        // Straight to the file system: the seam would take a backslash for a separator.
        FILE* f = fopen((src + "/OSKE/" + c.name).c_str(), "wb");
        ASSERT_TRUE(f) << c.name;
        fclose(f);
        writeFile(archive(), "old");
        EXPECT_FALSE(wrapFolder(src.c_str(), archive().c_str(), PACK_ALL)) << c.name;
        EXPECT_FALSE(fileExists(archive())) << c.name;
        EXPECT_TRUE(logHasPrefix(fakeUi.list, c.logPrefix)) << c.name;
        EXPECT_EQ(fakeUi.list.back(), "     > wrap failed, \"" + archive() + "\" removed");
    }
}

#endif

// A file beside an entry named like its temporary file could not be
// unpacked without losing one of them, in whichever order they come.
TEST_F(Wrap, FileBesideItsTemporaryNameFailsThePacking) {
    for (bool folder : {false, true}) {
        fakeUi.reset();
        std::string src = dir / (folder ? "clashd" : "clashf");
        makeFolders(src + "/OSKE");
        writeFile(src + "/OSKE/a.dll", "1");
        if (folder) makeFolders(src + "/OSKE/A.DLL.unwrap");
        else writeFile(src + "/OSKE/a.dll.unwrap", "2");
        writeFile(archive(), "old");
        EXPECT_FALSE(wrapFolder(src.c_str(), archive().c_str(), PACK_OSKE_ALL)) << folder;
        EXPECT_FALSE(fileExists(archive())) << folder;
        EXPECT_TRUE(logHasPrefix(fakeUi.list, "wrapFolder_rec ERROR - name cannot be unpacked beside its temporary "
                                              "name .unwrap ("))
            << folder;
    }
}

#if !defined(_WIN32)
TEST_F(Wrap, FileOfFourGiBIsRefusedNotTruncated) {
    std::string src = dir / "big";
    makeFolders(src);
    std::string big = src + "/huge.bin";
    writeFile(big, "");
    ASSERT_EQ(truncate(big.c_str(), 0x100000000LL), 0);  // sparse: nothing is read
    EXPECT_FALSE(wrapFolder(src.c_str(), archive().c_str(), PACK_ALL));
    EXPECT_FALSE(fileExists(archive()));
    EXPECT_TRUE(logHas(fakeUi.list, "wrapFolder_rec ERROR - file of 4294967296 bytes is too large for the archive (" +
                                        big + ")"));
}

TEST_F(Wrap, FileThatChangedSizeFailsThePacking) {
    // /proc files report size 0 and then give content: the same as a file
    // that grew between the enumeration and the copy.
    std::string src = dir / "grow";
    makeFolders(src);
    ASSERT_EQ(symlink("/proc/self/status", (src + "/status").c_str()), 0);
    EXPECT_FALSE(wrapFolder(src.c_str(), archive().c_str(), PACK_ALL));
    EXPECT_FALSE(fileExists(archive()));
    // The count is what went into the archive, not what the file held.
    EXPECT_TRUE(logHas(fakeUi.list, "cpyFileContent_wrap ERROR - 0/0 coppied"));
    EXPECT_TRUE(logHas(fakeUi.list, "cpyFileContent_wrap ERROR - \"" + src + "/status\" grew while it was packed"));
    EXPECT_TRUE(logHas(fakeUi.list, "wrapFolder_rec ERROR - cpy file content 0/0 (" + src + "/status)"));
}

TEST_F(Wrap, PathsOverTheirBufferAreRefused) {
    std::string src = dir / "deep";
    std::string path = src;
    for (int i = 0; i < 5; ++i) path += "/" + std::string(200, 'a' + i);
    makeFolders(path);
    writeFile(path + "/f", "1");
    EXPECT_FALSE(wrapFolder(src.c_str(), archive().c_str(), PACK_ALL));
    EXPECT_FALSE(fileExists(archive()));
    EXPECT_TRUE(logHasPrefix(fakeUi.list, "wrapFolder_rec ERROR - path too long ("));
}
#endif

}  // namespace
