// The one reader of a package archive's record stream (layout in
// wrp_format.h): the unpacker, its free-space walk and the maker's listing
// all take records through it, so that every reader agrees on where a
// record starts and when the stream is cut short.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

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
    // A cursor for a walk over the headers only, from `start`: it reads
    // them in small pieces at their offsets and skips contents by counting,
    // so that the stream's own buffer is never refilled for a seek.  Seek
    // the stream before reading through it again.
    static WrpCursor headerWalk(FILE* f, int64_t start) {
        WrpCursor c(f);
        c.walk_ = true;
        c.at_ = start;
        return c;
    }

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
        int64_t at = walk_ ? at_ : sysTell(f_);
        int64_t to = at + static_cast<int64_t>(size);
        if (at < 0 || to > archiveLength) return false;
        if (!walk_) return sysSeekTo(f_, to);
        if (to - windowStart_ < static_cast<int64_t>(windowLength_)) {
            windowUsed_ = static_cast<size_t>(to - windowStart_);
        } else {
            windowLength_ = windowUsed_ = 0;
        }
        at_ = to;
        return true;
    }

    // True once the final end record of the archive has been read.
    bool finished() const { return open_ == 0; }

private:
    bool readExactly(void* buf, size_t n) {
        if (!walk_) return n == 0 || fread(buf, 1, n, f_) == n;
        uint8_t* out = static_cast<uint8_t*>(buf);
        while (n > 0) {
            if (windowUsed_ == windowLength_) {
                windowStart_ = at_;
                windowLength_ = sysReadAt(f_, at_, window_, sizeof window_);
                windowUsed_ = 0;
                if (windowLength_ == 0) return false;
            }
            size_t k = windowLength_ - windowUsed_ < n ? windowLength_ - windowUsed_ : n;
            memcpy(out, window_ + windowUsed_, k);
            windowUsed_ += k;
            at_ += static_cast<int64_t>(k);
            out += k;
            n -= k;
        }
        return true;
    }

    FILE* f_;
    uint64_t open_ = 1;  // listings not yet closed by their end record
    // The header walk: the next byte's offset and a window of what was read
    // around it (a header is at most 261 bytes).
    bool walk_ = false;
    int64_t at_ = 0, windowStart_ = 0;
    size_t windowLength_ = 0, windowUsed_ = 0;
    uint8_t window_[4096];
};
