#include "setup/uninstall.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "app/eventlog.h"
#include "app/globals.h"
#include "archive/wrp_cursor.h"
#include "base/textbuf.h"
#include "platform/file_names.h"
#include "platform/sys.h"
#include "setup/install.h"
#include "setup/install_lock.h"
#include "setup/shell.h"

namespace {

const char* const RECORD_HEADER = "KAVO installed files 1";
// A record line: a tag, a space and a path that fits a 260-byte path.
const size_t RECORD_LINE_CAP = 1024;
// Names shown in the closing box; the log has all of them.
const int BOX_NAMES = 8;

struct Entry {
    bool folder;
    std::string rel;
};

struct Record {
    std::vector<Entry> entries;
    std::set<std::string, FileNameLess> seen;

    void add(bool folder, std::string rel) {
        std::replace(rel.begin(), rel.end(), '/', '\\');
        if (seen.insert(rel).second) entries.push_back({folder, rel});
    }
};

bool isSeparator(char c) { return c == '\\' || c == '/'; }

// folder + "\" + rel in out (PATH_CAP); false when it does not fit.
bool fullPath(char* out, const char* folder, const std::string& rel) {
    return copyText(out, PATH_CAP, folder) && (endsWithSeparator(out) || appendText(out, PATH_CAP, "\\")) &&
           appendText(out, PATH_CAP, rel.c_str());
}

bool recordFile(const char* folder, char* out, const char* suffix) {
    return copyText(out, PATH_CAP, folder) && (endsWithSeparator(out) || appendText(out, PATH_CAP, "\\")) &&
           appendText(out, PATH_CAP, suffix);
}

// Reads the record of `folder`; lines that cannot be used are skipped, each
// with a line in the log.  False when there is no record.
bool readRecord(const char* folder, Record* record) {
    char path[PATH_CAP];
    if (!recordFile(folder, path, INSTALL_RECORD_PATH)) return false;
    FILE* f = sysOpenFile(path, "rt");
    if (!f) return false;
    char line[RECORD_LINE_CAP];
    int lineNo = 0;
    bool cut = false;
    while (fgets(line, sizeof line, f)) {
        size_t n = strlen(line);
        bool whole = n > 0 && line[n - 1] == '\n';
        if (whole) line[--n] = '\0';
        if (n > 0 && line[n - 1] == '\r') line[--n] = '\0';
        if (cut) {  // the rest of an over-long line
            cut = !whole;
            continue;
        }
        ++lineNo;
        if (!whole && !feof(f)) {
            logMessage("uninstall record ERROR - line %d longer than %d bytes - skipped", lineNo,
                       static_cast<int>(RECORD_LINE_CAP - 2));
            cut = true;
            continue;
        }
        if (n == 0 || strcmp(line, RECORD_HEADER) == 0) continue;
        bool folderLine = line[0] == 'D';
        if ((line[0] != 'D' && line[0] != 'F') || line[1] != ' ') {
            logMessage("uninstall record ERROR - line %d is not a file or folder line - skipped", lineNo);
            continue;
        }
        const char* rel = line + 2;
        size_t relLength = n - 2;
        char full[PATH_CAP];
        if (const char* why = recordPathProblem(rel, relLength)) {
            logMessage("uninstall record ERROR - \"%s\" refused (%s) - skipped", rel, why);
        } else if (!fullPath(full, folder, rel)) {
            logMessage("uninstall record ERROR - \"%s\" is too long - skipped", rel);
        } else {
            record->add(folderLine, std::string(rel, relLength));
        }
    }
    fclose(f);
    return true;
}

// Writes the record through a temporary file that replaces the old one in
// one step: a power cut leaves either the old record or the new one.
bool writeRecord(const char* folder, const Record& record) {
    char data[PATH_CAP], path[PATH_CAP], temp[PATH_CAP];
    if (!recordFile(folder, data, "KAVO_data") || !recordFile(folder, path, INSTALL_RECORD_PATH) ||
        !copyText(temp, sizeof temp, path) || !appendText(temp, sizeof temp, ".new")) {
        logMessage("uninstall record ERROR - path too long (%s)", folder);
        return false;
    }
    int err = sysCreateFolder(data);
    if (err != SYS_OK && err != SYS_ERROR_ALREADY_EXISTS) {
        logMessage("CreateDirectory \"%s\" ERROR - %d", data, err);
        return false;
    }
    FILE* f = sysOpenFile(temp, "wt");
    if (!f) {
        logMessage("uninstall record ERROR - cannot write \"%s\"", temp);
        return false;
    }
    bool ok = fprintf(f, "%s\n", RECORD_HEADER) > 0;
    for (const Entry& e : record.entries) ok = ok && fprintf(f, "%c %s\n", e.folder ? 'D' : 'F', e.rel.c_str()) > 0;
    ok = fclose(f) == 0 && ok;
    if (!ok || sysReplaceFile(temp, path) != SYS_OK) {
        logMessage("uninstall record ERROR - cannot write \"%s\"", path);
        sysDeleteFile(temp);
        return false;
    }
    return true;
}

// The entry's key for the edition in use.
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

struct Outcome {
    int filesRemoved = 0, foldersRemoved = 0;
    std::vector<std::string> left;   // listed files that could not be removed
    std::vector<std::string> kept;   // files the record does not list
};

void removeListedFile(const char* folder, const std::string& rel, Outcome* out) {
    char path[PATH_CAP];
    fullPath(path, folder, rel);  // checked when the record was read
    int kind = sysPathKind(path);
    if (kind == 0) return;  // gone already (an earlier, interrupted uninstall)
    int err = kind == 1 ? sysDeleteFile(path) : SYS_ERROR_ACCESS_DENIED;
    if (err == SYS_OK) {
        logMessage("delete \"%s\"", path);
        ++out->filesRemoved;
        return;
    }
    logMessage("uninstall KAVO ERROR - \"%s\" is in use or cannot be removed - %d - left", path, err);
    out->left.push_back(rel);
}

// Every file under `path` that is still there once the listed ones are
// gone: the user's own.  Links are reported, never followed.
void findKept(const std::string& path, const std::string& rel, const std::set<std::string, FileNameLess>& listed,
              Outcome* out) {
    SysFolderScan* scan = sysScanBegin(path.c_str());
    if (!scan) return;
    SysFolderEntry e;
    while (sysScanNext(scan, &e)) {
        if (strcmp(e.name, ".") == 0 || strcmp(e.name, "..") == 0) continue;
        std::string childRel = rel.empty() ? e.name : rel + "\\" + e.name;
        std::string child = path + "\\" + e.name;
        if (e.isFolder && !e.isLink) {
            if (child.size() < PATH_CAP) findKept(child, childRel, listed, out);
        } else if (!listed.count(childRel)) {
            logMessage("uninstall KAVO - kept \"%s\"", child.c_str());
            out->kept.push_back(childRel);
        }
    }
    sysScanEnd(scan);
}

// Removes the entries of both editions that name this folder; an entry of
// another installation stays.
void removeEntries(const char* folder) {
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

void appendNames(std::string* text, const std::vector<std::string>& names) {
    int shown = 0;
    for (const std::string& n : names) {
        if (shown++ == BOX_NAMES) {
            *text += "\n...";
            break;
        }
        *text += "\n" + n;
    }
}

void closingBox(const char* folder, const Outcome& o) {
    char head[LOG_TEXT_CAP];
    if (o.left.empty())
        formatText(head, sizeof head, "KAVO was removed from \"%s\": %d files and %d folders.", folder,
                   o.filesRemoved, o.foldersRemoved);
    else
        formatText(head, sizeof head,
                   "KAVO could not be removed completely from \"%s\" (%d files and %d folders removed).\n"
                   "These files are in use and were left; close KAVO and uninstall again:",
                   folder, o.filesRemoved, o.foldersRemoved);
    std::string text = head;
    appendNames(&text, o.left);
    if (!o.kept.empty()) {
        text += "\n\nFiles you made there were kept:";
        appendNames(&text, o.kept);
    }
    char box[LOG_TEXT_CAP];
    copyText(box, sizeof box, text.c_str());  // a long list is cut, the log has all names
    uiInform(box, UNINSTALL_TITLE);
}

void runUninstall(const char* folder, Outcome* out) {
    Record record;
    if (!readRecord(folder, &record)) logMessage("uninstall KAVO - no record of installed files in \"%s\"", folder);

    // The record and the uninstaller go last, and only when everything else
    // went: while anything is left, uninstalling can be tried again.
    std::string recordRel = INSTALL_RECORD_PATH, uninstallerRel = UNINSTALLER_PATH;
    FileNameLess less;
    auto is = [&less](const std::string& a, const std::string& b) { return !less(a, b) && !less(b, a); };
    for (const Entry& e : record.entries)
        if (!e.folder && !is(e.rel, recordRel) && !is(e.rel, uninstallerRel)) removeListedFile(folder, e.rel, out);
    if (out->left.empty()) {
        removeListedFile(folder, uninstallerRel, out);
        removeListedFile(folder, recordRel, out);
    }

    // Deepest first, so that a folder's listed sub-folders are gone before it.
    std::vector<std::string> folders;
    for (const Entry& e : record.entries)
        if (e.folder) folders.push_back(e.rel);
    auto depth = [](const std::string& s) { return std::count_if(s.begin(), s.end(), isSeparator); };
    std::stable_sort(folders.begin(), folders.end(),
                     [&depth](const std::string& a, const std::string& b) { return depth(a) > depth(b); });
    for (const std::string& rel : folders) {
        char path[PATH_CAP];
        fullPath(path, folder, rel);
        if (sysPathKind(path) == 2 && sysRemoveFolder(path) == SYS_OK) {
            logMessage("remove \"%s\"", path);
            ++out->foldersRemoved;
        }
    }

    // Whatever is still there and listed was left above; the rest is the user's.
    record.seen.insert(recordRel);
    record.seen.insert(uninstallerRel);
    findKept(folder, "", record.seen, out);
    // The installation folder itself, when nothing is left in it.
    if (out->left.empty() && out->kept.empty() && sysRemoveFolder(folder) == SYS_OK) {
        logMessage("remove \"%s\"", folder);
        ++out->foldersRemoved;
    }

    removeDesktopShortcuts(folder);
    if (out->left.empty()) removeEntries(folder);
}

}  // namespace

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

bool recordPackage(const char* archivePath, const char* folder) {
    FILE* f = sysOpenFile(archivePath, "rb");
    if (!f) {
        logMessage("uninstall record ERROR - cannot read \"%s\"", archivePath);
        return false;
    }
    int64_t length = sysSeekEnd(f) ? sysTell(f) : -1;
    sysSeekStart(f);
    Record record;
    readRecord(folder, &record);
    WrpCursor cursor(f);
    WrpRecord r;
    std::vector<std::string> open;  // the folder each listing fills
    bool ok = length >= 0;
    while (ok && !cursor.finished()) {
        if (cursor.next(r) != WrpStep::Record) {
            ok = false;
            break;
        }
        std::string prefix = open.empty() ? "" : open.back() + "\\";
        std::string rel = prefix + std::string(r.name, r.nameLength);
        switch (r.kind) {
            case WrpRecordKind::Folder:
                if (recordPathProblem(rel.c_str(), rel.size())) ok = false;
                else record.add(true, rel);
                open.push_back(rel);
                break;
            case WrpRecordKind::File:
                if (recordPathProblem(rel.c_str(), rel.size())) ok = false;
                else record.add(false, rel);
                ok = ok && cursor.skipContent(r.size, length);
                break;
            case WrpRecordKind::End:
                if (!open.empty()) open.pop_back();
                break;
            case WrpRecordKind::Skip: break;
        }
    }
    fclose(f);
    if (!ok) {
        // The unpacker took this archive whole; a reader that cannot is a fault.
        logMessage("uninstall record ERROR - \"%s\" cannot be listed", archivePath);
        return false;
    }
    return writeRecord(folder, record);
}

bool registerInstallation(const char* folder) {
    char location[PATH_CAP], uninstaller[PATH_CAP], icon[PATH_CAP], key[PATH_CAP];
    if (!absoluteFolder(location, sizeof location, folder) ||
        !recordFile(location, uninstaller, UNINSTALLER_PATH) ||
        !recordFile(location, icon, "KAVO_data\\KAVO_interface.exe") || !entryKey(key, sizeof key, testEdition)) {
        logMessage("register KAVO ERROR - path too long (%s)", folder);
        return false;
    }
    Record record;
    readRecord(folder, &record);
    record.add(true, "KAVO_data");
    record.add(false, "KAVO_data\\update.ini");
    if (testEdition) record.add(false, "KAVO_data\\launcher.ini");
    record.add(false, UNINSTALLER_PATH);
    // On the record before it exists: a copy cut short is removed too.
    if (!writeRecord(folder, record)) return false;
    if (!copyRunningInstaller(uninstaller)) {
        logMessage("register KAVO ERROR - cannot copy the installer to \"%s\"", uninstaller);
        return false;
    }

    // What the listed files take, in KB, as the list of installed programs shows it.
    uint64_t bytes = 0;
    for (const Entry& e : record.entries) {
        char path[PATH_CAP];
        uint64_t size = 0;
        if (!e.folder && fullPath(path, folder, e.rel) && sysFileSize(path, &size)) bytes += size;
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

bool uninstallKAVO(const char* folder) {
    logMessage("uninstall KAVO <- \"%s\"", folder);
    if (static_cast<int>(strlen(folder)) > maxInstallDirLength()) {
        logMessage("uninstall KAVO ERROR - installation folder longer than %d characters", maxInstallDirLength());
        uiInform("The installation folder is too long; nothing was removed.", UNINSTALL_TITLE);
        return false;
    }
    bool present = sysPathKind(folder) == 2;
    // Turned away, like an installation, while another run works there.
    if (present && !claimInstallation(folder, "uninstall KAVO")) return false;

    char question[LOG_TEXT_CAP];
    formatText(question, sizeof question, "Do you want to remove KAVO from \"%s\"?\nFiles you made there are kept.",
               folder);
    if (!uiAskYesNo(question, UNINSTALL_TITLE, false)) {
        logMessage("uninstall KAVO - cancelled");
        releaseInstallation();
        return false;
    }

    Outcome outcome;
    if (present) {
        runUninstall(folder, &outcome);
    } else {
        logMessage("uninstall KAVO - \"%s\" is not there", folder);
        removeDesktopShortcuts(folder);
        removeEntries(folder);
    }
    releaseInstallation();
    if (outcome.left.empty()) logMessage("uninstall KAVO - done");
    else logMessage("uninstall KAVO - %d files left", static_cast<int>(outcome.left.size()));
    logMessage("");
    closingBox(folder, outcome);
    return outcome.left.empty();
}
