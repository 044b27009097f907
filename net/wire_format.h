// The byte protocol between the installer and the update server, in one
// place: message letters, field layouts, buffer sizes and builders.
//
// The connection carries plain messages without envelope or checksum: an
// ASCII group letter, one or two further letters, then fixed fields.  Integers
// are unsigned little-endian (u16, u32); paths are byte strings without
// terminator, their length in a preceding u16.
//
// Everything here is header-only and pure (no globals, no system calls) so
// that the reference server and the tests build exactly what the installer's
// parser reads.  Each builder writes into the caller's buffer and returns the
// message size, or 0 when the message would not fit (nothing is cut).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

enum : int {
    PROTOCOL_MAJOR = 1,
    PROTOCOL_MINOR = 3,
};

// Buffer sizes of the installer side.
enum : int {
    SEND_BUFFER_SIZE = 15000,   // one outgoing message
    RECV_SCRATCH_SIZE = 15000,  // letters at 0..2, fields from 2 or 3, payloads after them
    WIRE_PATH_CAP = 1000,       // one path field plus terminator
    WIRE_MAX_PATH = WIRE_PATH_CAP - 1,
    WIRE_FULL_PATH_CAP = 5000,  // shareRoot + "/" + path
};

// Group letters.
const char MSG_HASH = '#';     // "#v" version, "#g" (server side only)
const char MSG_REQUEST = 'r';  // "rf" file request, "rp" (server side only)
const char MSG_SEND = 's';     // "sfe" file unavailable, "sfh" file header
const char MSG_PATH = 'p';     // "pnf", "prf", "pdf" folder commands; "pfc", "pfh"
// Second and third letters.
const char MSG_VERSION = 'v';
const char MSG_HASH_DATA = 'g';
const char MSG_FILE = 'f';
const char MSG_REQUEST_PATH = 'p';
const char MSG_FILE_ERROR = 'e';
const char MSG_FILE_HEADER = 'h';
const char MSG_FILE_CONTENT = 'c';
const char MSG_NEW = 'n';
const char MSG_RENAME = 'r';
const char MSG_DELETE = 'd';

// The code the server puts into "sfe": the character "0".
const uint8_t SFE_SERVER_CODE = '0';

// Sizes: whole messages, or the fixed part before a variable field.
enum : int {
    VERSION_MSG_SIZE = 6,      // "#v" u16 major, u16 minor
    HASH_DATA_HEAD_SIZE = 3,   // "#g" s8 n, then n bytes when n > 0
    FILE_REQUEST_HEAD_SIZE = 4,  // "rf" / "rp" u16 n, n bytes path
    FILE_ERROR_MSG_SIZE = 4,   // "sfe" u8 code
    FILE_HEADER_MSG_SIZE = 7,  // "sfh" u32 size, then size raw content bytes
    FILE_CONTENT_HEAD_SIZE = 9,  // "pfc" u32, u16 n, n bytes
    NEW_FOLDER_HEAD_SIZE = 5,  // "pnf" u16 n, n bytes path
    MOVE_PATH_HEAD_SIZE = 7,   // "prf" u16 oldLen, u16 newLen, old path, new path
    // Largest "pfc" payload the receive scratch holds after its 9 bytes.
    FILE_CONTENT_MAX_PAYLOAD = RECV_SCRATCH_SIZE - FILE_CONTENT_HEAD_SIZE,
};

inline void putU16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void putU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint16_t getU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t getU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

namespace wire_detail {
inline size_t buildPathMessage(uint8_t* buf, size_t cap, char a, char b, char c, const char* path, size_t n) {
    size_t head = c ? 5 : 4;
    if (!buf || (!path && n) || n > 0xFFFF || cap < head || n > cap - head) return 0;
    buf[0] = static_cast<uint8_t>(a);
    buf[1] = static_cast<uint8_t>(b);
    if (c) buf[2] = static_cast<uint8_t>(c);
    putU16(buf + head - 2, static_cast<uint16_t>(n));
    if (n) memcpy(buf + head, path, n);
    return head + n;
}
}  // namespace wire_detail

