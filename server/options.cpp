// Command line of the update server: its options, the fault options for
// tests, and the --script file of scripted server messages.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "net/wire_format.h"
#include "server/server.h"

namespace update_server {

const char* usageText() {
    return "usage: update_server [options]\n"
           "Serves the KAVO installer's files below a folder (file requests \"rf\",\n"
           "answers \"sfh\" + content or \"sfe0\"). Log lines go to stdout; when stdout\n"
           "cannot take them they are dropped and counted in the statistics line.\n"
           "\n"
           "  --root DIR              folder whose files are served (default: current folder)\n"
           "  --address A             IPv4 address to listen on (default 127.0.0.1); only\n"
           "                          127.0.0.0/8 unless --allow-non-loopback\n"
           "  --allow-non-loopback    permit an --address outside 127.0.0.0/8\n"
           "  --port N                TCP port (default 49491; 0 picks a free one)\n"
           "  --port-file F           write the bound port to F once listening\n"
           "  --max-clients N         connections served at once, more are closed (default:\n"
           "                          the open-file limit less a twentieth less 32; the\n"
           "                          soft limit is raised to the hard one at start)\n"
           "  --max-transfers N       files sent at once, further requests wait their turn\n"
           "                          (default: the open files the connections leave)\n"
           "  --drain-time S          on SIGTERM: stop accepting, close idle connections and\n"
           "                          let transfers in flight finish for up to S seconds\n"
           "                          (default 30); a second SIGTERM or SIGINT stops at once\n"
           "  --stats-interval S      a statistics line every S seconds (default 60; 0: none)\n"
           "  --dump-received F       write every byte the clients send to F (emptied first)\n"
           "  -h, --help              this text\n"
           "\n"
           "Faults, for tests (refused together with --allow-non-loopback):\n"
           "  --refuse-all            answer every file request with \"sfe0\"\n"
           "  --no-answer             never answer a file request (alias --silent-after-hello)\n"
           "  --no-hello              do not answer the client's \"#v\"\n"
           "  --version MAJOR.MINOR   version sent in the \"#v\" answer (default 1.3)\n"
           "  --header-delay MS       wait MS milliseconds before sending \"sfh\"\n"
           "  --stall-after N         send only N content bytes of each file, keep the connection\n"
           "  --close-after N         close the connection after N content bytes of a file\n"
           "  --wrong-size D          announce the file size plus D (D may be negative),\n"
           "                          send the real content\n"
           "  --rate B                send at most B content bytes per second per transfer\n"
           "  --quit-after-requests N close a client once N requests have been answered\n"
           "  --script FILE           after the first \"#v\" of a connection send the lines of\n"
           "                          FILE in order: pnf <path>, prf <old> <new>, pdf <path>,\n"
           "                          raw <hex bytes>, sleep <ms>; # starts a comment; the\n"
           "                          lines after \"after-file N\" go out right behind the\n"
           "                          content of the connection's N-th file instead\n"
           "\n"
           "The root is looked up again for every request: publish a release by renaming\n"
           "a link over it (ln -s releases/2.1 next && mv -T next current); transfers in\n"
           "flight finish with the file they began.\n"
           "Requests are answered one after another per connection, a few queued at most;\n"
           "beyond that the connection is not read until its answers have gone out.\n"
           "Only what an installer asks for is served: update.ini, update_TEST.ini,\n"
           "launcher_TEST.ini, and in wrp\\ and wrp_TEST\\ NAME.wrp and KAVO.release (\"\\\"\n"
           "as separator, letter case as stored). Anything else, names longer than 999\n"
           "bytes, any link below the root (the root itself may be one), folders,\n"
           "missing, empty or special files get \"sfe0\" and a log line. A connection\n"
           "that sends anything but \"#v\" and \"rf\" is closed at once; one without a\n"
           "hello or a request after 10 s, or with a message left unfinished for 10 s,\n"
           "as well.\n"
           "SIGINT stops the server at once, SIGTERM after the drain.\n";
}

namespace {

bool toInt(const std::string& s, long long lo, long long hi, long long* out) {
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long long v = strtoll(s.c_str(), &end, 10);
    if (errno || *end || v < lo || v > hi) return false;
    *out = v;
    return true;
}

}  // namespace

bool parseOptions(const std::vector<std::string>& args, ServerConfig* config, bool* help, std::string* error) {
    ServerConfig cfg;
    FaultSettings& f = cfg.faults;
    *help = false;
    auto bad = [&](const std::string& why) {
        *error = why;
        return false;
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string* v) {
            if (i + 1 >= args.size()) return false;
            *v = args[++i];
            return true;
        };
        std::string v;
        long long n = 0;
        auto number = [&](long long lo, long long hi) {
            if (!value(&v)) return bad(a + " needs a value");
            if (!toInt(v, lo, hi, &n)) return bad(a + ": \"" + v + "\" is not a number from " + std::to_string(lo) +
                                                  " to " + std::to_string(hi));
            return true;
        };
        const long long U32 = 0xFFFFFFFFLL;
        if (a == "-h" || a == "--help") {
            *help = true;
            return true;
        } else if (a == "--root") {
            if (!value(&cfg.root)) return bad("--root needs a folder");
        } else if (a == "--address") {
            if (!value(&cfg.address)) return bad("--address needs an IPv4 address");
        } else if (a == "--allow-non-loopback") {
            cfg.allowNonLoopback = true;
        } else if (a == "--port") {
            if (!number(0, 65535)) return false;
            cfg.port = static_cast<int>(n);
        } else if (a == "--port-file") {
            if (!value(&cfg.portFile)) return bad("--port-file needs a file name");
        } else if (a == "--max-clients") {
            if (!number(1, 1000000)) return false;
            cfg.maxClients = static_cast<int>(n);
        } else if (a == "--max-transfers") {
            if (!number(1, 1000000)) return false;
            cfg.maxTransfers = static_cast<int>(n);
        } else if (a == "--drain-time") {
            if (!number(0, 86400)) return false;
            cfg.drainSeconds = static_cast<int>(n);
        } else if (a == "--stats-interval") {
            if (!number(0, 86400)) return false;
            cfg.statsSeconds = static_cast<int>(n);
        } else if (a == "--dump-received") {
            if (!value(&cfg.dumpReceived)) return bad("--dump-received needs a file name");
        } else if (a == "--refuse-all") {
            f.refuseAll = true;
        } else if (a == "--no-answer" || a == "--silent-after-hello") {
            f.noAnswer = true;
        } else if (a == "--no-hello") {
            f.noHello = true;
        } else if (a == "--version") {
            if (!value(&v)) return bad("--version needs MAJOR.MINOR");
            size_t dot = v.find('.');
            long long major = 0, minor = 0;
            if (dot == std::string::npos || !toInt(v.substr(0, dot), 0, 65535, &major) ||
                !toInt(v.substr(dot + 1), 0, 65535, &minor))
                return bad("--version: \"" + v + "\" is not MAJOR.MINOR (0 to 65535 each)");
            f.versionMajor = static_cast<uint16_t>(major);
            f.versionMinor = static_cast<uint16_t>(minor);
        } else if (a == "--header-delay") {
            if (!number(0, 600000)) return false;
            f.headerDelayMs = static_cast<int>(n);
        } else if (a == "--stall-after") {
            if (!number(0, U32)) return false;
            f.stallAfter = n;
        } else if (a == "--close-after") {
            if (!number(0, U32)) return false;
            f.closeAfter = n;
        } else if (a == "--wrong-size") {
            if (!number(-U32, U32)) return false;
            f.wrongSize = n;
        } else if (a == "--rate") {
            if (!number(1, 1LL << 40)) return false;
            f.rateBytesPerSec = n;
        } else if (a == "--quit-after-requests") {
            if (!number(1, 1000000)) return false;
            f.quitAfterRequests = static_cast<int>(n);
        } else if (a == "--script") {
            if (!value(&v)) return bad("--script needs a file name");
            std::ifstream in(v, std::ios::binary);
            if (!in) return bad("--script: cannot read \"" + v + "\"");
            std::stringstream text;
            text << in.rdbuf();
            std::string why;
            if (!parseScript(text.str(), &f.script, &why)) return bad("--script " + v + ": " + why);
        } else {
            return bad("unknown option \"" + a + "\" (see --help)");
        }
    }
    *config = std::move(cfg);
    return true;
}

