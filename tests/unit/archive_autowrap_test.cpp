#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "app/globals.h"
#include "archive/autowrap.h"
#include "archive/package_sign.h"
#include "archive/release_file.h"
#include "base/textbuf.h"
#include "tests/unit/archive_test_helpers.h"
#include "tests/unit/fake_ui.h"
#include "tests/unit/test_support.h"

using namespace archive_test;

namespace {

const char* const packageOrder[] = {"KAVO", "OSKE_EXE", "OSKE_ALL", "VELN_EXE",
                                    "VELN_ALL", "UBRA_EXE", "UBRA_ALL", "KAVO_EXE"};

class AutoWrap : public ::testing::Test {
protected:
    ScratchDir work{"autowrap"};
    void SetUp() override {
        resetAppState();
        ASSERT_TRUE(copyText(workingDir, sizeof workingDir, work.path().c_str()));
    }
    void makeRelease(const std::string& name) {
        for (const char* f : {"top.txt", "OSKE/o.exe", "VELN/v.exe", "VELN/BIN/b.dll", "UBRA/UBRA.exe",
                              "UBRA/x.dll", "KAVO_data/k.ini"}) {
            std::string path = work / (name + "/" + f);
            makeFolders(path.substr(0, path.rfind('/')));
            writeFile(path, "1");
        }
    }
    std::string archiveOf(const std::string& out, const char* package) {
        return work.path() + "\\" + out + "\\" + package + ".wrp";
    }
    // Each package logs: wrap line, done line, timing line, empty line.
    void expectLog(const std::string& out, const std::string& release) {
        ASSERT_EQ(fakeUi.list.size(), 8u * 4u);
        const std::regex timing("wrapFolder \"(.*)\" - [0-9]+\\.[0-9] sec");
        for (int i = 0; i < 8; ++i) {
            std::string archive = archiveOf(out, packageOrder[i]);
            EXPECT_EQ(fakeUi.list[4 * i], "wrap \"" + work.path() + "\\" + release + "/\" -> \"" + archive + "\"");
            EXPECT_EQ(fakeUi.list[4 * i + 1], "     > wrap done");
            std::smatch m;
            ASSERT_TRUE(std::regex_match(fakeUi.list[4 * i + 2], m, timing)) << fakeUi.list[4 * i + 2];
            EXPECT_EQ(m[1].str(), archive);
            EXPECT_EQ(fakeUi.list[4 * i + 3], "");
        }
    }
};

TEST_F(AutoWrap, MakesTheEightPackagesInOrder) {
    makeRelease("KAVO");
    autoWrapRelease();
    expectLog("wrp", "KAVO");
    EXPECT_EQ(records(archiveOf("wrp", "KAVO")).size(), 12u);
    EXPECT_EQ(records(archiveOf("wrp", "OSKE_EXE")), (std::vector<std::string>{"d OSKE/", "f OSKE/o.exe 1"}));
    EXPECT_EQ(records(archiveOf("wrp", "VELN_EXE")),
              (std::vector<std::string>{"d VELN/", "d VELN/BIN/", "f VELN/BIN/b.dll 1", "f VELN/v.exe 1"}));
    EXPECT_EQ(records(archiveOf("wrp", "UBRA_EXE")), (std::vector<std::string>{"d UBRA/", "f UBRA/UBRA.exe 1"}));
    EXPECT_EQ(records(archiveOf("wrp", "UBRA_ALL")),
              (std::vector<std::string>{"d UBRA/", "f UBRA/UBRA.exe 1", "f UBRA/x.dll 1"}));
    EXPECT_EQ(records(archiveOf("wrp", "KAVO_EXE")), (std::vector<std::string>{"d KAVO_data/", "f KAVO_data/k.ini 1"}));

    // A second run overwrites the packages and reuses the folder silently.
    removeTree(work / "KAVO/VELN");
    fakeUi.reset();
    autoWrapRelease();
    expectLog("wrp", "KAVO");
    EXPECT_EQ(readFile(archiveOf("wrp", "VELN_EXE")), "\x04");
    EXPECT_EQ(readFile(archiveOf("wrp", "VELN_ALL")), "\x04");
}

TEST_F(AutoWrap, TestEditionUsesItsOwnFolders) {
    testEdition = true;
    makeRelease("KAVO_TEST");
    makeRelease("KAVO");
    writeFile(work / "KAVO/OSKE/only_in_normal", "x");
    autoWrapRelease();
    expectLog("wrp_TEST", "KAVO_TEST");
    EXPECT_FALSE(folderExists(work / "wrp"));
    EXPECT_EQ(records(archiveOf("wrp_TEST", "OSKE_ALL")), (std::vector<std::string>{"d OSKE/", "f OSKE/o.exe 1"}));
}

TEST_F(AutoWrap, MissingReleaseFolderGivesEightEmptyArchives) {
    autoWrapRelease();
    expectLog("wrp", "KAVO");
    for (const char* p : packageOrder) EXPECT_EQ(readFile(archiveOf("wrp", p)), "\x04") << p;
    EXPECT_EQ(fakeUi.list[2].substr(fakeUi.list[2].size() - 8), " 0.0 sec");
}

TEST_F(AutoWrap, OutputFolderThatCannotBeCreated) {
    writeFile(work / "blocker", "x");
    std::string base = work.path() + "/blocker";
    ASSERT_TRUE(copyText(workingDir, sizeof workingDir, base.c_str()));
    autoWrapRelease();
    ASSERT_FALSE(fakeUi.list.empty());
    EXPECT_EQ(fakeUi.list[0].rfind("CreateDirectory \"" + base + "\\wrp\" ERROR - ", 0), 0u) << fakeUi.list[0];
    int failed = 0;
    for (const std::string& l : fakeUi.list)
        if (l.rfind("failed to open \"", 0) == 0) ++failed;
    EXPECT_EQ(failed, 8);  // the run still goes through every package
}

TEST_F(AutoWrap, OverLongPathsAreRefusedNotCut) {
    // 250 bytes: the output folder still fits 259 bytes, no archive path does.
    std::string base = work.path() + "/" + std::string(249 - work.path().size(), 'w');
    ASSERT_EQ(base.size(), 250u);
    ASSERT_TRUE(copyText(workingDir, sizeof workingDir, base.c_str()));
    makeFolders(base);
    autoWrapRelease();
    int refused = 0;
    for (const std::string& l : fakeUi.list)
        if (l.rfind("autoWrapRelease ERROR - path too long (", 0) == 0) ++refused;
    EXPECT_EQ(refused, 8);
    EXPECT_TRUE(listTree(base + "/wrp").empty());
}

// With the maker's key named from outside the packing folder every package
// is signed and the release file written; a key file inside the folders
// that are packed or served, or a key that is not one pair, packs nothing.
TEST_F(AutoWrap, SignsWithAKeyFromOutsideAndWritesTheRelease) {
    makeRelease("KAVO");
    ScratchDir keys{"autowrap_keys"};
    uint8_t key[CRYPTO_PRIVATE_KEY_BYTES], other[CRYPTO_PRIVATE_KEY_BYTES];
    ASSERT_TRUE(sysNewKeyPair(key) && sysNewKeyPair(other));
    const std::string keyBytes(reinterpret_cast<char*>(key), sizeof key);
    writeFile(keys / "maker.key", keyBytes);
    ASSERT_TRUE(copyText(signingKeyPath, sizeof signingKeyPath, (keys / "maker.key").c_str()));
    autoWrapRelease();
    uint8_t id[SIG_KEY_ID_BYTES];
    char idText[2 * SIG_KEY_ID_BYTES + 1];
    ASSERT_TRUE(packageKeyId(key, id));
    keyIdText(id, idText);
    for (const char* package : packageOrder) {
        EXPECT_TRUE(logHas(fakeUi.list, "sign \"" + archiveOf("wrp", package) + "\" - key " + idText)) << package;
        EXPECT_EQ(checkPackage(archiveOf("wrp", package).c_str(), key, nullptr), PackageCheck::Accepted) << package;
    }
    ReleaseInfo info;
    EXPECT_EQ(readReleaseFile((work / "wrp/KAVO.release").c_str(), key, false, &info), ReleaseCheck::Accepted);
    EXPECT_TRUE(logHasPrefix(fakeUi.list, "release \"" + work.path() + "\\wrp\\KAVO.release\" - number "));

    // Each of these stops the run before anything is packed: a key named
    // inside the folder however its path is written, a key file or a copy of
    // the key anywhere below it (the key named from outside), a bad key.
    // The working folder as the exe has it, with "\\".
    std::string bs = work.path(), dirName = bs.substr(bs.rfind('/') + 1), upper = dirName;
    for (char& c : bs) c = c == '/' ? '\\' : c;
    for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    ASSERT_TRUE(copyText(workingDir, sizeof workingDir, bs.c_str()));
    const std::string outside = keys / "maker.key", relative = "..\\" + dirName + "\\KAVO\\OSKE\\k.key";
    const std::string otherCase = work.path().substr(0, work.path().rfind('/') + 1) + upper + "/KAVO/OSKE/k.bin";
    const std::string packed = "\" lies in a folder that is packed", inside = "\" lies in the packing folder";
    std::string halves = keyBytes.substr(0, CRYPTO_PUBLIC_KEY_BYTES) +
                         std::string(reinterpret_cast<char*>(other) + CRYPTO_PUBLIC_KEY_BYTES, 32);
    const struct {
        std::string file, bytes, line, key;
    } refused[] = {
        {work / "KAVO_signing.key", keyBytes, "key file \"" + bs + "\\KAVO_signing.key" + packed, outside},
        {work / "wrp/x.KEY", keyBytes, "key file \"" + bs + "\\wrp\\x.KEY" + packed, outside},
        {work / "KAVO/UBRA/sub/old.key", "old", "key file \"" + bs + "\\KAVO\\UBRA\\sub\\old.key" + packed, outside},
        {work / "KAVO/OSKE/notes.txt", keyBytes, "\"" + bs + "\\KAVO\\OSKE\\notes.txt\" holds the private key's bytes",
         outside},
        {work / "inside/maker.key", keyBytes, "key file \"" + work.path() + "/inside/maker.key" + inside, ""},
        {work / "KAVO/OSKE/k.key", keyBytes, "key file \"" + relative + inside, relative},
        {work / "KAVO/OSKE/k.bin", keyBytes, "key file \"" + otherCase + inside, otherCase},
        {keys / "bad.key", "not a key", "\"" + keys.path() + "/bad.key\" is no private key", ""},
        {keys / "mixed.key", halves, "\"" + keys.path() + "/mixed.key\": the two halves", ""},
    };
    for (const auto& r : refused) {
        removeTree(work / "wrp");
        makeFolders(r.file.substr(0, r.file.rfind('/')));
        writeFile(r.file, r.bytes);
        ASSERT_TRUE(copyText(signingKeyPath, sizeof signingKeyPath, (r.key.empty() ? r.file : r.key).c_str()));
        fakeUi.list.clear();
        autoWrapRelease();
        EXPECT_TRUE(logHasPrefix(fakeUi.list, "autoWrapRelease ERROR - " + r.line))
            << r.file << "\n" << (fakeUi.list.empty() ? "" : fakeUi.list[0]);
        EXPECT_EQ(fakeUi.list.size(), 1u) << r.file;
        EXPECT_EQ(sysPathKind(archiveOf("wrp", "KAVO").c_str()), 0) << r.file;
        std::remove(r.file.c_str());
    }
}

}  // namespace
