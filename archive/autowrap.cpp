#include "archive/autowrap.h"

#include <cstring>

#include "app/eventlog.h"
#include "app/globals.h"
#include "archive/package_sign.h"
#include "archive/release_file.h"
#include "archive/wrap.h"
#include "base/textbuf.h"
#include "platform/sys.h"

namespace {

struct Package {
    const char* archiveName;
    uint16_t mode;
};

// The order is the server's: the full package first, "\KAVO_EXE.wrp" last
// even though its mode value is lower than the UBRA ones.
const Package packages[] = {
    {"\\KAVO.wrp", PACK_ALL},
    {"\\OSKE_EXE.wrp", PACK_OSKE_EXE},
    {"\\OSKE_ALL.wrp", PACK_OSKE_ALL},
    {"\\VELN_EXE.wrp", PACK_VELN_EXE},
    {"\\VELN_ALL.wrp", PACK_VELN_ALL},
    {"\\UBRA_EXE.wrp", PACK_UBRA_EXE},
    {"\\UBRA_ALL.wrp", PACK_UBRA_ALL},
    {"\\KAVO_EXE.wrp", PACK_KAVO_EXE},
};

bool joinPath(char* dst, size_t cap, const char* base, const char* tail) {
    if (copyText(dst, cap, base) && appendText(dst, cap, tail)) return true;
    logMessage("autoWrapRelease ERROR - path too long (%s%s)", base, tail);
    return false;
}

// A private key file lying in a folder that is packed or served would be
// handed out with the packages: its name ends like the maker's key files.
bool refuseKeyFileIn(const char* folder) {
    SysFolderScan* scan = sysScanBegin(folder);
    if (!scan) return false;
    SysFolderEntry e;
    bool found = false;
    while (!found && sysScanNext(scan, &e)) {
        size_t n = strlen(e.name);
        if (!e.isFolder && n >= 4 && startsWithNoCase(e.name + n - 4, ".key")) {
            logMessage("autoWrapRelease ERROR - key file \"%s\\%s\" lies in a folder that is packed or served - "
                       "nothing packed; keep it elsewhere and name it in KAVO_SIGNING_KEY",
                       folder, e.name);
            found = true;
        }
    }
    sysScanEnd(scan);
    return found;
}

// The key named from outside (KAVO_SIGNING_KEY): false (logged) when it
// lies below the packing folder or is no private key of one pair.
bool loadSigningKey(uint8_t key[CRYPTO_PRIVATE_KEY_BYTES]) {
    size_t n = strlen(workingDir);
    char next = signingKeyPath[n];
    if (n > 0 && startsWithNoCase(signingKeyPath, workingDir) && (next == '\\' || next == '/')) {
        logMessage("autoWrapRelease ERROR - key file \"%s\" lies in the packing folder - nothing packed",
                   signingKeyPath);
        return false;
    }
    if (!readKeyFile(signingKeyPath, key, CRYPTO_PRIVATE_KEY_BYTES)) {
        logMessage("autoWrapRelease ERROR - \"%s\" is no private key - nothing packed", signingKeyPath);
        return false;
    }
    if (!keyHalvesMatch(key)) {
        logMessage("autoWrapRelease ERROR - \"%s\": the two halves of the key do not belong together - nothing packed",
                   signingKeyPath);
        return false;
    }
    return true;
}

}  // namespace

char signingKeyPath[PATH_CAP] = "";

void autoWrapRelease() {
    char outputFolder[PATH_CAP];
    char releaseFolder[PATH_CAP];
    if (!joinPath(outputFolder, sizeof outputFolder, workingDir, testEdition ? "\\wrp_TEST" : "\\wrp"))
        return;
    if (!joinPath(releaseFolder, sizeof releaseFolder, workingDir, testEdition ? "\\KAVO_TEST" : "\\KAVO"))
        return;
    if (refuseKeyFileIn(workingDir) || refuseKeyFileIn(outputFolder) || refuseKeyFileIn(releaseFolder)) return;
    uint8_t signingKey[CRYPTO_PRIVATE_KEY_BYTES];
    bool sign = signingKeyPath[0] != '\0';
    if (sign && !loadSigningKey(signingKey)) return;

    int err = sysCreateFolder(outputFolder);
    if (err != SYS_OK && err != SYS_ERROR_ALREADY_EXISTS)
        logMessage("CreateDirectory \"%s\" ERROR - %d", outputFolder, err);

    for (const Package& p : packages) {
        char archivePath[PATH_CAP];
        if (!joinPath(archivePath, sizeof archivePath, outputFolder, p.archiveName)) continue;
        double start = nowSeconds();
        wrapFolder(releaseFolder, archivePath, p.mode);
        double elapsed = nowSeconds() - start;
        logMessage("wrapFolder \"%s\" - %.1lf sec", archivePath, elapsed);
        logMessage("");
    }
    if (sign) {
        // The packages, then the release that names them, numbered by the
        // packing time.
        writeRelease(workingDir, testEdition, static_cast<uint64_t>(nowSeconds()), signingKey);
        logMessage("");
        memset(signingKey, 0, sizeof signingKey);
    }
}
