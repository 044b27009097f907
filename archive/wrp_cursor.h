// The one reader of a package archive's record stream (layout in
// wrp_format.h): the unpacker, its free-space walk and the maker's listing
// all take records through it, so that every reader agrees on where a
// record starts and when the stream is cut short.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "archive/wrp_format.h"
#include "platform/sys.h"

struct WrpRecord {
    uint8_t type;                   // the type byte as stored
    WrpRecordKind kind;
    char name[WRP_NAME_MAX + 1];    // folders and files: the name, NUL added
    size_t nameLength;
    uint32_t size;                  // files: the content length
};

enum class WrpStep {
    Record,      // a record header was read; a file's content comes next
    NoMore,      // the stream ended where a type byte was due
    CutShort,    // the stream ended inside a record header
};

class WrpCursor {
public:
    explicit WrpCursor(FILE* f) : f_(f) {}

    // Reads the next record header.  Keeps count of the open listings, so
    // that finished() tells when the final end record has been read.
    WrpStep next(WrpRecord& r) {
        if (!readExactly(&r.type, 1)) return WrpStep::NoMore;
        r.kind = wrpRecordKind(r.type);
        r.nameLength = 0;
        r.name[0] = '\0';
        r.size = 0;
        if (r.kind == WrpRecordKind::End) {
            if (open_ > 0) --open_;
            return WrpStep::Record;
        }
        if (r.kind == WrpRecordKind::Skip) return WrpStep::Record;
        uint8_t n;
        if (!readExactly(&n, 1) || !readExactly(r.name, n)) return WrpStep::CutShort;
        r.name[n] = '\0';
        r.nameLength = n;
        if (r.kind == WrpRecordKind::Folder) {
            ++open_;
            return WrpStep::Record;
        }
        uint8_t sizeField[WRP_SIZE_BYTES];
        if (!readExactly(sizeField, sizeof sizeField)) return WrpStep::CutShort;
        r.size = wrpGetU32(sizeField);
        return WrpStep::Record;
    }

    // Moves past a file's content without reading it; false when the
    // content would reach past `archiveLength` (a cut archive: a seek past
    // the end would succeed).
    bool skipContent(uint32_t size, int64_t archiveLength) {
        int64_t at = sysTell(f_);
        int64_t to = at + static_cast<int64_t>(size);
        return at >= 0 && to <= archiveLength && sysSeekTo(f_, to);
    }

    // True once the final end record of the archive has been read.
    bool finished() const { return open_ == 0; }

private:
    bool readExactly(void* buf, size_t n) { return n == 0 || fread(buf, 1, n, f_) == n; }

    FILE* f_;
    uint64_t open_ = 1;  // listings not yet closed by their end record
};
