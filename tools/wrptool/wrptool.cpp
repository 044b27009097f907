// wrptool: packs, lists and unpacks package archives on the maker's machine
// with the installer's own archive code.  It has no window: the console
// versions of the user-interface verbs come from console_ui.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/globals.h"
#include "archive/package_sign.h"
#include "archive/release_file.h"
#include "archive/unwrap.h"
#include "archive/wrap.h"
#include "platform/sys.h"
#include "tools/wrptool/wrp_list.h"

namespace {

enum Exit { EXIT_OK = 0, EXIT_FAILED = 1, EXIT_USAGE = 2, EXIT_MALFORMED = 3 };

const struct {
    const char* name;
    uint16_t mode;
} modeNames[] = {
    {"ALL", PACK_ALL},           {"OSKE_EXE", PACK_OSKE_EXE}, {"OSKE_ALL", PACK_OSKE_ALL},
    {"VELN_EXE", PACK_VELN_EXE}, {"VELN_ALL", PACK_VELN_ALL}, {"KAVO_EXE", PACK_KAVO_EXE},
    {"UBRA_EXE", PACK_UBRA_EXE}, {"UBRA_ALL", PACK_UBRA_ALL},
};

void usage(FILE* out) {
    fprintf(out,
            "usage: wrptool pack <folder> <archive> [mode]\n"
            "       wrptool list <archive>\n"
            "       wrptool unpack <archive> <folder>\n"
            "       wrptool keygen <private key file> <public key file>\n"
            "       wrptool sign <private key file> <archive>...\n"
            "       wrptool verify <public key file> <archive or release file>...\n"
            "       wrptool release <private key file> <root> [--number N] [--expires-in DAYS] [--test]\n"
            "       wrptool --help\n"
            "\n"
            "pack    writes <folder> as a package archive; mode is a name or its\n"
            "        number (default ALL):\n");
    for (const auto& m : modeNames) fprintf(out, "          %-9s %d\n", m.name, m.mode);
    fprintf(out,
            "list    prints one line per record: offset, type, size, path; a\n"
            "        malformed archive (cut short, missing end record) or names\n"
            "        that unpacking refuses are reported on stderr, exit code 3\n"
            "unpack  recreates the archive's tree in <folder>\n"
            "keygen  makes a new key pair (ECDSA P-256) in two new files (it\n"
            "        overwrites nothing; the private one readable by its owner\n"
            "        only): keep the private key secret and out of every folder\n"
            "        that is packed or served; the installer embeds the public key\n"
            "sign    appends a signature to each archive (replacing one it has)\n"
            "verify  checks each file's signature against the public key: a file\n"
            "        that starts like a release file as a release (line\n"
            "        \"verifyRelease\", its number, edition and expiry; an\n"
            "        expired one fails), any other as a package (\"verifyPackage\")\n"
            "release signs the eight packages in <root>/wrp (--test: wrp_TEST)\n"
            "        and writes KAVO.release beside them, covering the version\n"
            "        files in <root>; the number defaults to the time in UTC\n"
            "        seconds, and an installation never updates to a lower one;\n"
            "        installers refuse the release DAYS days after now (1 to %u,\n"
            "        default %u); a key file or a copy of the private key\n"
            "        anywhere below <root> writes nothing\n"
            "\n"
            "exit codes: 0 done, 1 failed (also: a signature refused), 2 usage,\n"
            "            3 malformed archive\n",
            static_cast<unsigned>(REL_MAX_EXPIRY_DAYS), static_cast<unsigned>(REL_DEFAULT_EXPIRY_DAYS));
}

bool parseMode(const char* text, uint16_t* mode) {
    const char* name = strncmp(text, "PACK_", 5) == 0 ? text + 5 : text;
    for (const auto& m : modeNames) {
        if (strcmp(name, m.name) == 0) {
            *mode = m.mode;
            return true;
        }
    }
    char* end = nullptr;
    long value = strtol(text, &end, 10);
    if (end == text || *end || value < 0 || value > 0xFFFF || !isPackageMode(static_cast<uint16_t>(value)))
        return false;
    *mode = static_cast<uint16_t>(value);
    return true;
}

void printRecord(const WrpRecordInfo& r, void*) {
    switch (r.kind) {
        case 'd': printf("%10llu  dir             %s", (unsigned long long)r.offset, r.path); break;
        case 'f':
            printf("%10llu  file %10u  %s", (unsigned long long)r.offset, r.size, r.path);
            break;
        case 'e': printf("%10llu  end             %s", (unsigned long long)r.offset, *r.path ? r.path : "."); break;
        default:
            printf("%10llu  skip 0x%02X        %s", (unsigned long long)r.offset, r.type, r.path);
            break;
    }
    if (r.unsafe) printf("  [refused by unpack: %s]", r.unsafe);
    putchar('\n');
}

int listCommand(const char* archivePath) {
    FILE* f = sysOpenFile(archivePath, "rb");
    if (!f) {
        fprintf(stderr, "wrptool: cannot open \"%s\"\n", archivePath);
        return EXIT_FAILED;
    }
    WrpListOutcome outcome;
    listArchive(f, printRecord, nullptr, &outcome);
    fclose(f);
    fflush(stdout);
    int rc = EXIT_OK;
    if (!outcome.wellFormed) {
        fprintf(stderr, "wrptool: malformed archive: %s (record at offset %llu)\n", outcome.problem,
                (unsigned long long)outcome.problemOffset);
        rc = EXIT_MALFORMED;
    }
    if (outcome.unsafeNames) {
        fprintf(stderr, "wrptool: the archive holds names that unpacking refuses\n");
        rc = EXIT_MALFORMED;
    }
    if (outcome.trailingBytes)
        fprintf(stderr, "wrptool: %llu bytes after the final end record (never read)\n",
                (unsigned long long)outcome.trailingBytes);
    return rc;
}

// The tool runs on the maker's POSIX machine: a key file is always a new
// file (an existing one, a private key above all, is never overwritten),
// and a private key file is readable by its owner alone.
bool writeFile(const char* path, const uint8_t* data, size_t n, bool secret) {
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL, secret ? 0600 : 0644);
    if (fd < 0 && errno == EEXIST) {
        fprintf(stderr, "wrptool: \"%s\" exists - not overwritten\n", path);
        return false;
    }
    // The mode asked for may have been narrowed, never widened, by umask.
    if (fd >= 0 && secret && fchmod(fd, 0600) != 0) {
        close(fd);
        unlink(path);
        fd = -1;
    }
    FILE* f = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    bool ok = f && fwrite(data, 1, n, f) == n;
    if (f ? fclose(f) != 0 : (fd >= 0 && close(fd) != 0)) ok = false;
    if (!ok) fprintf(stderr, "wrptool: cannot write \"%s\"\n", path);
    return ok;
}

