// The package archive (".wrp"): a plain depth-first stream of records with
// no header, index or checksum.  This header is the one place that knows the
// byte layout; the packer, the unpacker and the tools all go through it.
//
//   listing = (folder | file)*, end
//   folder  = 0x01, nameLength (1 byte), name, listing
//   file    = 0x02, nameLength (1 byte), name, size (4 bytes LE), content
//   end     = 0x04
//
// The packed folder itself has no record; an empty archive is the single
// byte 0x04.  Names are the 8-bit (code page) names of the enumeration.
#pragma once

#include <cstddef>
#include <cstdint>

enum : uint8_t {
    REC_DIR = 0x01,
    REC_FILE = 0x02,
    REC_END = 0x04,
};

enum : size_t {
    WRP_TYPE_BYTES = 1,
    WRP_NAME_LENGTH_BYTES = 1,
    WRP_SIZE_BYTES = 4,
    WRP_NAME_MAX = 255,            // one length byte
    WRP_BLOCK = 1000,              // content is copied in blocks of this size

    // Path capacities, terminating NUL included.
    WRP_PACK_PATH_CAP = 1000,      // every path the packer forms: <= 999 bytes
    WRP_DEST_PATH_CAP = 1000,      // unpack destination with its separator
    WRP_UNPACK_PATH_CAP = 260,     // folder, target and temporary paths: <= 259
};

// A file's content must be below 4 GiB: its size field is 32 bits.
const uint64_t WRP_SIZE_LIMIT = 0x100000000ULL;

// Suffix of the temporary file a target is written to before it replaces
// the target.  Names themselves follow the system's rules in
// platform/file_names.h, which the packer and the unpacker both apply.
#define WRP_TEMP_SUFFIX ".unwrap"
// Suffix under which a replaced file is kept while a package lands, so that
// a landing cut off half-way can still be put back whole.  As long as the
// temporary suffix, so that a target whose temporary path fits has a
// backup path that fits too.
#define WRP_BACKUP_SUFFIX ".wrpold"
static_assert(sizeof WRP_BACKUP_SUFFIX == sizeof WRP_TEMP_SUFFIX, "backup and temporary paths have one limit");

inline void wrpPutU32(uint8_t out[4], uint32_t v) {
    out[0] = static_cast<uint8_t>(v);
    out[1] = static_cast<uint8_t>(v >> 8);
    out[2] = static_cast<uint8_t>(v >> 16);
    out[3] = static_cast<uint8_t>(v >> 24);
}

inline uint32_t wrpGetU32(const uint8_t in[4]) {
    return static_cast<uint32_t>(in[0]) | (static_cast<uint32_t>(in[1]) << 8) |
           (static_cast<uint32_t>(in[2]) << 16) | (static_cast<uint32_t>(in[3]) << 24);
}

// How the unpacker reads a type byte: the bits are tested in this order, so
// 0x03 is a folder and 0x06 a file; a byte with none of them is skipped.
enum class WrpRecordKind { Folder, File, End, Skip };
inline WrpRecordKind wrpRecordKind(uint8_t type) {
    if (type & REC_DIR) return WrpRecordKind::Folder;
    if (type & REC_FILE) return WrpRecordKind::File;
    if (type & REC_END) return WrpRecordKind::End;
    return WrpRecordKind::Skip;
}
