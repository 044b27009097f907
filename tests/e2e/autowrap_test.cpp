// -autoWrap end to end: the exe packs a release folder into the eight
// packages.  Another build's packages must equal the x86_64 build's on the
// same release byte for byte; the x86_64 build's must unpack to what the
// maker's tool's packages unpack to (the exe takes folder entries in the
// system's order, the native tool in the file system's).
#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/e2e/harness.h"
#include "tests/e2e/release.h"

namespace {

Report autoWrap(const E2eDir& d, const WinBuild& build) {
    return d.drive({"start " + installerExe(build) + " -autoWrap", "waitexit 60000"}, 120, build);
}

std::vector<std::string> unpacked(const std::string& archive) {
    std::string cmd = "'" + std::string(KAVO_NATIVE_BIN) + "/tools/wrptool/wrptool' unpack '" + archive + "' '" +
                      archive + ".tree' >/dev/null 2>&1";
    EXPECT_EQ(system(cmd.c_str()), 0) << archive;
    return treeListing(archive + ".tree");
}

TEST(AutoWrap, EightPackagesEqualTheReference) {
    E2eDir d;
    makeSampleRelease(d / "KAVO");
    const WinBuild& build = buildUnderTest();
    bool x64 = build.bin == x64Build().bin;
    if (x64) {
        ASSERT_TRUE(packRelease(d / "KAVO", d.path(), "reference"));
    } else {
        Report ref = autoWrap(d, x64Build());
        ASSERT_TRUE(ref.ok()) << ref.raw;
        ASSERT_EQ(system(("mv '" + d / "wrp' '" + d / "reference'").c_str()), 0);
    }
    Report r = autoWrap(d, build);
    ASSERT_TRUE(r.ok()) << r.raw;
    EXPECT_EQ(r.get("exit"), "0");
    for (const char* name : {"KAVO", "OSKE_EXE", "OSKE_ALL", "VELN_EXE", "VELN_ALL", "UBRA_EXE", "UBRA_ALL", "KAVO_EXE"}) {
        std::string got = d / "wrp/" + name + ".wrp", want = d / "reference/" + name + ".wrp";
        ASSERT_GT(readText(want).size(), 1u) << name;
        if (x64) EXPECT_EQ(unpacked(got), unpacked(want)) << name;
        else EXPECT_TRUE(readText(got) == readText(want)) << name << " differs from the x86_64 build's";
    }
}

}  // namespace
