// Signed packages: the hostile table against the check (natively on
// libcrypto, under wine on CNG), signing in place, and the unpacker reading
// a signed package exactly as an unsigned one.
#include <gtest/gtest.h>

#include <string>

#include "archive/package_sign.h"
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
};

TEST_F(Signed, EveryHostileRowIsRefusedWithOneLine) {
    std::string good = signedWith(archive, ours);
    ASSERT_EQ(good.size(), archive.size() + SIG_TRAILER_BYTES);
    EXPECT_EQ(good.compare(0, archive.size(), archive), 0) << "signing appends, it changes no archive byte";
    EXPECT_EQ(checkPackage(nullptr, ours.pub(), nullptr), PackageCheck::Unreadable);
    writeFile(box / "p.wrp", good);
    EXPECT_EQ(checkPackage((box / "p.wrp").c_str(), ours.pub(), nullptr), PackageCheck::Accepted);

    std::string otherArchive = Arc().file("KAVO.exe", "another product").end().bytes;
    auto rows = hostilePackages(archive, good, signedWith(archive, other), signedWith(otherArchive, ours));
    installerPackageKey = ours.pub();
    for (const auto& row : rows) {
        writeFile(box / "p.wrp", row.bytes);
        uint64_t count = 0;
        EXPECT_EQ(checkPackage((box / "p.wrp").c_str(), ours.pub(), &count), row.expected) << row.what;
        if (row.expected == PackageCheck::TrailerCut) {
            EXPECT_EQ(count + archive.size(), row.bytes.size()) << row.what;
        }
        fakeUi.list.clear();
        EXPECT_FALSE(packageTrusted((box / "p.wrp").c_str())) << row.what;
        ASSERT_EQ(fakeUi.list.size(), 1u) << row.what;
        EXPECT_EQ(fakeUi.list[0].rfind("verifyPackage ERROR - \"", 0), 0u) << fakeUi.list[0];
        EXPECT_NE(fakeUi.list[0].find(" - refused"), std::string::npos) << fakeUi.list[0];
    }
    EXPECT_TRUE(logHas(fakeUi.list, "verifyPackage ERROR - \"" + box / "p.wrp" +
                                        "\" signature cut short (79 of 80 bytes) - refused"));
}

TEST_F(Signed, WithoutAKeyTheInstallerChecksNothing) {
    writeFile(box / "p.wrp", archive);
    EXPECT_TRUE(packageTrusted((box / "p.wrp").c_str()));
    EXPECT_TRUE(fakeUi.list.empty());
}

TEST_F(Signed, SigningReplacesItsOwnTrailerAndRefusesWhatIsNoWholeArchive) {
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

}  // namespace
