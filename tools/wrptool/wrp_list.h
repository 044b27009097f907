// Listing a package archive record by record without unpacking it: the
// maker's tool (and the tests) read packages with it.  It takes the records
// through the unpacker's own cursor (archive/wrp_cursor.h), but writes
// nothing.
#pragma once

#include <cstdint>
#include <cstdio>

struct WrpRecordInfo {
    uint64_t offset;            // position of the type byte
    uint8_t type;               // the type byte as stored
    char kind;                  // 'd' folder, 'f' file, 'e' end, 's' skipped byte
    const char* path;           // folder path ("a/b/") or file path ("a/b/c")
    uint32_t size;              // file content length
    const char* unsafe;         // why the unpacker refuses the name, or null
};
struct WrpListOutcome {
    bool wellFormed;            // read through the final end record
    char problem[200];          // what is wrong when it is not
    uint64_t problemOffset;
    uint64_t trailingBytes;     // bytes after the final end record (never read by the unpacker)
    bool unsafeNames;           // some name would be refused by the unpacker
};
// Walks the records as the unpacker reads them and calls visit for each.
void listArchive(FILE* srcFile, void (*visit)(const WrpRecordInfo& record, void* context),
                 void* context, WrpListOutcome* outcome);
