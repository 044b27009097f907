#include "setup/installation.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string_view>

#include "app/eventlog.h"
#include "app/globals.h"
#include "archive/release_file.h"
#include "archive/wrp_format.h"
#include "base/textbuf.h"
#include "net/download.h"
#include "platform/file_names.h"
#include "platform/sys.h"
#include "setup/outcome.h"
#include "setup/package_check.h"
#include "setup/shell.h"

namespace {

const char* const RECORD_HEADER = "KAVO installed files 1";
// A record line: a tag, a space and a path that fits a 260-byte path.
const size_t RECORD_LINE_CAP = 1024;
// The most of a record that is read.
const size_t RECORD_MAX = 64u << 20;

// Every path built from the installation folder, the longest last: the
// release record's temporary file while it lands.
const char* const INSTALL_SUFFIXES[] = {
    "\\KAVO.wrp",
    "\\KAVO.exe",
    "\\KAVO.release",
    "\\KAVO_data\\update.ini" WRP_TEMP_SUFFIX,
    "\\KAVO_data\\launcher.ini" WRP_TEMP_SUFFIX,
    "\\KAVO_data\\KAVO_interface.exe -launcher",
    "\\" RELEASE_RECORD_PATH WRP_TEMP_SUFFIX,
};

// The files an installer leaves beside the product while it works: the
// downloads of an installation and of a component update, and the new
// version file an update lands (a landing finished by a later start
// leaves it behind).
const char* const LEFTOVERS[] = {"KAVO.wrp",     "OSKE_EXE.wrp", "OSKE_ALL.wrp", "VELN_EXE.wrp",
                                 "VELN_ALL.wrp", "UBRA_EXE.wrp", "UBRA_ALL.wrp", "KAVO_EXE.wrp",
                                 "KAVO.release", "KAVO_data\\update_new.ini"};

std::string backslashed(std::string rel) {
    std::replace(rel.begin(), rel.end(), '/', '\\');
    return rel;
}

std::string slashed(std::string rel) {
    std::replace(rel.begin(), rel.end(), '\\', '/');
    return rel;
}

// The record as it is written: each path once, in the order met.
struct RecordText {
    std::vector<InstalledEntry> entries;
    std::set<std::string, FileNameLess> seen;
    void add(bool folder, const std::string& rel) {
        std::string path = backslashed(rel);
        if (seen.insert(path).second) entries.push_back({folder, path});
    }
    std::string text() const {
        std::string out = std::string(RECORD_HEADER) + "\r\n";
        for (const InstalledEntry& e : entries) out += std::string(e.folder ? "D " : "F ") + e.rel + "\r\n";
        return out;
    }
};

// The edition's names of the version files: on the server and in KAVO_data.
struct VersionFile {
    const char* server;
    const char* rel;
};
std::vector<VersionFile> versionFilesOfEdition() {
    if (testEdition) return {{"update_TEST.ini", "KAVO_data/update.ini"}, {"launcher_TEST.ini", "KAVO_data/launcher.ini"}};
    return {{"update.ini", "KAVO_data/update.ini"}};
}

// A digest as hex text, with room for the registry's terminating NUL.
const size_t DIGEST_TEXT_CAP = 2 * CRYPTO_DIGEST_BYTES + 8;

const char* userReleaseValue(bool test) { return test ? "Release_TEST" : "Release"; }
const char* userDigestValue(bool test) { return test ? "ReleaseDigest_TEST" : "ReleaseDigest"; }

void hexText(const uint8_t* bytes, size_t n, char* out) {
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < n; ++i) {
        out[2 * i] = digits[bytes[i] >> 4];
        out[2 * i + 1] = digits[bytes[i] & 15];
    }
    out[2 * n] = '\0';
}

// The release this user installed last, in the edition's values: false
// when there is none (or it is not a number).
bool userRelease(bool test, uint64_t* number, char* digest, size_t cap) {
    char text[32];
    if (!sysRegGetText(USER_RELEASE_KEY, userReleaseValue(test), text, sizeof text)) return false;
    char* end = nullptr;
    unsigned long long n = strtoull(text, &end, 10);
    if (!end || *end || end == text) return false;
    *number = n;
    if (!sysRegGetText(USER_RELEASE_KEY, userDigestValue(test), digest, cap)) digest[0] = '\0';
    return true;
}