// "#v": 23 76 01 00 03 00 with the default version.
inline size_t buildVersionMessage(uint8_t* buf, size_t cap, uint16_t major = PROTOCOL_MAJOR,
                                  uint16_t minor = PROTOCOL_MINOR) {
    if (!buf || cap < VERSION_MSG_SIZE) return 0;
    buf[0] = static_cast<uint8_t>(MSG_HASH);
    buf[1] = static_cast<uint8_t>(MSG_VERSION);
    putU16(buf + 2, major);
    putU16(buf + 4, minor);
    return VERSION_MSG_SIZE;
}

// "rf": file request for `path` (n bytes).  0 when 4 + n does not fit `cap`
// (the installer passes its 15000-byte send buffer) or n exceeds a u16.
inline size_t buildFileRequest(uint8_t* buf, size_t cap, const char* path, size_t n) {
    return wire_detail::buildPathMessage(buf, cap, MSG_REQUEST, MSG_FILE, 0, path, n);
}

// "sfe": the requested file cannot be sent; a non-zero code ends the
// installer's wait.  The server sends SFE_SERVER_CODE.
inline size_t buildFileError(uint8_t* buf, size_t cap, uint8_t code = SFE_SERVER_CODE) {
    if (!buf || cap < FILE_ERROR_MSG_SIZE) return 0;
    buf[0] = static_cast<uint8_t>(MSG_SEND);
    buf[1] = static_cast<uint8_t>(MSG_FILE);
    buf[2] = static_cast<uint8_t>(MSG_FILE_ERROR);
    buf[3] = code;
    return FILE_ERROR_MSG_SIZE;
}

// "sfh": exactly `size` bytes of raw file content must follow it at once.
inline size_t buildFileHeader(uint8_t* buf, size_t cap, uint32_t size) {
    if (!buf || cap < FILE_HEADER_MSG_SIZE) return 0;
    buf[0] = static_cast<uint8_t>(MSG_SEND);
    buf[1] = static_cast<uint8_t>(MSG_FILE);
    buf[2] = static_cast<uint8_t>(MSG_FILE_HEADER);
    putU32(buf + 3, size);
    return FILE_HEADER_MSG_SIZE;
}

// Folder commands, paths relative to the installer's shared folder.  The
// installer takes at most WIRE_MAX_PATH bytes per path and refuses paths
// that leave the shared folder; the builders themselves only check the u16
// length, so that tests can also build what the installer must refuse.
inline size_t buildNewFolder(uint8_t* buf, size_t cap, const char* path, size_t n) {
    return wire_detail::buildPathMessage(buf, cap, MSG_PATH, MSG_NEW, MSG_FILE, path, n);
}
// A path ending in "/" deletes that folder with its contents, any other a file.
inline size_t buildDeletePath(uint8_t* buf, size_t cap, const char* path, size_t n) {
    return wire_detail::buildPathMessage(buf, cap, MSG_PATH, MSG_DELETE, MSG_FILE, path, n);
}
inline size_t buildMovePath(uint8_t* buf, size_t cap, const char* oldPath, size_t oldLen, const char* newPath,
                            size_t newLen) {
    if (!buf || (!oldPath && oldLen) || (!newPath && newLen) || oldLen > 0xFFFF || newLen > 0xFFFF ||
        cap < MOVE_PATH_HEAD_SIZE || oldLen + newLen > cap - MOVE_PATH_HEAD_SIZE)
        return 0;
    buf[0] = static_cast<uint8_t>(MSG_PATH);
    buf[1] = static_cast<uint8_t>(MSG_RENAME);
    buf[2] = static_cast<uint8_t>(MSG_FILE);
    putU16(buf + 3, static_cast<uint16_t>(oldLen));
    putU16(buf + 5, static_cast<uint16_t>(newLen));
    if (oldLen) memcpy(buf + MOVE_PATH_HEAD_SIZE, oldPath, oldLen);
    if (newLen) memcpy(buf + MOVE_PATH_HEAD_SIZE + oldLen, newPath, newLen);
    return MOVE_PATH_HEAD_SIZE + oldLen + newLen;
}
