// What every fuzz target does when an input is done.
#pragma once

#include "platform/sys_memory.h"
#include "tests/unit/fake_ui.h"

// Frees what the input left in the seam and in the UI stand-in.  The
// fuzzer runs a costly leak check after any input that allocated more than
// it freed.
struct MemReleaseAtEnd {
    ~MemReleaseAtEnd() {
        memRelease();
        fakeUi.reset();
    }
};