void releaseDigest(const ReleaseInfo& r, char* hex) {
    uint8_t digest[CRYPTO_DIGEST_BYTES] = {};
    SysHash* h = sysHashBegin();
    if (h) {
        sysHashAdd(h, r.bytes, sizeof r.bytes);
        sysHashEnd(h, digest);
    }
    hexText(digest, sizeof digest, hex);
}

// Remembered before the release's first file lands, so that no folder of
// this user takes an older one afterwards.
void raiseUserRelease(const ReleaseInfo& r) {
    uint64_t known = 0;
    char digest[DIGEST_TEXT_CAP];
    if (userRelease(r.test, &known, digest, sizeof digest) && known > r.number) return;
    char number[32], hex[2 * CRYPTO_DIGEST_BYTES + 1];
    formatText(number, sizeof number, "%llu", static_cast<unsigned long long>(r.number));
    releaseDigest(r, hex);
    int err = sysRegSetText(USER_RELEASE_KEY, userReleaseValue(r.test), number);
    if (err == SYS_OK) err = sysRegSetText(USER_RELEASE_KEY, userDigestValue(r.test), hex);
    if (err != SYS_OK) logMessage("release %s - the user's highest release cannot be kept - %d", number, err);
}

bool recordPathOf(const char* folder, char* out) { return installationPath(out, folder, RELEASE_RECORD_PATH); }

// The installation's release record judged with the maker's key in the
// edition `test`.
ReleaseCheck readRecordedRelease(const char* folder, bool test, ReleaseInfo* info) {
    char path[PATH_CAP];
    if (!recordPathOf(folder, path)) return ReleaseCheck::Unreadable;
    if (sysPathKind(path) == 0) return ReleaseCheck::Unreadable;
    return readReleaseFile(path, installerPackageKey, test, info);
}

// A release record that cannot be trusted is a refusal of its own, never
// "no record": false, with its line.
bool refuseRecord(const char* who, const char* path, ReleaseCheck c) {
    const char* why = sysPathKind(path) == 0              ? "is missing"
                      : c == ReleaseCheck::OtherEdition ? "is of the other edition"
                                                        : releaseCheckText(c);
    logMessage("%s ERROR - release record \"%s\" %s - refused; uninstall and install again", who, path, why);
    noteOutcome(RunOutcome::PackageRefused);
    return false;
}

}  // namespace

bool installationPath(char* out, const char* folder, const char* rel) {
    return copyText(out, PATH_CAP, folder) && (endsWithSeparator(out) || appendText(out, PATH_CAP, "\\")) &&
           appendText(out, PATH_CAP, rel);
}

int maxInstallDirLength() {
    size_t longest = 0;
    for (const char* s : INSTALL_SUFFIXES) longest = std::max(longest, strlen(s));
    return PATH_CAP - 1 - static_cast<int>(longest);
}

bool hasInstallation(const char* folder) {
    char record[PATH_CAP], release[PATH_CAP];
    return (installationPath(record, folder, INSTALL_RECORD_PATH) && sysPathKind(record) != 0) ||
           (recordPathOf(folder, release) && sysPathKind(release) != 0);
}

// ---- one known state ----------------------------------------------------

Settled settleForCommand(const char* folder, const char* who) {
    Recovery r = recoverUnwrap(folder);
    if (r == Recovery::Stuck) return Settled::Stuck;
    if (r != Recovery::Refused && r != Recovery::Unopenable) return Settled::Known;
    // The way out of a journal nobody can trust: whatever the landing left
    // goes, and the whole product lands anew over it.
    unsigned removed = removeLandingLeftovers(folder);
    char journal[PATH_CAP];
    if (!installationPath(journal, folder, UNWRAP_JOURNAL_NAME) || sysPathKind(journal) != 0) {
        logMessage("%s ERROR - the unwrap journal in \"%s\" cannot be removed - nothing done", who, folder);
        noteOutcome(RunOutcome::GeneralFailure);
        return Settled::Stuck;
    }
    logMessage("%s - repair of \"%s\": the journal and %u leftover files removed, the whole product lands anew", who,
               folder, removed);
    noteRepaired();
    return Settled::Repaired;
}

