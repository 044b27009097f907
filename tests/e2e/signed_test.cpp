// Signed packages end to end: -autoWrap signs with the maker's key named
// from outside the packing folder and writes the release file; the
// key-built exe (KAVO_installer_testkey.exe, the tests' throwaway key)
// installs and updates with them, and refuses every row of the hostile
// table, a swapped package and an older release without unpacking anything.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>

#include <sys/stat.h>

#include "tests/e2e/harness.h"
#include "tests/e2e/release.h"
#include "tests/hostile_packages.h"

namespace {

const std::string TEST_KEY = KAVO_TEST_KEY_DIR;

// The key-built exe keeps the highest release this user installed (one per
// prefix): each test starts without it, and these tests run one at a time.
const std::string FORGET_USER_RELEASE = "regdel Software\\KAVO\\Installer";

std::string keyedExe(const WinBuild& build = buildUnderTest()) {
    return winPath(build.bin + "/KAVO_installer_testkey.exe");
}

int wrptool(const std::string& args) {
    std::string cmd = "'" + std::string(KAVO_NATIVE_BIN) + "/tools/wrptool/wrptool' " + args + " >/dev/null 2>&1";
    int rc = system(cmd.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

void sh(const std::string& cmd) { ASSERT_EQ(system(cmd.c_str()), 0) << cmd; }

// The maker's key for the -autoWrap runs of one test, named from outside
// the packing folder.
struct SigningKeyEnv {
    explicit SigningKeyEnv(const std::string& path) { setenv("KAVO_SIGNING_KEY", winPath(path).c_str(), 1); }
    ~SigningKeyEnv() { unsetenv("KAVO_SIGNING_KEY"); }
};

std::vector<std::string> matching(const std::vector<std::string>& lines, const std::string& text) {
    std::vector<std::string> out;
    for (const auto& l : lines)
        if (l.find(text) != std::string::npos) out.push_back(l);
    return out;
}

TEST(Signed, AutoWrapSignsAndTheKeyBuiltExeInstallsAndUpdates) {
    E2eDir d;
    makeSampleRelease(d / "KAVO");
    writeText(d / "update.ini", "version=2.0\n");
    {
        // The keyless exe packs, signs and writes the release (the system's
        // own cryptography), with the key from outside its folder.
        SigningKeyEnv key(TEST_KEY + "/private.key");
        Report w = d.drive({"start " + installerExe() + " -autoWrap", "waitexit 60000"});
        ASSERT_TRUE(w.ok()) << w.raw;
    }
    // ... and libcrypto accepts what it signed, the release as a release.
    EXPECT_EQ(wrptool("verify '" + TEST_KEY + "/public.key' '" + d / "wrp'/*.wrp '" + d / "wrp/KAVO.release'"), 0);
    ASSERT_EQ(readText(d / "wrp/KAVO.release").size(), 675u);
    std::string verified = d / "verify.txt";
    sh("'" + std::string(KAVO_NATIVE_BIN) + "/tools/wrptool/wrptool' verify '" + TEST_KEY + "/public.key' '" +
       d / "wrp/KAVO.release' >'" + verified + "'");
    EXPECT_NE(readText(verified).find("verifyRelease \"" + d / "wrp/KAVO.release\" - release "), std::string::npos)
        << readText(verified);
    std::string server = d / "server";
    sh("mkdir -p '" + server + "' '" + d / "KAVO_data' && mv '" + d / "wrp' '" + d / "update.ini' '" + server + "/'");

    std::string address = testAddress();
    writeText(d / "setup.ini", "CONNECT:" + address + "\n");
    ServerProcess serverProcess(server, address);
    std::string inst = d / "inst";
    Report r = d.drive({FORGET_USER_RELEASE, "start " + keyedExe() + " -installDir:\"" + winPath(inst) + "\"", "window 20000",
                        "waitlist 10000 connection established!", "command 8001",
                        "box Installation_Completed no 60000", "command 8003", "waitexit 10000"});
    ASSERT_TRUE(r.ok()) << r.raw << joined(logTexts(d / "KAVO_install_log.txt"));
    EXPECT_EQ(treeListing(inst, {"KAVO_data/update.ini", "KAVO_data/KAVO_installed.release", "KAVO_data/installed_files.txt",
                                 "KAVO_data/KAVO_uninstall.exe"}),
              treeListing(d / "KAVO"));
    std::vector<std::string> log = logTexts(d / "KAVO_install_log.txt");
    EXPECT_EQ(matching(log, "verifyPackage \"" + winPath(inst) + "\\KAVO.wrp\" - signature ok (key ").size(), 1u)
        << joined(log);
    EXPECT_EQ(matching(log, " (normal edition) - signature ok").size(), 1u) << joined(log);
    EXPECT_EQ(readText(inst + "/KAVO_data/KAVO_installed.release"), readText(server + "/wrp/KAVO.release"));

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
    EXPECT_EQ(readText(d / "KAVO_data/KAVO_installed.release"), readText(server + "/wrp/KAVO.release"));
}

// x86_64 only: an installation of release 200 is offered, in one exe run,
// a component package swapped for another of the same release, then an
// older release, in an update and by INSTALL.  Each is refused before
// anything is unpacked.
TEST(SignedRelease, ASwappedPackageAndAnOlderReleaseAreRefused) {
    E2eDir d;
    std::string key = TEST_KEY + "/private.key";
    std::string server = d / "server", older = d / "older";
    makeSampleRelease(d / "release");
    ASSERT_TRUE(packRelease(d / "release", server));
    ASSERT_TRUE(packRelease(d / "release", older));
    ASSERT_EQ(wrptool("release '" + key + "' '" + server + "' --number 200"), 0);
    ASSERT_EQ(wrptool("release '" + key + "' '" + older + "' --number 199"), 0);
    // The installation: its component and its record of release 200.
    sh("mkdir -p '" + d / "OSKE' '" + d / "KAVO_data'");
    writeText(d / "OSKE/oske.dll", "installed\n");
    writeText(d / "KAVO_data/update.ini", "old\n");
    writeText(d / "KAVO_data/update_new.ini", "new\n");
    sh("cp '" + server + "/wrp/KAVO.release' '" + d / "KAVO_data/KAVO_installed.release'");
    sh("cp '" + server + "/wrp/UBRA_ALL.wrp' '" + d / "swapped.wrp'");
    const std::vector<std::string> runFiles = {"server", "older", "release", "swapped.wrp", "setup.ini",
                                               "KAVO_install_log.txt", "driver_script.txt", "driver_report.txt",
                                               "driver_wine.log", "update_server.log", "update_server.log.port",
                                               "OSKE_ALL.wrp"};
    std::vector<std::string> before = treeListing(d.path(), runFiles);

    std::string address = testAddress();
    writeText(d / "setup.ini", "CONNECT:" + address + "\n");
    ServerProcess serverProcess(server, address);
    Report r = d.drive(
        {FORGET_USER_RELEASE, "start " + keyedExe() + " -update:OSKE_ALL -installDir:\"" + winPath(d.path()) + "\"",
         "window 20000",
         "waitlist 10000 connection established!",
         "copy " + winPath(d / "swapped.wrp") + " " + winPath(server + "/wrp/OSKE_ALL.wrp"), "command 8002",
         "box KAVO_Warning ok 30000",
         "copy " + winPath(older + "/wrp/KAVO.release") + " " + winPath(server + "/wrp/KAVO.release"), "command 8002",
         "box KAVO_Warning ok 30000", "command 8001", "box KAVO_Warning ok 30000", "nobox KAVO_Warning 1000",
         "command 8003", "waitexit 10000"},
        300);
    std::vector<std::string> log = logTexts(d / "KAVO_install_log.txt");
    ASSERT_TRUE(r.ok()) << r.raw << joined(log);
    EXPECT_EQ(matching(log, "\\OSKE_ALL.wrp\" is not the release's OSKE_ALL.wrp").size(), 1u) << joined(log);
    EXPECT_EQ(matching(log, "updateKAVO ERROR - the offered release 199 is older than the installed release 200 - "
                            "refused").size(),
              1u)
        << joined(log);
    // INSTALL over the installation is no way back to the older release either.
    EXPECT_EQ(matching(log, "install KAVO ERROR - the offered release 199 is older than the installed release 200 - "
                            "refused").size(),
              1u)
        << joined(log);
    EXPECT_EQ(matching(log, "unwrap \"").size(), 0u) << joined(log);
    EXPECT_EQ(treeListing(d.path(), runFiles), before);
    EXPECT_EQ(readText(d / "OSKE/oske.dll"), "installed\n");
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
    // keygen never overwrites a key, and the private one is its owner's alone.
    std::string foreignKey = readText(d / "foreign.key");
    EXPECT_NE(wrptool("keygen '" + d / "foreign.key' '" + d / "new.pub'"), 0);
    EXPECT_NE(wrptool("keygen '" + d / "x.key' '" + d / "x.key'"), 0);
    EXPECT_EQ(readText(d / "foreign.key"), foreignKey);
    struct stat st;
    ASSERT_EQ(stat((d / "foreign.key").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    sh("rm -f '" + d / "x.key' '" + d / "new.pub'");
    sh("cp '" + d / "archive.wrp' '" + d / "ours.wrp' && cp '" + d / "archive.wrp' '" + d / "foreign.wrp'");
    ASSERT_EQ(wrptool("sign '" + key + "' '" + d / "ours.wrp' '" + d / "other.wrp'"), 0);
    ASSERT_EQ(wrptool("sign '" + d / "foreign.key' '" + d / "foreign.wrp'"), 0);
    std::string server = d / "server";
    sh("mkdir -p '" + server + "/wrp' '" + d / "rows'");
    // A release of the maker's that the packages below are not part of, then
    // the update's packages: OSKE_ALL unsigned, KAVO_EXE signed with the
    // foreign key.
    writeText(d / "comp/OSKE/oske.dll", "new oske\n");
    writeText(d / "comp/KAVO_data/x.txt", "new data\n");
    ASSERT_TRUE(packRelease(d / "comp", server));
    ASSERT_EQ(wrptool("release '" + key + "' '" + server + "' --number 5"), 0);
    // A download stops at the size the release gives the package: a longer
    // row is refused as it is announced, before any byte of it is read.
    const size_t signedSize = readText(server + "/wrp/KAVO.wrp").size();
    auto rows = hostilePackages(readText(d / "archive.wrp"), readText(d / "ours.wrp"), readText(d / "foreign.wrp"),
                                readText(d / "other.wrp"), readText(server + "/wrp/KAVO.release"),
                                {1, 7, 8, 9, 15, 16, 17, 79});
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
        FORGET_USER_RELEASE, "start " + keyedExe() + " -installDir:\"" + winPath(inst) + "\" -update:OSKE_ALL,KAVO_EXE",
        "window 20000",
        "waitlist 10000 connection established!"};
    for (size_t i = 0; i < rows.size(); ++i) {
        std::string file = d / "rows/" + std::to_string(i) + ".wrp";
        writeText(file, rows[i].bytes);
        script.push_back("copy " + winPath(file) + " " + winPath(server + "/wrp/KAVO.wrp"));
        script.push_back("command 8001");
        if (rows[i].bytes.size() > signedSize) {
            script.push_back("waitlist 30000 is announced with " + std::to_string(rows[i].bytes.size()) + " bytes");
            script.push_back("sleep 1500");  // the installation ends, and the connection is made anew
        } else {
            script.push_back("box KAVO_Warning ok 30000");
        }
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
        {PackageCheck::Mismatch, "signature does not match its content"},
        {PackageCheck::OldFormat, "is signed in the old format"}};
    std::vector<std::string> refusals = matching(log, "verifyPackage ERROR - \"");
    size_t oversize = 0, checked = 0;
    for (const auto& row : rows) oversize += row.bytes.size() > signedSize;
    ASSERT_EQ(refusals.size(), rows.size() - oversize + 2) << joined(log);
    ASSERT_GE(oversize, 1u) << "the release file offered as a package is longer";
    EXPECT_EQ(matching(log, " it may have - refused").size(), oversize) << joined(log);
    for (size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].bytes.size() > signedSize) continue;
        EXPECT_NE(refusals[checked++].find(reason.at(rows[i].expected)), std::string::npos) << rows[i].what;
    }
    EXPECT_EQ(matching(log, "installation FAILED").size(), rows.size() - oversize);
    EXPECT_EQ(matching(log, "unwrap \"").size(), 0u) << joined(log);
    EXPECT_EQ(matching(log, "\" - signature ok").size(), 0u);
    for (const char* line : {"updateKAVO OSKE_ALL - FAILED", "updateKAVO KAVO_EXE - FAILED"})
        EXPECT_EQ(matching(log, line).size(), 1u) << line << "\n" << joined(log);

    // A refused package is no file to keep; all else (the old installation,
    // the version files) is untouched.
    EXPECT_EQ(treeListing(d.path(), runFiles), before);
}

// The TEST edition with the key-built exe: a launcher file the release
// names but the server withholds refuses the installation, nothing of it
// lands; the edition of an update is the one its signed record names, not
// an unsigned launcher.ini; a record with one byte changed refuses the update.
TEST(SignedState, TheEditionAndTheReleaseComeFromSignedDataOnly) {
    E2eDir d;
    std::string key = TEST_KEY + "/private.key", server = d / "server", inst = d / "inst";
    makeSampleRelease(d / "release");
    ASSERT_TRUE(packRelease(d / "release", server, "wrp_TEST"));
    writeText(server + "/update_TEST.ini", "version=3.0-test\n");
    writeText(server + "/launcher_TEST.ini", "TEST\nchannel=beta\n");
    ASSERT_EQ(wrptool("release '" + key + "' '" + server + "' --number 10 --test"), 0);
    sh("mkdir -p '" + d / "KAVO_data' && mv '" + server + "/launcher_TEST.ini' '" + d / "launcher.kept'");
    writeText(d / "KAVO_data/launcher.ini", "TEST\n");
    std::string address = testAddress();
    writeText(d / "setup.ini", "CONNECT:" + address + "\n");
    sh("mkdir -p '" + inst + "'");
    writeText(inst + "/setup.ini", "CONNECT:" + address + "\n");  // for the runs started there
    ServerProcess serverProcess(server, address);
    auto log = [&](const std::string& folder) { return logTexts(folder + "/KAVO_install_log.txt"); };
    const std::string install = "start " + keyedExe() + " -installDir:\"" + winPath(inst) + "\"";

    // Withheld: refused, and nothing of the release lands.
    Report r = d.drive({FORGET_USER_RELEASE, install, "box KAVO_TEST ok 20000", "window 20000",
                        "waitlist 10000 connection established!", "command 8001", "box KAVO_Warning ok 60000",
                        "command 8003", "waitexit 10000"});
    ASSERT_TRUE(r.ok()) << r.raw << joined(log(d.path()));
    EXPECT_EQ(matching(log(d.path()), "verifyFile ERROR - the release's launcher_TEST.ini could not be fetched - refused")
                  .size(),
              1u)
        << joined(log(d.path()));
    EXPECT_FALSE(exists(inst + "/KAVO.exe"));
    EXPECT_FALSE(exists(inst + "/KAVO_data"));

    // Served: installed, of the TEST edition.
    sh("mv '" + d / "launcher.kept' '" + server + "/launcher_TEST.ini'");
    r = d.drive({install, "box KAVO_TEST ok 20000", "window 20000", "waitlist 10000 connection established!",
                 "command 8001", "box Installation_Completed no 60000", "command 8003", "waitexit 10000"});
    ASSERT_TRUE(r.ok()) << r.raw << joined(log(d.path()));
    EXPECT_EQ(readText(inst + "/KAVO_data/launcher.ini"), "TEST\nchannel=beta\n");

    // Without its launcher.ini the installation is still of the TEST
    // edition: its record says so, and the update fetches that edition's.
    sh("rm '" + inst + "/KAVO_data/launcher.ini'");
    r = d.drive({"cd " + winPath(inst), "start " + keyedExe() + " -update:OSKE_ALL", "window 20000",
                 "waitlist 10000 connection established!", "command 8002", "box Update_Completed no 60000",
                 "command 8003", "waitexit 10000"});
    ASSERT_TRUE(r.ok()) << r.raw << joined(log(inst));
    EXPECT_EQ(matching(log(inst), "updateKAVO - the installation is of the TEST edition (its release record)").size(), 1u)
        << joined(log(inst));
    EXPECT_EQ(matching(log(inst), " (TEST edition) - signature ok").size(), 1u) << joined(log(inst));

    // One byte of the record changed: refused, never taken for "no record".
    std::string record = readText(inst + "/KAVO_data/KAVO_installed.release");
    record[20] ^= 1;
    writeText(inst + "/KAVO_data/KAVO_installed.release", record);
    r = d.drive({"cd " + winPath(inst), "start " + keyedExe() + " -update:OSKE_ALL", "window 20000",
                 "waitlist 10000 connection established!", "command 8002", "box KAVO_Warning ok 60000",
                 "command 8003", "waitexit 10000"});
    ASSERT_TRUE(r.ok()) << r.raw << joined(log(inst));
    EXPECT_EQ(matching(log(inst), "updateKAVO ERROR - release record \"" + winPath(inst) +
                                      "\\KAVO_data\\KAVO_installed.release\"")
                  .size(),
              1u)
        << joined(log(inst));
}

}  // namespace