int keygenCommand(const char* privatePath, const char* publicPath) {
    uint8_t key[CRYPTO_PRIVATE_KEY_BYTES];
    if (!sysNewKeyPair(key)) {
        fprintf(stderr, "wrptool: no key pair could be made\n");
        return EXIT_FAILED;
    }
    bool ok = writeFile(privatePath, key, sizeof key, true);
    if (ok && !writeFile(publicPath, key, CRYPTO_PUBLIC_KEY_BYTES, false)) {
        unlink(privatePath);   // the one this run made: no half pair stays
        ok = false;
    }
    memset(key, 0, sizeof key);
    if (!ok) return EXIT_FAILED;
    uint8_t id[SIG_KEY_ID_BYTES];
    char idText[2 * SIG_KEY_ID_BYTES + 1];
    if (!readKeyFile(publicPath, key, CRYPTO_PUBLIC_KEY_BYTES) || !packageKeyId(key, id)) return EXIT_FAILED;
    keyIdText(id, idText);
    printf("key %s: private \"%s\", public \"%s\"\n", idText, privatePath, publicPath);
    return EXIT_OK;
}

// A file that starts with a release file's magic, of this format or the
// earlier one, is checked as a release; anything else as a package.
bool isReleaseFile(const char* path) {
    char magic[REL_MAGIC_BYTES];
    FILE* f = sysOpenFile(path, "rb");
    bool release = f && fread(magic, 1, sizeof magic, f) == sizeof magic &&
                   (memcmp(magic, REL_MAGIC, sizeof magic) == 0 || memcmp(magic, REL_MAGIC_V1, sizeof magic) == 0);
    if (f) fclose(f);
    return release;
}