void settleAtStart(const char* folder) {
    if (!folder || sysPathKind(folder) != 2) return;
    SysFolderClaim* claim = nullptr;
    int err = sysClaimFolder(folder, &claim);
    if (err == SYS_ERROR_BUSY) {
        logMessage("start-up - another installer is working on \"%s\", its unpacking is left to it", folder);
        return;
    }
    if (err != SYS_OK) return;  // no folder to look at
    recoverUnwrap(folder);
    sysReleaseFolder(claim);
}

// ---- the records that land with a package ------------------------------

bool askAboutHeldFile(const LandingStop& stop) {
    char text[LOG_TEXT_CAP];
    formatText(text, sizeof text,
               "\"%s\" is in use%s%s, so KAVO cannot be changed now (error %d).\n"
               "Close it and press Retry, or press Cancel: nothing has been replaced.",
               stop.path.c_str(), stop.holder.empty() ? "" : " by ", stop.holder.c_str(), stop.error);
    return uiAskRetry(text, "File in Use");
}

void InstallationRecords::paths(std::vector<std::string>* files) {
    // The record first: while the files move it already names all of them,
    // and the release record before the first file of the release lands.
    files->push_back(slashed(INSTALL_RECORD_PATH));
    if (installerPackageKey && runRelease()) files->push_back(slashed(RELEASE_RECORD_PATH));
    if (uninstaller_) files->push_back(slashed(UNINSTALLER_PATH));
    if (versions_ == VersionFiles::Fetch)
        for (const VersionFile& v : versionFilesOfEdition()) files->push_back(v.rel);
    if (versions_ == VersionFiles::Swap) files->push_back("KAVO_data/update.ini");
}

bool InstallationRecords::writeVersions(const char* root) {
    if (versions_ == VersionFiles::Swap) {
        char fresh[PATH_CAP];
        if (!installationPath(fresh, root, "KAVO_data\\update_new.ini")) return false;
        FILE* f = sysPathKind(fresh) == 1 ? sysOpenFile(fresh, "rb") : nullptr;
        if (!f) {
            // Without a new version file the installed one is kept: deleting
            // it would leave the installation with none.
            logMessage("updateKAVO - \"%s\" missing, update.ini kept", fresh);
            return true;
        }
        std::string content;
        char block[4096];
        size_t n;
        while ((n = fread(block, 1, sizeof block, f)) > 0 && content.size() < (1u << 20)) content.append(block, n);
        bool read = !ferror(f) && feof(f);
        fclose(f);
        if (!read) {
            logMessage("updateKAVO ERROR - \"%s\" cannot be read, update.ini kept", fresh);
            return false;
        }
        if (!landingPut(root, "KAVO_data/update.ini", content.data(), content.size())) return false;
        landed_.push_back("KAVO_data/update.ini");
        versionsLanded_ = true;
        return true;
    }
    if (versions_ != VersionFiles::Fetch) return true;
    bool all = true;
    for (const VersionFile& v : versionFilesOfEdition()) {
        char temp[PATH_CAP];
        if (!installationPath(temp, root, backslashed(v.rel).c_str()) || !appendText(temp, sizeof temp, WRP_TEMP_SUFFIX))
            return false;
        bool fetched = tcpDownload(temp, v.server, true);
        // With the maker's key, a file the release names must come and be
        // the release's; the installed file is never touched by a refusal.
        if (!versionFileMatches(temp, v.server, fetched)) return false;
        if (!fetched) {
            sysDeleteFile(temp);
            all = false;
            continue;
        }
        if (!landingAdopt(root, v.rel)) return false;
        landed_.push_back(v.rel);
    }
    versionsLanded_ = all;
    return true;
}

