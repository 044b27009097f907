#include "archive/autowrap.h"

#include "app/eventlog.h"
#include "app/globals.h"
#include "archive/package_sign.h"
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

// The maker's private key: when this file lies in the working folder, every
// package written is signed.  It must never lie in a folder that a server
// offers.
const char* const SIGNING_KEY_FILE = "\\KAVO_signing.key";

}  // namespace

void autoWrapRelease() {
    char outputFolder[PATH_CAP];
    char releaseFolder[PATH_CAP];
    if (!joinPath(outputFolder, sizeof outputFolder, workingDir, testEdition ? "\\wrp_TEST" : "\\wrp"))
        return;
    int err = sysCreateFolder(outputFolder);
    if (err != SYS_OK && err != SYS_ERROR_ALREADY_EXISTS)
        logMessage("CreateDirectory \"%s\" ERROR - %d", outputFolder, err);
    if (!joinPath(releaseFolder, sizeof releaseFolder, workingDir, testEdition ? "\\KAVO_TEST" : "\\KAVO"))
        return;

    uint8_t signingKey[CRYPTO_PRIVATE_KEY_BYTES];
    char keyPath[PATH_CAP];
    bool sign = false;
    // A key path that does not fit names no file the maker could have put there.
    if (copyText(keyPath, sizeof keyPath, workingDir) && appendText(keyPath, sizeof keyPath, SIGNING_KEY_FILE) &&
        sysPathKind(keyPath) != 0) {
        sign = readKeyFile(keyPath, signingKey, sizeof signingKey);
        if (!sign) logMessage("autoWrapRelease ERROR - \"%s\" is no private key - packages not signed", keyPath);
    }

    for (const Package& p : packages) {
        char archivePath[PATH_CAP];
        if (!joinPath(archivePath, sizeof archivePath, outputFolder, p.archiveName)) continue;
        double start = nowSeconds();
        if (wrapFolder(releaseFolder, archivePath, p.mode) && sign) signPackage(archivePath, signingKey);
        double elapsed = nowSeconds() - start;
        logMessage("wrapFolder \"%s\" - %.1lf sec", archivePath, elapsed);
        logMessage("");
    }
}
