// Archive behaviour that only the Windows side has: the hidden attribute,
// files held open without sharing, drive paths with backslashes.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "archive/release_file.h"
#include "archive/unwrap.h"
#include "archive/unwrap_journal.h"
#include "archive/unwrap_space.h"
#include "archive/wrap.h"
#include "tests/unit/archive_test_helpers.h"
#include "net/link.h"
#include "net/wire_format.h"
#include "platform/sys.h"
#include "setup/package_check.h"
#include "tests/unit/loopback_pair.h"
#include "tests/unit/fake_ui.h"
#include "tests/unit/test_support.h"

using namespace archive_test;

namespace {

std::string backslashed(std::string p) {
    for (char& c : p)
        if (c == '/') c = '\\';
    return p;
}

// Holds a file open while the object lives.  Without sharing it can be
// neither read, deleted nor replaced; with delete sharing a delete succeeds
// but the name stays taken until the handle is closed.
struct Locked {
    HANDLE h;
    explicit Locked(const std::string& path, DWORD share = 0)
        : h(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~Locked() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};

class ArchiveWin32 : public ::testing::Test {
protected:
    void SetUp() override { resetAppState(); }
    ScratchDir box{"arcw"};
    std::string archive = box / "a.wrp";
};

TEST_F(ArchiveWin32, HiddenEntriesAreNeverPacked) {
    std::string src = box / "src";
    makeFolders(src + "/OSKE/secret");
    writeFile(src + "/OSKE/secret/s.dll", "1");
    writeFile(src + "/OSKE/shown.exe", "1");
    writeFile(src + "/OSKE/hidden.exe", "1");
    writeFile(src + "/hidden_top.txt", "1");
    ASSERT_TRUE(SetFileAttributesA((src + "/OSKE/secret").c_str(), FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(SetFileAttributesA((src + "/OSKE/hidden.exe").c_str(), FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(SetFileAttributesA((src + "/hidden_top.txt").c_str(), FILE_ATTRIBUTE_HIDDEN));
    for (uint16_t mode : {PACK_ALL, PACK_OSKE_ALL}) {
        ASSERT_TRUE(wrapFolder(src.c_str(), archive.c_str(), mode));
        EXPECT_EQ(records(archive), (std::vector<std::string>{"d OSKE/", "f OSKE/shown.exe 1"})) << mode;
    }
}

TEST_F(ArchiveWin32, SourceFileThatCannotBeOpenedFailsThePacking) {
    std::string src = box / "src";
    makeFolders(src);
    writeFile(src + "/busy.dll", "12345");
    writeFile(archive, "previous package");
    Locked lock(src + "/busy.dll");
    ASSERT_NE(lock.h, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(wrapFolder(src.c_str(), archive.c_str(), PACK_ALL));
    EXPECT_TRUE(logHas(fakeUi.list, "wrapFolder_rec ERROR - cpy file content 0/5 (" + src + "/busy.dll)"));
    EXPECT_FALSE(fileExists(archive));
}

// A file another program holds stops the landing before anything is
// replaced; the unpacked files wait, and land once it is free.
TEST_F(ArchiveWin32, LockedTargetStopsTheLandingBeforeItsMoves) {
    landingHoldWaitSeconds = 0.2;
    std::string dest = box / "dest";
    makeFolders(dest);
    writeFile(dest + "/a.dll", "OLD");
    writeFile(dest + "/c", "OLD");
    writeFile(archive, archive_test::Arc().file("c", "3").file("a.dll", "NEW").dir("D").file("b", "2").end().end().bytes);
    {
        Locked lock(dest + "/a.dll");
        ASSERT_NE(lock.h, INVALID_HANDLE_VALUE);
        EXPECT_FALSE(unwrapFolder(archive.c_str(), dest.c_str()));
    }
    EXPECT_TRUE(unwrapFailed & UNWRAP_IN_USE) << "an unattended run says so in its exit code";
    EXPECT_TRUE(logHasPrefix(fakeUi.list, "unwrapFolder - nothing replaced: \"" + dest + "\\a.dll\" is in use"));
    EXPECT_EQ(readFile(dest + "/a.dll") + readFile(dest + "/c"), "OLDOLD") << "nothing replaced";
    EXPECT_FALSE(fileExists(dest + "/D/b"));
    EXPECT_EQ(readFile(dest + "/a.dll.unwrap"), "NEW");
    EXPECT_EQ(fakeUi.list.back(), "     > unwrap failed");
    fakeUi.reset();
    EXPECT_EQ(recoverUnwrap(dest.c_str()), Recovery::Ready);
    EXPECT_TRUE(unwrapFolder(archive.c_str(), dest.c_str()));
    EXPECT_EQ(readFile(dest + "/a.dll") + readFile(dest + "/c") + readFile(dest + "/D/b"), "NEW32");
    EXPECT_FALSE(fileExists(dest + "/a.dll.unwrap"));
    EXPECT_FALSE(fileExists(dest + "/a.dll.wrpold"));
    landingHoldWaitSeconds = 5.0;
}

// A target that is open with delete sharing: deleting it and then renaming
// onto its name would lose it.  The replacement in one step keeps either the
// old or the new content in place, never neither.
TEST_F(ArchiveWin32, TargetOpenWithDeleteSharingIsNeverLost) {
    std::string dest = box / "dest";
    makeFolders(dest);
    writeFile(dest + "/a.dll", "OLD");
    writeFile(archive, archive_test::Arc().file("a.dll", "NEW").end().bytes);
    bool ok;
    {
        Locked lock(dest + "/a.dll", FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
        ASSERT_NE(lock.h, INVALID_HANDLE_VALUE);
        ok = unwrapFolder(archive.c_str(), dest.c_str());
    }
    if (ok) {
        EXPECT_EQ(readFile(dest + "/a.dll"), "NEW");
    } else {
        EXPECT_EQ(readFile(dest + "/a.dll"), "OLD");
        EXPECT_EQ(readFile(dest + "/a.dll.unwrap"), "NEW");
    }
}

TEST_F(ArchiveWin32, BackslashDestinationsWithAndWithoutTrailingSeparator) {
    writeFile(archive, archive_test::Arc().dir("D").file("a", "1").end().end().bytes);
    std::string plain = backslashed(box / "KAVO");
    ASSERT_TRUE(unwrapFolder(archive.c_str(), plain.c_str()));
    EXPECT_EQ(fakeUi.list[0], "unwrap \"" + archive + "\" -> \"" + plain + "\\\"");
    fakeUi.reset();
    ASSERT_TRUE(unwrapFolder(archive.c_str(), (plain + "\\").c_str()));
    EXPECT_EQ(fakeUi.list[0], "unwrap \"" + archive + "\" -> \"" + plain + "\\\"");
    EXPECT_EQ(listTree(box / "KAVO"), (std::vector<std::string>{"d D/", "f D/a 1"}));
}

TEST_F(ArchiveWin32, DeviceNamesNeverReachTheFileSystem) {
    std::string dest = box / "dest";
    for (const char* name : {"CON", "nul.txt", "COM1", "LPT1.log", "AUX", "COM\xB9", "lpt0.txt", "CONOUT$"}) {
        fakeUi.reset();
        writeFile(archive, archive_test::Arc().file(name, "x").end().bytes);
        EXPECT_FALSE(unwrapFolder(archive.c_str(), dest.c_str())) << name;
        EXPECT_TRUE(listTree(dest).empty()) << name;
    }
}

// Names that differ only in letter case are one entry to the system, also
// beyond ASCII: the four pairs of Windows-1252 outside 0xC0-0xFE.
TEST_F(ArchiveWin32, LetterCaseBeyondAsciiIsOneEntry) {
    if (GetACP() != 1252) GTEST_SKIP() << "code page " << GetACP();
    const char* const pairs[][2] = {{"\x8A", "\x9A"}, {"\x8C", "\x9C"}, {"\x8E", "\x9E"}, {"\x9F", "\xFF"}};
    std::string dest = box / "dest", src = box / "src";
    for (const auto& p : pairs) {
        std::string upper = p[0], lower = p[1];
        // Unpacking: "U.unwrap" and then "u" would overwrite the first file.
        removeTree(dest);
        fakeUi.reset();
        writeFile(archive, archive_test::Arc().file(upper + ".unwrap", "FIRST").file(lower, "2").end().bytes);
        EXPECT_FALSE(unwrapFolder(archive.c_str(), dest.c_str())) << upper;
        EXPECT_TRUE(logHasPrefix(fakeUi.list, "unwrapFolder_rec ERROR - temporary file of \"")) << upper;
        EXPECT_TRUE(listTree(dest).empty()) << upper;
        // Packing: the twins are refused whatever the enumeration order.
        removeTree(src);
        makeFolders(src);
        writeFile(src + "/" + lower, "2");
        writeFile(src + "/" + upper + ".unwrap", "FIRST");
        EXPECT_FALSE(wrapFolder(src.c_str(), archive.c_str(), PACK_ALL)) << upper;
        // Free space: a leftover temporary file under the other letter case
        // is the one truncated (two units of files and a unit of journal,
        // twice while its second state is written).
        removeTree(dest);
        makeFolders(dest);
        writeFile(dest + "/" + upper + ".unwrap", std::string(8192, 'o'));
        std::string bytes = archive_test::Arc().file(lower, std::string(8192, 'n')).file("b", std::string(8192, 'b')).end().bytes;
        writeFile(archive, bytes);
        FILE* f = sysOpenFile(archive.c_str(), "rb");
        ASSERT_TRUE(f);
        EXPECT_EQ(unpackingPeak(f, static_cast<int64_t>(bytes.size()), (dest + "\\").c_str(), 4096), 16384u) << upper;
        fclose(f);
    }
}

// A key-built installer downloads a package into a file it keeps open, with
// no other writers allowed, and unpacks from that same file: between the
// download and the unpacking nobody can rewrite, replace or delete it, so the
// bytes unpacked are the bytes hashed as they arrived.
TEST_F(ArchiveWin32, TheArchiveUnpackedIsTheOneChecked) {
    const std::string bytes = archive_test::Arc().file("KAVO.exe", "checked").end().bytes;
    writeFile(box / "swap.wrp", archive_test::Arc().file("KAVO.exe", "swapped").end().bytes);
    uint8_t key[CRYPTO_PRIVATE_KEY_BYTES];
    ASSERT_TRUE(sysNewKeyPair(key));
    installerPackageKey = key;
    LoopbackPair pair;
    ASSERT_TRUE(pair.open());
    serverSocket = pair.installer;
    linkRole = 2;
    uint8_t header[FILE_HEADER_MSG_SIZE];
    size_t headerBytes = buildFileHeader(header, sizeof header, static_cast<uint32_t>(bytes.size()));
    ASSERT_TRUE(pair.peerSend(std::string(reinterpret_cast<char*>(header), headerBytes) + bytes));

    FetchedPackage package;
    bool fetched = fetchPackage(archive.c_str(), "wrp\\KAVO.wrp", "KAVO.wrp", &package);
    serverSocket = SYS_NO_SOCKET;
    linkRole = 0;
    installerPackageKey = nullptr;
    ASSERT_TRUE(fetched);
    ASSERT_NE(package.file, nullptr) << "the file is kept from the download to the unpacking";
    FILE* writer = sysOpenFile(archive.c_str(), "r+b");
    EXPECT_EQ(writer, nullptr) << "a writer between the download and the unpacking";
    if (writer) fclose(writer);
    EXPECT_NE(sysReplaceFile((box / "swap.wrp").c_str(), archive.c_str()), SYS_OK);
    EXPECT_NE(sysDeleteFile(archive.c_str()), SYS_OK);

    ASSERT_TRUE(package.digests.finish());
    uint8_t digest[CRYPTO_DIGEST_BYTES];
    SysHash* h = sysHashBegin();
    ASSERT_TRUE(h && sysHashAdd(h, bytes.data(), bytes.size()) && sysHashEnd(h, digest));
    EXPECT_EQ(memcmp(digest, package.digests.whole, sizeof digest), 0);
    EXPECT_TRUE(unwrapFolderFrom(package.file, archive.c_str(), (box / "out").c_str()));
    package.close();
    EXPECT_EQ(readFile(box / "out/KAVO.exe"), "checked");
}

}  // namespace