bool InstallationRecords::write(const char* root, const UnwrapPlan& plan) {
    landed_.clear();
    versionsLanded_ = false;
    if (!writeVersions(root)) return false;
    if (uninstaller_) {
        char copy[PATH_CAP];
        if (!installationPath(copy, root, UNINSTALLER_PATH) || !appendText(copy, sizeof copy, WRP_TEMP_SUFFIX) ||
            !copyRunningInstaller(copy)) {
            logMessage("register KAVO ERROR - cannot copy the installer to \"%s\"", copy);
            return false;
        }
        if (!landingAdopt(root, slashed(UNINSTALLER_PATH).c_str())) return false;
        landed_.push_back(slashed(UNINSTALLER_PATH));
    }
    const ReleaseInfo* release = installerPackageKey ? runRelease() : nullptr;
    if (release) {
        raiseUserRelease(*release);
        if (!landingPut(root, slashed(RELEASE_RECORD_PATH).c_str(), release->bytes, sizeof release->bytes))
            return false;
        landed_.push_back(slashed(RELEASE_RECORD_PATH));
    }

    // The record: what was installed before, what this landing brings and
    // the installer's own files.
    RecordText record;
    std::vector<InstalledEntry> before;
    readInstalledRecord(root, &before);
    for (const InstalledEntry& e : before) record.add(e.folder, e.rel);
    record.add(true, "KAVO_data");
    for (const LandingFolder& d : plan.folders) record.add(true, d.path);
    for (const LandingFile& f : plan.files)
        if (!(f.flags & LAND_STATE_FILE)) record.add(false, f.path);
    for (const std::string& rel : landed_) record.add(false, rel);
    record.add(false, INSTALL_RECORD_PATH);
    std::string text = record.text();
    return landingPut(root, slashed(INSTALL_RECORD_PATH).c_str(), text.data(), text.size());
}

// ---- the release of an installation -------------------------------------

bool editionFromRecord(const char* folder, const char* who) {
    if (!installerPackageKey || !hasInstallation(folder)) return true;
    ReleaseInfo record;
    ReleaseCheck c = readRecordedRelease(folder, testEdition, &record);
    if (c == ReleaseCheck::OtherEdition) c = readRecordedRelease(folder, !testEdition, &record);
    char path[PATH_CAP];
    recordPathOf(folder, path);
    if (c != ReleaseCheck::Accepted) {
        return refuseRecord(who, path, c);
    }
    if (record.test != testEdition)
        logMessage("%s - the installation is of the %s edition (its release record)", who,
                   record.test ? "TEST" : "normal");
    testEdition = record.test;
    return true;
}

bool releaseMayLand(const char* folder, const char* who) {
    const ReleaseInfo* offered = installerPackageKey ? runRelease() : nullptr;
    if (!offered) return true;
    unsigned long long number = offered->number;
    if (hasInstallation(folder)) {
        ReleaseInfo installed;
        char path[PATH_CAP];
        recordPathOf(folder, path);
        ReleaseCheck c = readRecordedRelease(folder, offered->test, &installed);
        if (c != ReleaseCheck::Accepted) {
            return refuseRecord(who, path, c);
        }
        if (offered->number < installed.number) {
            logMessage("%s ERROR - the offered release %llu is older than the installed release %llu - refused", who,
                       number, static_cast<unsigned long long>(installed.number));
            noteOutcome(RunOutcome::PackageRefused);
            return false;
        }
        if (offered->number == installed.number && memcmp(offered->bytes, installed.bytes, sizeof offered->bytes)) {
            logMessage("%s ERROR - the offered release %llu is not the installed release of that number - refused",
                       who, number);
            noteOutcome(RunOutcome::PackageRefused);
            return false;
        }
    }
    uint64_t highest = 0;
    char digest[DIGEST_TEXT_CAP], hex[DIGEST_TEXT_CAP];
    if (userRelease(offered->test, &highest, digest, sizeof digest)) {
        releaseDigest(*offered, hex);
        if (offered->number < highest || (offered->number == highest && strcmp(digest, hex) != 0)) {
            logMessage("%s ERROR - the offered release %llu is %s release %llu this user has installed - refused", who,
                       number, offered->number < highest ? "older than" : "not the", static_cast<unsigned long long>(highest));
            noteOutcome(RunOutcome::PackageRefused);
            return false;
        }
    }
    return true;
}