// sign and verify: one key file, then archives; each archive logs one line.
int keyCommand(int argc, char** argv, bool sign) {
    uint8_t key[CRYPTO_PRIVATE_KEY_BYTES];
    size_t bytes = sign ? CRYPTO_PRIVATE_KEY_BYTES : CRYPTO_PUBLIC_KEY_BYTES;
    if (!readKeyFile(argv[2], key, bytes)) {
        fprintf(stderr, "wrptool: \"%s\" is no %s key file\n", argv[2], sign ? "private" : "public");
        return EXIT_FAILED;
    }
    if (sign && !keyHalvesMatch(key)) {
        fprintf(stderr, "wrptool: \"%s\": the two halves of the key do not belong together\n", argv[2]);
        return EXIT_FAILED;
    }
    int rc = EXIT_OK;
    for (int i = 3; i < argc; ++i) {
        bool ok = sign                 ? signPackage(argv[i], key)
                  : isReleaseFile(argv[i]) ? verifyRelease(argv[i], key, static_cast<uint64_t>(nowSeconds()))
                                         : verifyPackage(argv[i], key);
        if (!ok) rc = EXIT_FAILED;
    }
    memset(key, 0, sizeof key);
    return rc;
}

// release PRIVATE ROOT [--number N] [--expires-in DAYS] [--test]
int releaseCommand(int argc, char** argv) {
    const uint64_t now = static_cast<uint64_t>(nowSeconds());
    uint64_t number = now;
    uint32_t days = REL_DEFAULT_EXPIRY_DAYS;
    bool test = false;
    for (int i = 4; i < argc; ++i) {
        if (strcmp(argv[i], "--test") == 0) {
            test = true;
        } else if (strcmp(argv[i], "--number") == 0 && i + 1 < argc) {
            char* end = nullptr;
            errno = 0;
            unsigned long long v = strtoull(argv[++i], &end, 10);
            if (end == argv[i] || *end || errno || argv[i][0] == '-') {
                fprintf(stderr, "wrptool: \"%s\" is no release number\n", argv[i]);
                return EXIT_USAGE;
            }
            number = v;
        } else if (strcmp(argv[i], "--expires-in") == 0 && i + 1 < argc) {
            if (!parseExpiryDays(argv[++i], &days)) {
                fprintf(stderr, "wrptool: \"%s\" is no number of days from 1 to %u\n", argv[i],
                        static_cast<unsigned>(REL_MAX_EXPIRY_DAYS));
                return EXIT_USAGE;
            }
        } else {
            usage(stderr);
            return EXIT_USAGE;
        }
    }
    uint8_t key[CRYPTO_PRIVATE_KEY_BYTES];
    if (!readKeyFile(argv[2], key, sizeof key)) {
        fprintf(stderr, "wrptool: \"%s\" is no private key file\n", argv[2]);
        return EXIT_FAILED;
    }
    bool ok = writeRelease(argv[3], test, number, now + uint64_t{days} * 86400, key);
    memset(key, 0, sizeof key);
    return ok ? EXIT_OK : EXIT_FAILED;
}

}  // namespace

int main(int argc, char** argv) {
    // Log lines go to the console, not into a log file next to the caller.
    consoleMode = true;
    if (argc >= 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        usage(stdout);
        return EXIT_OK;
    }
    const char* cmd = argc >= 2 ? argv[1] : "";
    if (strcmp(cmd, "pack") == 0 && (argc == 4 || argc == 5)) {
        uint16_t mode = PACK_ALL;
        if (argc == 5 && !parseMode(argv[4], &mode)) {
            fprintf(stderr, "wrptool: unknown mode \"%s\"\n", argv[4]);
            return EXIT_USAGE;
        }
        return wrapFolder(argv[2], argv[3], mode) ? EXIT_OK : EXIT_FAILED;
    }
    if (strcmp(cmd, "list") == 0 && argc == 3) return listCommand(argv[2]);
    if (strcmp(cmd, "unpack") == 0 && argc == 4) return unwrapFolder(argv[2], argv[3]) ? EXIT_OK : EXIT_FAILED;
    if (strcmp(cmd, "keygen") == 0 && argc == 4) return keygenCommand(argv[2], argv[3]);
    if (strcmp(cmd, "release") == 0 && argc >= 4) return releaseCommand(argc, argv);
    if ((strcmp(cmd, "sign") == 0 || strcmp(cmd, "verify") == 0) && argc >= 4)
        return keyCommand(argc, argv, strcmp(cmd, "sign") == 0);
    usage(stderr);
    return EXIT_USAGE;
}
