// The start-up configuration: setup.ini, launcher.ini and the command line
// ("-installDir:", "-update:"), checked against the reading rules written
// here from their description.  Results go into buffers of exactly their
// capacity, so any overrun is caught by the address sanitizer.
//
// Input: setup.ini, launcher.ini and the command line, separated by 0x1E.
#include <cstdio>
#include <climits>
#include <cstdlib>
#include <memory>

#include "app/config.h"
#include "app/globals.h"
#include "platform/sys.h"
#include "setup/update.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/unit/fake_ui.h"

namespace {

// The pieces fgets hands over with a buffer of `cap` bytes, each cut at a
// NUL as the line's text.
std::vector<std::string> lines(const std::string& file, size_t cap) {
    std::vector<std::string> out;
    for (size_t i = 0; i < file.size();) {
        size_t end = i;
        while (end < file.size() && end - i < cap - 1 && file[end++] != '\n') {
        }
        out.push_back(file.substr(i, end - i).c_str());
        i = end;
    }
    return out;
}

bool startsNoCase(const std::string& s, const char* word) {
    for (size_t i = 0; word[i]; ++i)
        if (i >= s.size() || (s[i] >= 'a' && s[i] <= 'z' ? s[i] - 32 : s[i]) != word[i]) return false;
    return true;
}

// One "%d" of sscanf as the C runtime here reads it: white space, a sign,
// digits; strtol's value (held at the limits of a long), cut to an int.
bool number(const char*& p, int& out) {
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool minus = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    if (*p < '0' || *p > '9') return false;
    unsigned long long m = 0;
    for (; *p >= '0' && *p <= '9'; ++p) m = m > 1e18 ? ~0ull : m * 10 + static_cast<unsigned>(*p - '0');
    const unsigned long long top = 1ull << 63;
    long long v = minus ? (m >= top ? LLONG_MIN : -static_cast<long long>(m)) : (m >= top ? LLONG_MAX : m);
    out = static_cast<int>(static_cast<uint32_t>(v));
    return true;
}

[[noreturn]] void fail(const char* what, const std::string& expected, const std::string& found) {
    fprintf(stderr, "\n*** fuzz_config: %s: expected \"%s\", found \"%s\"\n", what, expected.c_str(), found.c_str());
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string parts[3], input(reinterpret_cast<const char*>(data), size);
    for (int k = 0, at = 0; k < 3; ++k) {
        size_t end = k < 2 ? input.find('\x1E', at) : std::string::npos;
        parts[k] = input.substr(std::min<size_t>(at, size), end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? static_cast<int>(size) : static_cast<int>(end) + 1;
    }
    static MemFs start;
    start.put("/run", true);
    MemReleaseAtEnd release;
    resetAppState();
    memReset(start, "/run");
    memFs.write("setup.ini", parts[0]);
    memFs.write("launcher.ini", parts[1]);
    const std::string cmd = parts[2].c_str();
    for (int32_t& p : pendingUpdates) p = 0;

    FILE* f = sysOpenFile("setup.ini", "rt");
    readSetupIni(f);
    fclose(f);
    f = sysOpenFile("launcher.ini", "rt");
    bool test = scanLauncherIni(f);
    fclose(f);
    std::unique_ptr<char[]> dir(new char[INSTALL_DIR_CAP]);
    InstallDirSwitch sw = parseInstallDirSwitch(cmd.c_str(), dir.get(), INSTALL_DIR_CAP);
    applyUpdateSwitch(cmd.c_str());

    // setup.ini: the last CONNECT line whose four numbers rebuild into at
    // most 19 characters sets the address, and each one logs it.
    std::string address = DEFAULT_SERVER_ADDRESS;
    int logged = 0;
    for (std::string line : lines(parts[0], 1000)) {
        if (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (line.empty() || line[0] == ' ' || line[0] == '\t' || line[0] == '/' || !startsNoCase(line, "CONNECT:"))
            continue;
        const char* p = line.c_str() + 8;
        int v[4] = {};
        bool ok = true;
        for (int i = 0; i < 4 && ok; ++i) ok = (i == 0 || (*p == '.' && ++p)) && number(p, v[i]);
        char rebuilt[64];
        snprintf(rebuilt, sizeof rebuilt, "%d.%d.%d.%d", v[0], v[1], v[2], v[3]);
        if (ok && strlen(rebuilt) <= 19) address = rebuilt, ++logged;
    }
    int logLines = 0;
    for (const std::string& l : fakeUi.list) logLines += l.compare(0, 11, "server IP: ") == 0;
    if (address != serverAddress) fail("server address", address, serverAddress);
    if (logged != logLines) fail("server IP lines", std::to_string(logged), std::to_string(logLines));

    bool marked = false;
    for (const std::string& line : lines(parts[1], 200)) marked |= startsNoCase(line, "TEST");
    if (test != marked) fail("TEST marker", marked ? "yes" : "no", test ? "yes" : "no");

    // -installDir: the value starts one character after the colon and ends at
    // a double quote among its first 260 characters, else at the end.
    size_t at = cmd.find("-installDir:");
    std::string value = at == std::string::npos || cmd.size() <= at + 13 ? "" : cmd.substr(at + 13);
    size_t quote = value.find('"');
    if (quote < 260) value.resize(quote);
    InstallDirSwitch want = at == std::string::npos ? InstallDirSwitch::Absent
                            : value.empty()         ? InstallDirSwitch::Empty
                            : value.size() >= INSTALL_DIR_CAP ? InstallDirSwitch::TooLong
                                                               : InstallDirSwitch::Applied;
    if (sw != want || (sw == InstallDirSwitch::Applied && value != dir.get()))
        fail("-installDir:", value, sw == InstallDirSwitch::Applied ? dir.get() : "(not applied)");

    // -update: comma-separated exact package names up to white space.
    const char* const packages[UPDATE_COUNT] = {"OSKE_EXE", "OSKE_ALL", "VELN_EXE", "VELN_ALL",
                                                "UBRA_EXE", "UBRA_ALL", "KAVO_EXE"};
    at = cmd.find("-update:");
    std::string names = at == std::string::npos ? "" : cmd.substr(at + 8) + " ", name;
    names.resize(names.find_first_of(" \t") == std::string::npos ? 0 : names.find_first_of(" \t"));
    for (char c : names + ",") {
        if (c != ',') {
            name += c;
            continue;
        }
        for (int i = 0; i < UPDATE_COUNT; ++i)
            if (name == packages[i] && !pendingUpdates[i]) fail("-update: flag missing", name, "");
        name.clear();
    }
    for (int i = 0; i < UPDATE_COUNT; ++i)
        if (pendingUpdates[i] && (","+ names + ",").find(std::string(",") + packages[i] + ",") == std::string::npos)
            fail("-update: flag set", "", packages[i]);
    return 0;
}