// ---- the record of installed files --------------------------------------

const char* recordPathProblem(const char* rel, size_t n) {
    if (!rel || n == 0) return "empty path";
    size_t start = 0;
    for (size_t i = 0; i <= n; ++i) {
        if (i < n && !isSeparator(rel[i])) continue;
        // An empty component is a path from the root or a doubled separator.
        if (i == start) return "leaves the installation folder";
        if (const char* why = fileNameProblem(rel + start, i - start)) {
            return (i - start == 2 && rel[start] == '.' && rel[start + 1] == '.') ? "leaves the installation folder"
                                                                                 : why;
        }
        start = i + 1;
    }
    return nullptr;
}

bool readInstalledRecord(const char* folder, std::vector<InstalledEntry>* entries) {
    char path[PATH_CAP];
    if (!installationPath(path, folder, INSTALL_RECORD_PATH)) return false;
    FILE* f = sysOpenFile(path, "rb");
    if (!f) return false;
    // Read whole (a record of a few hundred thousand files fits the cap),
    // then split into lines.
    std::string text;
    char block[1 << 14];
    size_t n;
    while ((n = fread(block, 1, sizeof block, f)) > 0 && text.size() < RECORD_MAX) text.append(block, n);
    fclose(f);
    std::set<std::string, FileNameLess> seen;
    int lineNo = 0;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        size_t next = end == std::string::npos ? text.size() : end + 1;
        size_t length = (end == std::string::npos ? text.size() : end) - at;
        const char* line = text.data() + at;
        at = next;
        ++lineNo;
        // The limit counts a line's CR, as a 1024-byte line buffer would.
        if (length > RECORD_LINE_CAP - 2) {
            logMessage("uninstall record ERROR - line %d longer than %d bytes - skipped", lineNo,
                       static_cast<int>(RECORD_LINE_CAP - 2));
            continue;
        }
        if (length > 0 && line[length - 1] == '\r') --length;
        std::string_view l(line, length);
        if (l.empty() || l == RECORD_HEADER) continue;
        if ((l[0] != 'D' && l[0] != 'F') || l.size() < 2 || l[1] != ' ') {
            logMessage("uninstall record ERROR - line %d is not a file or folder line - skipped", lineNo);
            continue;
        }
        std::string rel(l.substr(2));
        char full[PATH_CAP];
        if (const char* why = recordPathProblem(rel.data(), rel.size())) {
            logMessage("uninstall record ERROR - \"%s\" refused (%s) - skipped", rel.c_str(), why);
        } else if (!installationPath(full, folder, rel.c_str())) {
            logMessage("uninstall record ERROR - \"%s\" is too long - skipped", rel.c_str());
        } else {
            rel = backslashed(std::move(rel));
            if (seen.insert(rel).second) entries->push_back({l[0] == 'D', std::move(rel)});
        }
    }
    return true;
}

bool isInstallerFile(const std::string& rel) {
    static const char* const OWN[] = {INSTALL_RECORD_PATH, UNINSTALLER_PATH, RELEASE_RECORD_PATH};
    for (const char* own : OWN)
        if (sysCompareNames(rel.data(), rel.size(), own, strlen(own)) == 0) return true;
    return false;
}

// ---- what an uninstall removes besides the listed files -----------------

unsigned removeInstallerLeftovers(const char* folder) {
    unsigned removed = removeLandingLeftovers(folder);
    if (removed) logMessage("uninstall KAVO - %u temporary files of the installer removed", removed);
    for (const char* name : LEFTOVERS) {
        char path[PATH_CAP];
        if (installationPath(path, folder, name) && sysPathKind(path) == 1 && sysDeleteFile(path) == SYS_OK) {
            logMessage("delete \"%s\"", path);
            ++removed;
        }
    }
    return removed;
}

