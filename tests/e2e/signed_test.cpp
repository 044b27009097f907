// Signed packages end to end: -autoWrap signs with the maker's key file,
// the key-built exe (KAVO_installer_testkey.exe, the tests' throwaway key)
// installs and updates with signed packages and refuses every row of the
// hostile table without unpacking anything.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>

#include "tests/e2e/harness.h"
#include "tests/e2e/release.h"
#include "tests/hostile_packages.h"

namespace {

const std::string TEST_KEY = KAVO_TEST_KEY_DIR;

std::string keyedExe(const WinBuild& build = buildUnderTest()) {
    return winPath(build.bin + "/KAVO_installer_testkey.exe");
}

int wrptool(const std::string& args) {
    std::string cmd = "'" + std::string(KAVO_NATIVE_BIN) + "/tools/wrptool/wrptool' " + args + " >/dev/null 2>&1";
    int rc = system(cmd.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

void sh(const std::string& cmd) { ASSERT_EQ(system(cmd.c_str()), 0) << cmd; }

std::vector<std::string> matching(const std::vector<std::string>& lines, const std::string& text) {
    std::vector<std::string> out;
    for (const auto& l : lines)
        if (l.find(text) != std::string::npos) out.push_back(l);
    return out;
}

TEST(Signed, AutoWrapSignsAndTheKeyBuiltExeInstallsAndUpdates) {
    E2eDir d;
    makeSampleRelease(d / "KAVO");
    sh("cp '" + TEST_KEY + "/private.key' '" + d / "KAVO_signing.key'");
    // The keyless exe packs and signs (the system's own cryptography).
    Report w = d.drive({"start " + installerExe() + " -autoWrap", "waitexit 60000"});
    ASSERT_TRUE(w.ok()) << w.raw;
    // ... and libcrypto accepts what it signed.
    EXPECT_EQ(wrptool("verify '" + TEST_KEY + "/public.key' '" + d / "wrp'/*.wrp"), 0);
    std::string server = d / "server";
    sh("mkdir -p '" + server + "' '" + d / "KAVO_data' && mv '" + d / "wrp' '" + server + "/wrp' && rm '" + d / "KAVO_signing.key'");
    writeText(server + "/update.ini", "version=2.0\n");

    std::string address = testAddress();
    writeText(d / "setup.ini", "CONNECT:" + address + "\n");
    ServerProcess serverProcess(server, address);
    std::string inst = d / "inst";
    Report r = d.drive({"start " + keyedExe() + " -installDir:\"" + winPath(inst) + "\"", "window 20000",
                        "waitlist 10000 connection established!", "command 8001",
                        "box Installation_Completed no 60000", "command 8003", "waitexit 10000"});
    ASSERT_TRUE(r.ok()) << r.raw << joined(logTexts(d / "KAVO_install_log.txt"));
    EXPECT_EQ(treeListing(inst, {"KAVO_data/update.ini", "KAVO_data/installed_files.txt", "KAVO_data/KAVO_uninstall.exe"}),
              treeListing(d / "KAVO"));
    std::vector<std::string> log = logTexts(d / "KAVO_install_log.txt");
    EXPECT_EQ(matching(log, "verifyPackage \"" + winPath(inst) + "\\KAVO.wrp\" - signature ok (key ").size(), 1u)
        << joined(log);

    writeText(d / "KAVO_data/update.ini", "old\n");
    writeText(d / "KAVO_data/update_new.ini", "new\n");
    Report u = d.drive({"start " + keyedExe() + " -update:OSKE_ALL,KAVO_EXE", "window 20000",
                        "waitlist 10000 connection established!", "command 8002", "box Update_Completed no 60000",
                        "command 8003", "waitexit 10000"});
    ASSERT_TRUE(u.ok()) << u.raw << joined(logTexts(d / "KAVO_install_log.txt"));
    log = logTexts(d / "KAVO_install_log.txt");
    EXPECT_EQ(matching(log, "\\OSKE_ALL.wrp\" - signature ok (key ").size(), 1u) << joined(log);
    EXPECT_EQ(matching(log, "\\KAVO_EXE.wrp\" - signature ok (key ").size(), 1u) << joined(log);
    EXPECT_EQ(readText(d / "OSKE/data/table.dat"), readText(d / "KAVO/OSKE/data/table.dat"));
    EXPECT_EQ(readText(d / "KAVO_data/update.ini"), "new\n");
}

// x86_64 only: one exe run refuses every row (the server's file is swapped
// between two presses of INSTALL), then a component update with two refused
// packages.  Nothing may be unpacked: the old installation stays as it was.
// Each row costs the exe's warning box, about 2.5 s here, so the trailer is
// cut only at the edges of its fields; the unit tests, under wine on the
// same system cryptography, cut it at every length.
TEST(SignedHostile, EveryRowIsRefusedByTheKeyBuiltExe) {
    E2eDir d;
    std::string key = TEST_KEY + "/private.key";
    sh("cd '" + d.path() + "' && mkdir -p release other comp/OSKE comp/KAVO_data inst/KAVO_data KAVO_data");
    writeText(d / "release/KAVO.exe", "the new product\n");
    writeText(d / "other/KAVO.exe", "another product\n");
    ASSERT_EQ(wrptool("pack '" + d / "release' '" + d / "archive.wrp' ALL"), 0);
    ASSERT_EQ(wrptool("pack '" + d / "other' '" + d / "other.wrp' ALL"), 0);
    ASSERT_EQ(wrptool("keygen '" + d / "foreign.key' '" + d / "foreign.pub'"), 0);
    sh("cp '" + d / "archive.wrp' '" + d / "ours.wrp' && cp '" + d / "archive.wrp' '" + d / "foreign.wrp'");
    ASSERT_EQ(wrptool("sign '" + key + "' '" + d / "ours.wrp' '" + d / "other.wrp'"), 0);
    ASSERT_EQ(wrptool("sign '" + d / "foreign.key' '" + d / "foreign.wrp'"), 0);
    auto rows = hostilePackages(readText(d / "archive.wrp"), readText(d / "ours.wrp"), readText(d / "foreign.wrp"),
                                readText(d / "other.wrp"), {1, 7, 8, 9, 15, 16, 17, 79});

    std::string server = d / "server";
    sh("mkdir -p '" + server + "/wrp' '" + d / "rows'");
    // The update's packages: OSKE_ALL unsigned, KAVO_EXE signed with the foreign key.
    writeText(d / "comp/OSKE/oske.dll", "new oske\n");
    writeText(d / "comp/KAVO_data/x.txt", "new data\n");
    ASSERT_EQ(wrptool("pack '" + d / "comp' '" + server + "/wrp/OSKE_ALL.wrp' OSKE_ALL"), 0);
    ASSERT_EQ(wrptool("pack '" + d / "comp' '" + server + "/wrp/KAVO_EXE.wrp' KAVO_EXE"), 0);
    ASSERT_EQ(wrptool("sign '" + d / "foreign.key' '" + server + "/wrp/KAVO_EXE.wrp'"), 0);

    std::string inst = d / "inst";
    writeText(inst + "/KAVO.exe", "the old product\n");
    writeText(inst + "/KAVO_data/update.ini", "old\n");
    writeText(d / "KAVO_data/update.ini", "old\n");
    writeText(d / "KAVO_data/update_new.ini", "new\n");
    const std::vector<std::string> runFiles = {"rows", "server", "setup.ini", "KAVO_install_log.txt",
                                               "driver_script.txt", "driver_report.txt", "driver_wine.log",
                                               "update_server.log", "update_server.log.port"};
    std::vector<std::string> before = treeListing(d.path(), runFiles);

    std::string address = testAddress();
    writeText(d / "setup.ini", "CONNECT:" + address + "\n");
    ServerProcess serverProcess(server, address);
    std::vector<std::string> script = {
        "start " + keyedExe() + " -installDir:\"" + winPath(inst) + "\" -update:OSKE_ALL,KAVO_EXE", "window 20000",
        "waitlist 10000 connection established!"};
    for (size_t i = 0; i < rows.size(); ++i) {
        std::string file = d / "rows/" + std::to_string(i) + ".wrp";
        writeText(file, rows[i].bytes);
        script.push_back("copy " + winPath(file) + " " + winPath(server + "/wrp/KAVO.wrp"));
        script.push_back("command 8001");
        script.push_back("box KAVO_Warning ok 30000");
    }
    script.insert(script.end(), {"command 8002", "box KAVO_Warning ok 30000", "nobox KAVO_Warning 1000",
                                 "command 8003", "waitexit 10000"});
    Report r = d.drive(script, 600);
    std::vector<std::string> log = logTexts(d / "KAVO_install_log.txt");
    ASSERT_TRUE(r.ok()) << r.raw << joined(log);

    // One refusal line per row, each for its reason, and nothing unpacked.
    const std::map<PackageCheck, std::string> reason = {
        {PackageCheck::Unsigned, "is not signed"},
        {PackageCheck::TrailerCut, "signature cut short"},
        {PackageCheck::TrailerMalformed, "that are no signature"},
        {PackageCheck::ForeignKey, "is not signed with key"},
        {PackageCheck::BytesAfterTrailer, "bytes after its signature"},
        {PackageCheck::Mismatch, "signature does not match its content"}};
    std::vector<std::string> refusals = matching(log, "verifyPackage ERROR - \"");
    ASSERT_EQ(refusals.size(), rows.size() + 2) << joined(log);
    for (size_t i = 0; i < rows.size(); ++i)
        EXPECT_NE(refusals[i].find(reason.at(rows[i].expected)), std::string::npos) << rows[i].what << ": " << refusals[i];
    EXPECT_EQ(matching(log, "installation FAILED").size(), rows.size());
    EXPECT_EQ(matching(log, "unwrap \"").size(), 0u) << joined(log);
    EXPECT_EQ(matching(log, "signature ok").size(), 0u);
    for (const char* line : {"updateKAVO OSKE_ALL - FAILED", "updateKAVO KAVO_EXE - FAILED"})
        EXPECT_EQ(matching(log, line).size(), 1u) << line << "\n" << joined(log);

    // The archive of the last row stays where it was downloaded; all else
    // (the old installation, the version files) is untouched.
    sh("rm '" + inst + "/KAVO.wrp' '" + d / "OSKE_ALL.wrp' '" + d / "KAVO_EXE.wrp'");
    EXPECT_EQ(treeListing(d.path(), runFiles), before);
}

}  // namespace
