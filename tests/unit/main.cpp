// Unit-test entry: every run works in a scratch folder of its own, so the
// log file and relative paths of the code under test never land in the
// source tree.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/sys.h"
#include "tests/unit/test_support.h"

#if defined(_WIN32)
#include <direct.h>
#define changeDir _chdir
#else
#include <unistd.h>
#define changeDir chdir
#endif

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    ScratchDir home("run");
    if (changeDir(home.path().c_str()) != 0) return 2;
    int rc = RUN_ALL_TESTS();
    changeDir("..");
    return rc;
}
