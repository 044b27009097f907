// What an installer may send the update server, read from a connection's
// bytes, and which names it may ask for.  Pure: no system calls and no
// allocation, so that the rules can be driven from bytes alone.
//
// An installer sends two messages only: the version hello "#v" and the
// file request "rf".  Anything else means the peer is not an installer.
// A request's name is taken only when it fits the installer's own path
// limit; a longer one is skipped as it arrives, never stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "net/wire_format.h"

namespace update_server {

// The longest name a request may carry: what the installer can hold.
constexpr size_t MAX_REQUEST_NAME = WIRE_MAX_PATH;

struct ClientMessage {
    enum Kind {
        INCOMPLETE,    // the bytes end inside a message; nothing was taken
        HELLO,         // major, minor
        REQUEST,       // name, nameLen (at most MAX_REQUEST_NAME), pointing into the bytes given
        LONG_REQUEST,  // nameLen is the announced length; the name is skipped as it arrives
        SKIPPED,       // a piece of a long name
        BAD,           // a message no installer sends: the connection must go
    };
    Kind kind = INCOMPLETE;
    uint16_t major = 0, minor = 0;
    const uint8_t* name = nullptr;
    size_t nameLen = 0;
};

class RequestReader {
public:
    // Looks at the n unread bytes at p and returns how many of them the
    // next message (or piece of a long name) takes, described in *m.  0
    // with INCOMPLETE when the bytes end inside a message that fits the
    // limits: at most FILE_REQUEST_HEAD_SIZE + MAX_REQUEST_NAME bytes are
    // ever needed at once.
    size_t next(const uint8_t* p, size_t n, ClientMessage* m) {
        *m = ClientMessage{};
        if (n == 0) return 0;
        if (skip_ > 0) {
            size_t k = skip_ < n ? skip_ : n;
            skip_ -= k;
            m->kind = ClientMessage::SKIPPED;
            return k;
        }
        if (p[0] == static_cast<uint8_t>(MSG_HASH)) {
            if (n < 2) return 0;
            if (p[1] != static_cast<uint8_t>(MSG_VERSION)) return bad(m);
            if (n < VERSION_MSG_SIZE) return 0;
            m->kind = ClientMessage::HELLO;
            m->major = getU16(p + 2);
            m->minor = getU16(p + 4);
            return VERSION_MSG_SIZE;
        }
        if (p[0] == static_cast<uint8_t>(MSG_REQUEST)) {
            if (n < 2) return 0;
            if (p[1] != static_cast<uint8_t>(MSG_FILE)) return bad(m);
            if (n < FILE_REQUEST_HEAD_SIZE) return 0;
            size_t len = getU16(p + 2);
            if (len > MAX_REQUEST_NAME) {
                skip_ = len;
                m->kind = ClientMessage::LONG_REQUEST;
                m->nameLen = len;
                return FILE_REQUEST_HEAD_SIZE;
            }
            if (n < FILE_REQUEST_HEAD_SIZE + len) return 0;
            m->kind = ClientMessage::REQUEST;
            m->name = p + FILE_REQUEST_HEAD_SIZE;
            m->nameLen = len;
            return FILE_REQUEST_HEAD_SIZE + len;
        }
        return bad(m);
    }
    // Bytes of a long name are still to come.
    bool skipping() const { return skip_ > 0; }

private:
    static size_t bad(ClientMessage* m) {
        m->kind = ClientMessage::BAD;
        return 1;
    }
    size_t skip_ = 0;
};

// The files an installer asks for, and nothing else, so that whatever else
// lies in the served folder (a key, a backup) is never handed out: the
// version and launcher files of the root, and in "wrp\" and "wrp_TEST\"
// the packages ("NAME.wrp", NAME of letters, digits, "_" and "-") and the
// release file "KAVO.release".  "\" is the separator, as the installer
// sends it; letter case must match.
inline bool allowedRequestName(const uint8_t* name, size_t n) {
    auto is = [&](const char* s, size_t at) {
        size_t k = strlen(s);
        return n - at == k && memcmp(name + at, s, k) == 0;
    };
    if (is("update.ini", 0) || is("update_TEST.ini", 0) || is("launcher_TEST.ini", 0)) return true;
    size_t at = 0;
    if (n > 4 && memcmp(name, "wrp\\", 4) == 0) at = 4;
    else if (n > 9 && memcmp(name, "wrp_TEST\\", 9) == 0) at = 9;
    else return false;
    if (is("KAVO.release", at)) return true;
    const size_t ext = 4;  // ".wrp"
    if (n - at <= ext || memcmp(name + n - ext, ".wrp", ext) != 0) return false;
    for (size_t i = at; i < n - ext; ++i) {
        uint8_t c = name[i];
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

}  // namespace update_server
