#include "tools/wrptool/wrp_list.h"

#include <string>
#include <vector>

#include "archive/wrp_cursor.h"
#include "base/textbuf.h"
#include "platform/file_names.h"
#include "platform/sys.h"

void listArchive(FILE* srcFile, void (*visit)(const WrpRecordInfo& record, void* context), void* context,
                 WrpListOutcome* outcome) {
    WrpListOutcome local;
    WrpListOutcome& out = outcome ? *outcome : local;
    out = WrpListOutcome();
    if (!srcFile) {
        copyText(out.problem, sizeof out.problem, "no archive");
        return;
    }
    int64_t length = sysSeekEnd(srcFile) ? sysTell(srcFile) : -1;
    sysSeekStart(srcFile);
    // The open listings as lengths of `path`: iterative, so that nesting of
    // any depth is listed without recursion.
    std::string path;
    std::vector<size_t> open{0};
    auto fail = [&](uint64_t at, const char* what) {
        out.problemOffset = at;
        copyText(out.problem, sizeof out.problem, what);
    };
    WrpCursor cursor(srcFile);
    WrpRecord r;
    while (!cursor.finished()) {
        int64_t at = sysTell(srcFile);
        uint64_t offset = at < 0 ? 0 : static_cast<uint64_t>(at);
        WrpStep step = cursor.next(r);
        if (step == WrpStep::NoMore) {
            fail(offset, open.size() > 1 ? "archive ends inside a folder (end record missing)"
                                         : "archive ends before its final end record");
            return;
        }
        if (step == WrpStep::CutShort) {
            fail(offset, "record header cut short");
            return;
        }
        WrpRecordInfo rec = {};
        rec.offset = offset;
        rec.type = r.type;
        path.resize(open.back());
        switch (r.kind) {
            case WrpRecordKind::Folder:
            case WrpRecordKind::File:
                rec.unsafe = fileNameProblem(r.name, r.nameLength);
                if (rec.unsafe) out.unsafeNames = true;
                path.append(r.name, r.nameLength);
                if (r.kind == WrpRecordKind::Folder) {
                    path += '/';
                    open.push_back(path.size());
                    rec.kind = 'd';
                } else {
                    rec.kind = 'f';
                    rec.size = r.size;
                }
                break;
            case WrpRecordKind::End:
                rec.kind = 'e';
                open.pop_back();
                break;
            case WrpRecordKind::Skip: rec.kind = 's'; break;
        }
        rec.path = path.c_str();
        if (visit) visit(rec, context);
        if (r.kind == WrpRecordKind::File && !cursor.skipContent(r.size, length)) {
            fail(offset, "file content cut short");
            return;
        }
    }
    out.wellFormed = true;
    int64_t here = sysTell(srcFile);
    if (here >= 0 && length > here) out.trailingBytes = static_cast<uint64_t>(length - here);
}
