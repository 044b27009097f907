// Signed packages: the hostile table against the check (natively on
// libcrypto, under wine on CNG), signing in place, and the unpacker reading
// a signed package exactly as an unsigned one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "archive/package_sign.h"
#include "app/globals.h"
#include "archive/release_file.h"
#include "setup/installation.h"
#include "setup/outcome.h"
#include "setup/package_check.h"
#include "tests/hostile_packages.h"
#include "tests/unit/archive_test_helpers.h"
#include "tests/unit/fake_ui.h"
#include "tests/unit/test_support.h"

using namespace archive_test;

namespace {

struct KeyPair {
    uint8_t key[CRYPTO_PRIVATE_KEY_BYTES];
    KeyPair() { EXPECT_TRUE(sysNewKeyPair(key)); }
    const uint8_t* pub() const { return key; }
};

class Signed : public ::testing::Test {
protected:
    void SetUp() override { resetAppState(); }
    void TearDown() override { installerPackageKey = nullptr; }
    ScratchDir box{"signed"};
    KeyPair ours, other;
    std::string archive = Arc().file("KAVO.exe", "the product").dir("D").file("b", "").end().end().bytes;

    std::string signedWith(const std::string& bytes, const KeyPair& k, const std::string& name = "s.wrp") {
        writeFile(box / name, bytes);
        EXPECT_TRUE(signPackage((box / name).c_str(), k.key));
        return readFile(box / name);
    }
    // `bytes` with a trailer of our key made for the other kind of file.
    std::string signedAs(SignedKind kind, const std::string& bytes) {
        uint8_t digest[CRYPTO_DIGEST_BYTES], sig[CRYPTO_SIGNATURE_BYTES], id[SIG_KEY_ID_BYTES];
        SysHash* h = sysHashBegin();
        EXPECT_TRUE(h && sysHashAdd(h, bytes.data(), bytes.size()) && sysHashEnd(h, digest));
        EXPECT_TRUE(signedDigest(kind, digest, digest) && sysSignDigest(ours.key, digest, sig) &&
                    packageKeyId(ours.pub(), id));
        return bytes + SIG_MAGIC + std::string(reinterpret_cast<char*>(id), sizeof id) +
               std::string(reinterpret_cast<char*>(sig), sizeof sig);
    }
};

TEST_F(Signed, EveryHostileRowIsRefusedWithOneLine) {
    std::string good = signedWith(archive, ours);
    ASSERT_EQ(good.size(), archive.size() + SIG_TRAILER_BYTES);
    EXPECT_EQ(good.compare(0, archive.size(), archive), 0) << "signing appends, it changes no archive byte";
    EXPECT_EQ(checkPackage(nullptr, ours.pub(), nullptr), PackageCheck::Unreadable);
    writeFile(box / "p.wrp", good);
    EXPECT_EQ(checkPackage((box / "p.wrp").c_str(), ours.pub(), nullptr), PackageCheck::Accepted);

    std::string otherArchive = Arc().file("KAVO.exe", "another product").end().bytes;
    auto rows = hostilePackages(archive, good, signedWith(archive, other), signedWith(otherArchive, ours),
                                signedAs(SignedKind::Release, archive));
    for (const auto& row : rows) {
        writeFile(box / "p.wrp", row.bytes);
        uint64_t count = 0;
        EXPECT_EQ(checkPackage((box / "p.wrp").c_str(), ours.pub(), &count), row.expected) << row.what;
        if (row.expected == PackageCheck::TrailerCut) {
            EXPECT_EQ(count + archive.size(), row.bytes.size()) << row.what;
        }
        fakeUi.list.clear();
        EXPECT_FALSE(verifyPackage((box / "p.wrp").c_str(), ours.pub())) << row.what;
        ASSERT_EQ(fakeUi.list.size(), 1u) << row.what;
        EXPECT_EQ(fakeUi.list[0].rfind("verifyPackage ERROR - \"", 0), 0u) << fakeUi.list[0];
        EXPECT_NE(fakeUi.list[0].find(" - refused"), std::string::npos) << fakeUi.list[0];
    }
    EXPECT_TRUE(logHas(fakeUi.list, "verifyPackage ERROR - \"" + box / "p.wrp" +
                                        "\" signature cut short (79 of 80 bytes) - refused"));
}

// The key-built installer judges a package from the digests taken while it
// downloads: the same verdict as the check that reads the file, whatever
// blocks the bytes arrive in, and the whole digest is the file's.
TEST_F(Signed, OnePassJudgesAsTheCheckThatReadsTheFile) {
    std::string good = signedWith(archive, ours);
    std::string otherArchive = Arc().file("KAVO.exe", "another product").end().bytes;
    auto rows = hostilePackages(archive, good, signedWith(archive, other), signedWith(otherArchive, ours),
                                signedAs(SignedKind::Release, archive));
    rows.push_back({"the package as signed", good, PackageCheck::Accepted});
    const std::string path = box / "p.wrp";
    for (const auto& row : rows) {
        writeFile(path, row.bytes);
        uint64_t readCount = 0;
        PackageCheck read = checkPackage(path.c_str(), ours.pub(), &readCount);
        uint8_t fileDigest[CRYPTO_DIGEST_BYTES];
        uint64_t fileLength = 0;
        FILE* f = sysOpenFile(path.c_str(), "rb");
        ASSERT_TRUE(f && hashStream(f, fileDigest, &fileLength)) << row.what;
        for (size_t block : {size_t{1}, size_t{SIG_TRAILER_BYTES - 1}, size_t{1} << 16}) {
            PackageDigests d;
            d.begin(row.bytes.size());
            for (size_t at = 0; at < row.bytes.size(); at += block)
                d.add(row.bytes.data() + at, std::min(block, row.bytes.size() - at));
            ASSERT_TRUE(d.finish()) << row.what;
            uint64_t count = 0;
            EXPECT_EQ(checkPackageDigests(f, d, ours.pub(), &count), read) << row.what << ", blocks of " << block;
            EXPECT_EQ(count, readCount) << row.what;
            EXPECT_EQ(d.length, fileLength);
            EXPECT_EQ(memcmp(d.whole, fileDigest, sizeof fileDigest), 0) << row.what;
        }
        fclose(f);
    }
    // Bytes that are not the size announced are no package of that size.
    PackageDigests d;
    d.begin(good.size() + 1);
    d.add(good.data(), good.size());
    EXPECT_FALSE(d.finish()) << "fewer bytes than announced";
    d.begin(good.size() - 1);
    d.add(good.data(), good.size());
    EXPECT_FALSE(d.finish()) << "more bytes than announced";
}

TEST_F(Signed, WithoutAKeyTheInstallerChecksNothingAndSaysSo) {
    writeFile(box / "p.wrp", archive);
    EXPECT_TRUE(beginRelease((box / "KAVO.release").c_str(), "install KAVO"));
    EXPECT_EQ(fakeUi.list, std::vector<std::string>{"packages are not verified: this installer has no maker key"});
    EXPECT_TRUE(unpackPackage((box / "p.wrp").c_str(), "KAVO.wrp", (box / "out").c_str()));
    EXPECT_EQ(readFile(box / "out/KAVO.exe"), "the product");
}

TEST_F(Signed, SigningReplacesItsOwnTrailerAndRefusesWhatIsNoWholeArchive) {
    // A private key whose halves belong to two pairs signs nothing.
    uint8_t mixed[CRYPTO_PRIVATE_KEY_BYTES];
    memcpy(mixed, ours.key, CRYPTO_PUBLIC_KEY_BYTES);
    memcpy(mixed + CRYPTO_PUBLIC_KEY_BYTES, other.key + CRYPTO_PUBLIC_KEY_BYTES, 32);
    EXPECT_TRUE(keyHalvesMatch(ours.key));
    EXPECT_FALSE(keyHalvesMatch(mixed));
    writeFile(box / "p.wrp", archive);
    EXPECT_FALSE(signPackage((box / "p.wrp").c_str(), mixed));
    EXPECT_EQ(readFile(box / "p.wrp"), archive);

    std::string once = signedWith(archive, ours);
    std::string again = signedWith(once, other);
    EXPECT_EQ(again.size(), once.size()) << "the old trailer is replaced, not kept";
    writeFile(box / "p.wrp", again);
    EXPECT_EQ(checkPackage((box / "p.wrp").c_str(), other.pub(), nullptr), PackageCheck::Accepted);

    const std::string refused[] = {archive.substr(0, archive.size() - 1), archive + "junk", once + "x", ""};
    for (const auto& bytes : refused) {
        writeFile(box / "p.wrp", bytes);
        EXPECT_FALSE(signPackage((box / "p.wrp").c_str(), ours.key));
        EXPECT_EQ(readFile(box / "p.wrp"), bytes) << "a refused package is left as it was";
    }
    EXPECT_TRUE(logHasPrefix(fakeUi.list, "sign ERROR - \""));
}

TEST_F(Signed, KeyFilesMustHaveTheirExactForm) {
    uint8_t key[CRYPTO_PRIVATE_KEY_BYTES];
    writeFile(box / "pub", std::string(reinterpret_cast<const char*>(ours.key), CRYPTO_PUBLIC_KEY_BYTES));
    EXPECT_TRUE(readKeyFile((box / "pub").c_str(), key, CRYPTO_PUBLIC_KEY_BYTES));
    EXPECT_FALSE(readKeyFile((box / "pub").c_str(), key, CRYPTO_PRIVATE_KEY_BYTES)) << "too short";
    writeFile(box / "long", std::string(reinterpret_cast<const char*>(ours.key), CRYPTO_PUBLIC_KEY_BYTES) + "x");
    EXPECT_FALSE(readKeyFile((box / "long").c_str(), key, CRYPTO_PUBLIC_KEY_BYTES)) << "too long";
    EXPECT_FALSE(readKeyFile((box / "missing").c_str(), key, CRYPTO_PUBLIC_KEY_BYTES));
    // A key that is no point of the curve verifies nothing.
    uint8_t bent[CRYPTO_PUBLIC_KEY_BYTES];
    memcpy(bent, ours.key, sizeof bent);
    bent[64] ^= 1;
    uint8_t digest[CRYPTO_DIGEST_BYTES] = {};
    uint8_t sig[CRYPTO_SIGNATURE_BYTES];
    ASSERT_TRUE(sysSignDigest(ours.key, digest, sig));
    EXPECT_TRUE(sysVerifyDigest(ours.pub(), digest, sig));
    EXPECT_FALSE(sysVerifyDigest(bent, digest, sig));
}

// The unpacker of a build without a key stops at the final end record: a
// signed package unpacks exactly as the unsigned one.
TEST_F(Signed, UnpackerReadsASignedPackageAsBefore) {
    writeFile(box / "plain.wrp", archive);
    signedWith(archive, ours, "signed.wrp");
    ASSERT_TRUE(unwrapFolder((box / "plain.wrp").c_str(), (box / "a").c_str()));
    ASSERT_TRUE(unwrapFolder((box / "signed.wrp").c_str(), (box / "b").c_str()));
    EXPECT_EQ(listTree(box / "b"), listTree(box / "a"));
    EXPECT_EQ(readFile(box / "b/KAVO.exe"), "the product");
}

// The release file and what the installer checks against it: each row of
// the hostile table refused with its reason, packages by the name asked
// for, the rollback record and the version files.
class Release : public Signed {
protected:
    std::string root = box / "root";
    void SetUp() override {
        Signed::SetUp();
        for (const char* edition : {"wrp", "wrp_TEST"}) {
            makeFolders(root + "/" + edition);
            for (const char* name : RELEASE_PACKAGE_NAMES)
                writeFile(root + "/" + edition + "/" + name,
                          Arc().file("KAVO.exe", std::string(edition) + " " + name).end().bytes);
        }
        for (const char* name : {"update.ini", "update_TEST.ini", "launcher_TEST.ini"})
            writeFile(root + "/" + name, std::string(name) + " content\n");
        installerPackageKey = ours.pub();
    }
    std::string release(bool test, uint64_t number, const KeyPair& k, uint64_t expires = 4102444800) {
        EXPECT_TRUE(writeRelease(root.c_str(), test, number, expires, k.key))
            << (fakeUi.list.empty() ? "" : fakeUi.list.back());
        return readFile(root + (test ? "/wrp_TEST" : "/wrp") + "/KAVO.release");
    }
    bool accept(const std::string& bytes) {
        writeFile(box / "r.release", bytes);
        return acceptRelease((box / "r.release").c_str(), "wrp\\KAVO.release", "install KAVO");
    }
};

TEST_F(Release, EveryHostileReleaseIsRefusedWithItsReason) {
    std::string foreign = release(false, 100, other);
    std::string otherEdition = release(true, 100, ours);
    std::string expired = release(false, 100, ours, 1000000000);
    std::string good = release(false, 100, ours);
    ASSERT_EQ(good.size(), size_t{REL_FILE_BYTES});
    EXPECT_TRUE(accept(good));
    std::string packageSigned = signedAs(SignedKind::Package, good.substr(0, REL_BODY_BYTES));
    for (const auto& row : hostileReleases(good, foreign, otherEdition, expired, packageSigned)) {
        fakeUi.list.clear();
        resetOutcome();
        EXPECT_EQ(parseRelease(reinterpret_cast<const uint8_t*>(row.bytes.data()), row.bytes.size(), ours.pub(), false,
                               nullptr),
                  row.expected)
            << row.what;
        EXPECT_FALSE(accept(row.bytes)) << row.what;
        std::string reason = row.reason.empty() ? releaseCheckText(row.expected) : row.reason;
        const std::string line = "install KAVO ERROR - release file \"wrp\\KAVO.release\" " + reason + " - refused";
        EXPECT_EQ(fakeUi.list, std::vector<std::string>{line}) << row.what;
        if (!row.reason.empty()) {
            EXPECT_EQ(outcomeExitCode(runOutcome(true)), 5) << row.what;
        }
    }
    // A release expires at its second; the date reads as the calendar does.
    const struct {
        uint64_t at;
        const char* text;
    } times[] = {
        {0, "1970-01-01 00:00 UTC"}, {951868799, "2000-02-29 23:59 UTC"}, {4107542400, "2100-03-01 00:00 UTC"}};
    for (const auto& t : times) {
        char text[REL_TIME_TEXT_BYTES];
        EXPECT_TRUE(releaseTimeText(t.at, text, sizeof text) && std::string(text) == t.text) << t.text;
        ReleaseInfo r{};
        r.expires = t.at + 1;
        EXPECT_TRUE(!releaseExpired(r, t.at) && releaseExpired(r, t.at + 1)) << t.text;
    }
    uint32_t days = 0;
    for (const char* bad : {"0", "3651", "4294967297", "", "+5", "1d"})
        EXPECT_FALSE(parseExpiryDays(bad, &days)) << bad;
    EXPECT_TRUE(parseExpiryDays("3650", &days) && days == 3650);
    // The maker's side refuses a root that holds a key file or a copy of the
    // key anywhere, or lacks a package, and writes nothing.
    std::remove((root + "/wrp/KAVO.release").c_str());
    const std::string keyBytes(reinterpret_cast<const char*>(ours.key), CRYPTO_PRIVATE_KEY_BYTES);
    makeFolders(root + "/KAVO/UBRA/sub");
    const struct {
        std::string file, line;
    } strays[] = {
        {"KAVO/UBRA/sub/old.key", "key file \"" + root + "\\KAVO\\UBRA\\sub\\old.key\" lies in a folder"},
        {"wrp/notes.txt", "\"" + root + "\\wrp\\notes.txt\" holds the private key's bytes"},
    };
    for (const auto& stray : strays) {
        writeFile(root + "/" + stray.file, keyBytes);
        EXPECT_FALSE(writeRelease(root.c_str(), false, 1, 4102444800, ours.key)) << stray.file;
        EXPECT_TRUE(logHasPrefix(fakeUi.list, "release ERROR - " + stray.line)) << stray.file;
        EXPECT_EQ(sysPathKind((root + "/wrp/KAVO.release").c_str()), 0) << stray.file;
        std::remove((root + "/" + stray.file).c_str());
    }
    std::remove((root + "/wrp/VELN_EXE.wrp").c_str());
    EXPECT_FALSE(writeRelease(root.c_str(), false, 1, 4102444800, ours.key));
    EXPECT_EQ(sysPathKind((root + "/wrp/KAVO.release").c_str()), 0);
}

TEST_F(Release, APackageMustBeTheOneTheReleaseNamesForItsName) {
    release(true, 100, ours);
    ASSERT_TRUE(accept(release(false, 100, ours)));
    const struct {
        const char* what;
        std::string file;
        const char* askedAs;
        const char* line;
    } rows[] = {
        {"a package under another name", root + "/wrp/OSKE_ALL.wrp", "KAVO.wrp", "\" is not the release's KAVO.wrp"},
        {"a package of the other edition", root + "/wrp_TEST/KAVO.wrp", "KAVO.wrp", "\" is not the release's KAVO.wrp"},
        {"a package not in the release", root + "/wrp/KAVO.wrp", "KAVO_NEW.wrp", "\" is not in the release"},
    };
    for (const auto& row : rows) {
        fakeUi.list.clear();
        writeFile(box / "p.wrp", readFile(row.file));
        EXPECT_FALSE(unpackPackage((box / "p.wrp").c_str(), row.askedAs, (box / "out").c_str())) << row.what;
        EXPECT_TRUE(logHasPrefix(fakeUi.list, "verifyPackage ERROR - \"" + box / "p.wrp" + row.line)) << row.what;
        EXPECT_FALSE(logHasPrefix(fakeUi.list, "unwrap \"")) << row.what << ": nothing is unpacked";
        EXPECT_EQ(sysPathKind((box / "out").c_str()), 0) << row.what;
    }
    writeFile(box / "p.wrp", readFile(root + "/wrp/KAVO.wrp"));
    EXPECT_TRUE(unpackPackage((box / "p.wrp").c_str(), "KAVO.wrp", (box / "out").c_str()));
    EXPECT_EQ(readFile(box / "out/KAVO.exe"), "wrp KAVO.wrp");
}

// The release an installation records lands with its files; a release
// may land only when it is not older than that record, nor than the one
// this user installed last, and a record that cannot be trusted refuses.
TEST_F(Release, TheRecordedReleaseAndTheUsersHighestGateEveryLanding) {
    sysRegDeleteKey(USER_RELEASE_KEY);
    std::string inst = box / "inst";
    makeFolders(inst);
    auto land = [&](const std::string& folder) {
        InstallationRecords records(VersionFiles::Keep, false);
        LandingRequest request;
        request.extras = &records;
        return landRecords(folder.c_str(), &request);
    };
    ASSERT_TRUE(accept(release(false, 100, ours)));
    EXPECT_TRUE(releaseMayLand(inst.c_str(), "updateKAVO")) << "no installation yet: any release";
    ASSERT_TRUE(land(inst));
    EXPECT_EQ(readFile(inst + "/" RELEASE_RECORD_PATH).size(), size_t{REL_FILE_BYTES});
    EXPECT_NE(readFile(inst + "/" INSTALL_RECORD_PATH).find("F " RELEASE_RECORD_PATH "\r\n"), std::string::npos)
        << "the record lists the release record";
    std::string same = readFile(root + "/wrp/KAVO.release");
    // A second file of the same number differs.
    writeFile(root + "/update.ini", "update.ini content, again\n");
    const struct {
        const char* what;
        std::string offered;
        bool lands;
        const char* line;
    } offers[] = {
        {"older", release(false, 99, ours), false, "the offered release 99 is older than the installed release 100"},
        {"the same file", same, true, nullptr},
        {"the same number, another file", release(false, 100, ours), false,
         "the offered release 100 is not the installed release of that number"},
        {"newer", release(false, 101, ours), true, nullptr},
    };
    for (const auto& o : offers) {
        ASSERT_TRUE(accept(o.offered)) << o.what;
        fakeUi.list.clear();
        EXPECT_EQ(releaseMayLand(inst.c_str(), "updateKAVO"), o.lands) << o.what;
        if (o.line) {
            EXPECT_TRUE(logHasPrefix(fakeUi.list, std::string("updateKAVO ERROR - ") + o.line)) << o.what;
        }
    }
    // A fresh folder of this user refuses what is older than release 100.
    std::string fresh = box / "fresh";
    makeFolders(fresh);
    ASSERT_TRUE(accept(release(false, 50, ours)));
    fakeUi.list.clear();
    EXPECT_FALSE(releaseMayLand(fresh.c_str(), "install KAVO"));
    EXPECT_TRUE(logHasPrefix(fakeUi.list, "install KAVO ERROR - the offered release 50 is older than release 100 this "
                                          "user has installed - refused"));

    sysRegDeleteKey(USER_RELEASE_KEY);
}

TEST_F(Release, VersionFilesMustBeTheReleasesOrNothingLands) {
    std::string inst = box / "inst";
    makeFolders(inst + "/KAVO_data");
    ASSERT_TRUE(accept(release(false, 100, ours)));
    std::string v = inst + "/KAVO_data/update.ini.unwrap";
    const struct {
        const char* what;
        std::string content;
        const char* serverName;
        bool fetched, matches;
    } rows[] = {
        {"the release's version file", "update.ini content\n", "update.ini", true, true},
        {"a changed version file", "update.ini content!\n", "update.ini", true, false},
        {"a file the release does not name", "launcher_TEST.ini content\n", "launcher_TEST.ini", true, false},
        {"a file the release names, not fetched", "upd", "update.ini", false, false},
        {"a file the release does not name, not fetched", "upd", "launcher_TEST.ini", false, true},
    };
    for (const auto& row : rows) {
        writeFile(v, row.content);
        EXPECT_EQ(versionFileMatches(v.c_str(), row.serverName, row.fetched), row.matches) << row.what;
        EXPECT_EQ(sysPathKind(v.c_str()), row.matches && row.fetched ? 1 : 0) << row.what;
    }
}

}  // namespace