bool FaultSettings::any() const {
    const FaultSettings none;
    return refuseAll || noAnswer || noHello || headerDelayMs != 0 || stallAfter != none.stallAfter ||
           closeAfter != none.closeAfter || wrongSize != 0 || versionMajor != none.versionMajor ||
           versionMinor != none.versionMinor || rateBytesPerSec != 0 || quitAfterRequests != 0 || !script.empty();
}

// ---- --script files ------------------------------------------------------

namespace {

bool parseHex(const std::string& s, std::vector<uint8_t>* out) {
    std::string digits;
    for (char ch : s) {
        if (ch == ' ' || ch == '\t') continue;
        if (!isxdigit(static_cast<unsigned char>(ch))) return false;
        digits += ch;
    }
    if (digits.empty() || digits.size() % 2) return false;
    for (size_t i = 0; i < digits.size(); i += 2)
        out->push_back(static_cast<uint8_t>(strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
    return true;
}

std::string trim(const std::string& s) {
    size_t a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos) return "";
    size_t b = s.find_last_not_of(" \t\r");
    return s.substr(a, b - a + 1);
}

}  // namespace

bool parseScript(const std::string& text, std::vector<ScriptStep>* steps, std::string* error) {
    std::vector<ScriptStep> result;
    size_t pos = 0;
    int lineNo = 0;
    int afterFile = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos) eol = text.size();
        std::string line = trim(text.substr(pos, eol - pos));
        pos = eol + 1;
        ++lineNo;
        if (line.empty() || line[0] == '#') continue;
        size_t sp = line.find_first_of(" \t");
        std::string verb = line.substr(0, sp);
        std::string rest = sp == std::string::npos ? "" : trim(line.substr(sp));
        auto bad = [&](const std::string& why) {
            if (error) *error = "line " + std::to_string(lineNo) + ": " + why;
            return false;
        };
        ScriptStep s;
        s.afterFile = afterFile;
        if (verb == "after-file") {
            char* end = nullptr;
            long n = strtol(rest.c_str(), &end, 10);
            if (rest.empty() || *end || n < 1 || n > 1000000) return bad("after-file needs a file number (1 or more)");
            afterFile = static_cast<int>(n);
            continue;
        } else if (verb == "pnf" || verb == "pdf") {
            // The rest of the line is the path (it may hold spaces; a
            // trailing "/" on pdf names a folder).
            if (rest.size() > 0xFFFF) return bad("path too long");
            s.bytes.resize(NEW_FOLDER_HEAD_SIZE + rest.size());
            if (verb == "pnf")
                buildNewFolder(s.bytes.data(), s.bytes.size(), rest.data(), rest.size());
            else
                buildDeletePath(s.bytes.data(), s.bytes.size(), rest.data(), rest.size());
        } else if (verb == "prf") {
            size_t mid = rest.find_first_of(" \t");
            if (mid == std::string::npos) return bad("prf needs an old and a new path");
            std::string a = rest.substr(0, mid), b = trim(rest.substr(mid));
            if (b.find_first_of(" \t") != std::string::npos) return bad("prf takes two paths without spaces");
            if (a.size() > 0xFFFF || b.size() > 0xFFFF) return bad("path too long");
            s.bytes.resize(MOVE_PATH_HEAD_SIZE + a.size() + b.size());
            buildMovePath(s.bytes.data(), s.bytes.size(), a.data(), a.size(), b.data(), b.size());
        } else if (verb == "raw") {
            if (!parseHex(rest, &s.bytes)) return bad("raw needs hex bytes, e.g. raw 23 76 01 00");
        } else if (verb == "sleep") {
            char* end = nullptr;
            long ms = strtol(rest.c_str(), &end, 10);
            if (rest.empty() || *end || ms < 0 || ms > 600000) return bad("sleep needs milliseconds (0 to 600000)");
            if (ms == 0) continue;
            s.sleepMs = static_cast<int>(ms);
        } else {
            return bad("unknown command \"" + verb + "\" (pnf, prf, pdf, raw, sleep, after-file)");
        }
        result.push_back(std::move(s));
    }
    *steps = std::move(result);
    return true;
}

}  // namespace update_server
