#include "archive/autowrap.h"

#include <cstdlib>
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

// What the key guard's lines end with.
const char* const NOTHING_PACKED = "nothing packed; keep it elsewhere and name it in KAVO_SIGNING_KEY";

// The key named from outside (KAVO_SIGNING_KEY): false (logged) when it
// lies below the packing folder, under any spelling of its path (relative,
// "/" or "\\", letter case, short names), or is no private key of one pair.
bool loadSigningKey(uint8_t key[CRYPTO_PRIVATE_KEY_BYTES]) {
    char keyFull[PATH_CAP], folderFull[PATH_CAP];
    if (!sysFullPath(signingKeyPath, keyFull, sizeof keyFull) ||
        !sysFullPath(workingDir, folderFull, sizeof folderFull)) {
        logMessage("autoWrapRelease ERROR - \"%s\" cannot be resolved to a full path - nothing packed", signingKeyPath);
        return false;
    }
    size_t n = strlen(folderFull);
    while (n > 0 && (folderFull[n - 1] == '\\' || folderFull[n - 1] == '/')) --n;
    char next = keyFull[n];
    if (strlen(keyFull) > n && (next == '\\' || next == '/') && sysCompareNames(keyFull, n, folderFull, n) == 0) {
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

// The release's lifetime in days: KAVO_RELEASE_EXPIRES_IN_DAYS, else the
// default; 0 (logged) when the variable holds no such number.
uint32_t expiryDays() {
    const char* text = getenv("KAVO_RELEASE_EXPIRES_IN_DAYS");
    uint32_t days = REL_DEFAULT_EXPIRY_DAYS;
    if (text && *text && !parseExpiryDays(text, &days)) {
        logMessage("autoWrapRelease ERROR - KAVO_RELEASE_EXPIRES_IN_DAYS \"%s\" is no number of days from 1 to %u - "
                   "nothing packed",
                   text, static_cast<unsigned>(REL_MAX_EXPIRY_DAYS));
        return 0;
    }
    return days;
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
    uint8_t signingKey[CRYPTO_PRIVATE_KEY_BYTES];
    bool sign = signingKeyPath[0] != '\0';
    uint32_t days = sign ? expiryDays() : 0;
    if (sign && (days == 0 || !loadSigningKey(signingKey))) return;
    // Everything below the working folder is packed (the release folder) or
    // served (the packages' folder and the version files).
    if (!treeHoldsNoKey(workingDir, sign ? signingKey : nullptr, "autoWrapRelease", NOTHING_PACKED)) {
        memset(signingKey, 0, sizeof signingKey);
        return;
    }

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
        uint64_t now = static_cast<uint64_t>(nowSeconds());
        writeRelease(workingDir, testEdition, now, now + uint64_t{days} * 86400, signingKey);
        logMessage("");
        memset(signingKey, 0, sizeof signingKey);
    }
}