// ---- the list of installed programs --------------------------------------

namespace {

bool entryKey(char* out, size_t cap, bool test) {
    return formatText(out, cap, "%s%s", UNINSTALL_KEY_BASE, test ? "KAVO_TEST" : "KAVO");
}

// The same folder, however its separators end.
bool sameFolder(const char* a, const char* b) {
    size_t an = strlen(a), bn = strlen(b);
    while (an > 0 && isSeparator(a[an - 1])) --an;
    while (bn > 0 && isSeparator(b[bn - 1])) --bn;
    return sysCompareNames(a, an, b, bn) == 0;
}

// An installation folder as the entry names it: absolute.
bool absoluteFolder(char* out, size_t cap, const char* folder) {
    bool absolute = (folder[0] && folder[1] == ':') || isSeparator(folder[0]);
    if (absolute) return copyText(out, cap, folder);
    char current[PATH_CAP];
    return sysCurrentFolder(current, sizeof current) && formatText(out, cap, "%s\\%s", current, folder);
}

}  // namespace

bool registerInstallation(const char* folder) {
    char location[PATH_CAP], uninstaller[PATH_CAP], icon[PATH_CAP], key[PATH_CAP];
    if (!absoluteFolder(location, sizeof location, folder) || !installationPath(uninstaller, location, UNINSTALLER_PATH) ||
        !installationPath(icon, location, "KAVO_data\\KAVO_interface.exe") || !entryKey(key, sizeof key, testEdition)) {
        logMessage("register KAVO ERROR - path too long (%s)", folder);
        return false;
    }
    // What the listed files take, in KB, as the list of installed programs shows it.
    std::vector<InstalledEntry> record;
    readInstalledRecord(folder, &record);
    uint64_t bytes = 0;
    for (const InstalledEntry& e : record) {
        char path[PATH_CAP];
        uint64_t size = 0;
        if (!e.folder && installationPath(path, folder, e.rel.c_str()) && sysFileSize(path, &size)) bytes += size;
    }
    uint64_t kb = (bytes + 1023) / 1024;

    char command[LOG_TEXT_CAP], quiet[LOG_TEXT_CAP];
    formatText(command, sizeof command, "\"%s\" -uninstall", uninstaller);
    formatText(quiet, sizeof quiet, "\"%s\" -uninstall -silent", uninstaller);
    int err = sysRegSetText(key, "DisplayName", testEdition ? "KAVO TEST" : "KAVO");
    if (!err) err = sysRegSetText(key, "InstallLocation", location);
    if (!err) err = sysRegSetText(key, "DisplayIcon", icon);
    if (!err) err = sysRegSetNumber(key, "EstimatedSize", kb > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(kb));
    if (!err) err = sysRegSetNumber(key, "NoModify", 1);
    if (!err) err = sysRegSetNumber(key, "NoRepair", 1);
    if (!err) err = sysRegSetText(key, "UninstallString", command);
    if (!err) err = sysRegSetText(key, "QuietUninstallString", quiet);
    if (err) {
        logMessage("register KAVO ERROR - \"HKCU\\%s\" - %d", key, err);
        return false;
    }
    logMessage("register KAVO \"HKCU\\%s\"", key);
    return true;
}

void unregisterInstallation(const char* folder) {
    static const bool EDITIONS[] = {false, true};
    for (bool test : EDITIONS) {
        char key[PATH_CAP], location[PATH_CAP];
        entryKey(key, sizeof key, test);
        if (!sysRegGetText(key, "InstallLocation", location, sizeof location) || !sameFolder(location, folder))
            continue;
        int err = sysRegDeleteKey(key);
        if (err == SYS_OK) logMessage("delete entry \"HKCU\\%s\"", key);
        else logMessage("uninstall KAVO ERROR - entry \"HKCU\\%s\" cannot be removed - %d", key, err);
    }
}
