#include "archive/wrp_list.h"

#include <string>
#include <vector>

#include "archive/wrp_format.h"
#include "base/file_names.h"
#include "base/textbuf.h"
#include "platform/sys.h"

namespace {

char skipBlock[WRP_BLOCK];

bool readExactly(FILE* f, void* buf, size_t n) { return n == 0 || fread(buf, 1, n, f) == n; }

bool readName(FILE* f, char* name, size_t* length) {
    uint8_t n;
    if (!readExactly(f, &n, 1) || !readExactly(f, name, n)) return false;
    name[n] = '\0';
    *length = n;
    return true;
}

}  // namespace

void listArchive(FILE* srcFile, void (*visit)(const WrpRecordInfo& record, void* context), void* context,
                 WrpListOutcome* outcome) {
    WrpListOutcome local;
    WrpListOutcome& out = outcome ? *outcome : local;
    out = WrpListOutcome();
    if (!srcFile) {
        copyText(out.problem, sizeof out.problem, "no archive");
        return;
    }
    // The open listings as lengths of `path`: iterative, so that nesting of
    // any depth is listed without recursion.
    std::string path;
    std::vector<size_t> open;
    open.push_back(0);
    char name[WRP_NAME_MAX + 1];
    auto fail = [&](uint64_t at, const char* what) {
        out.problemOffset = at;
        copyText(out.problem, sizeof out.problem, what);
    };
    for (;;) {
        int64_t at = sysTell(srcFile);
        uint64_t offset = at < 0 ? 0 : static_cast<uint64_t>(at);
        uint8_t type;
        if (!readExactly(srcFile, &type, 1)) {
            fail(offset, open.size() > 1 ? "archive ends inside a folder (end record missing)"
                                         : "archive ends before its final end record");
            return;
        }
        WrpRecordInfo rec = {};
        rec.offset = offset;
        rec.type = type;
        WrpRecordKind kind = wrpRecordKind(type);
        if (kind == WrpRecordKind::Folder || kind == WrpRecordKind::File) {
            size_t n;
            uint8_t sizeField[WRP_SIZE_BYTES];
            if (!readName(srcFile, name, &n) ||
                (kind == WrpRecordKind::File && !readExactly(srcFile, sizeField, sizeof sizeField))) {
                fail(offset, "record header cut short");
                return;
            }
            rec.unsafe = fileNameProblem(name, n);
            if (rec.unsafe) out.unsafeNames = true;
            path.resize(open.back());
            path.append(name, n);
            if (kind == WrpRecordKind::Folder) {
                path += '/';
                open.push_back(path.size());
                rec.kind = 'd';
                rec.path = path.c_str();
                if (visit) visit(rec, context);
            } else {
                rec.kind = 'f';
                rec.size = wrpGetU32(sizeField);
                rec.path = path.c_str();
                if (visit) visit(rec, context);
                // Skip the content by reading it, so that a cut is noticed
                // without trusting the size (seeking past the end succeeds).
                uint32_t left = rec.size;
                while (left > 0) {
                    size_t want = left < WRP_BLOCK ? left : static_cast<size_t>(WRP_BLOCK);
                    if (fread(skipBlock, 1, want, srcFile) != want) {
                        fail(offset, "file content cut short");
                        return;
                    }
                    left -= static_cast<uint32_t>(want);
                }
            }
        } else if (kind == WrpRecordKind::End) {
            path.resize(open.back());
            rec.kind = 'e';
            rec.path = path.c_str();
            if (visit) visit(rec, context);
            open.pop_back();
            if (open.empty()) break;
            path.resize(open.back());
        } else {
            rec.kind = 's';
            path.resize(open.back());
            rec.path = path.c_str();
            if (visit) visit(rec, context);
        }
    }
    out.wellFormed = true;
    int64_t here = sysTell(srcFile);
    if (here >= 0 && sysSeekEnd(srcFile)) {
        int64_t end = sysTell(srcFile);
        if (end > here) out.trailingBytes = static_cast<uint64_t>(end - here);
    }
}
