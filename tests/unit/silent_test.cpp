// The unattended run's rules: which outcome a run reports, what it answers
// to each question, and how its switch is found.
#include <gtest/gtest.h>

#include <vector>

#include "app/config.h"
#include "app/globals.h"
#include "app/silent.h"
#include "setup/outcome.h"
#include "setup/update.h"
#include "tests/unit/fake_ui.h"

namespace {

TEST(Silent, TheFirstFailureNotedIsTheOutcome) {
    struct Case {
        std::vector<RunOutcome> noted;
        bool workDone;
        int exitCode;
    };
    const Case cases[] = {
        {{}, true, 0},
        {{}, false, 1},  // stopped without a reason noted: never 0
        {{RunOutcome::ServerUnreachable, RunOutcome::DownloadFailed}, false, 3},
        {{RunOutcome::DownloadFailed}, false, 4},
        {{RunOutcome::PackageRefused, RunOutcome::GeneralFailure}, false, 5},
        {{RunOutcome::FolderBusy}, false, 6},
        {{RunOutcome::NoDiskSpace, RunOutcome::ComponentsFailed}, false, 7},
        {{RunOutcome::ComponentsFailed}, false, 8},
        {{RunOutcome::BadCommandLine}, false, 2},
        // A failure noted on the way counts even when the work reached its end.
        {{RunOutcome::ServerUnreachable}, true, 3},
        {{RunOutcome::Done, RunOutcome::DownloadFailed}, false, 4},
    };
    for (const Case& c : cases) {
        resetOutcome();
        for (RunOutcome o : c.noted) noteOutcome(o);
        RunOutcome got = runOutcome(c.workDone);
        EXPECT_EQ(outcomeExitCode(got), c.exitCode) << outcomeMeaning(got);
    }
    resetOutcome();
}

TEST(Silent, EveryQuestionGetsItsSafeAnswerAndTheWarningIsLogged) {
    struct Case {
        const char* title;
        bool answer;
        int exitCode;  // of a run that asked it
    };
    const Case cases[] = {
        {"Installation Completed", false, 0},    // never starts the product
        {"Update Completed", false, 0},
        {"Network", false, 3},                   // no reconnect: the run ends
        {"Installation in Progress", true, 1},   // a close request stops the work
        {"Some new question", false, 0},
    };
    for (const Case& c : cases) {
        resetAppState();
        EXPECT_EQ(silentAnswer(c.title), c.answer) << c.title;
        EXPECT_EQ(outcomeExitCode(runOutcome(true)), c.exitCode) << c.title;
    }
    resetAppState();
    silentWarning("Failed to install KAVO.\nPlease try again");
    ASSERT_FALSE(fakeUi.list.empty());
    EXPECT_EQ(fakeUi.list.back(), "warning (not shown): Failed to install KAVO. Please try again");
    EXPECT_TRUE(fakeUi.warnings.empty());
}

TEST(Silent, SwitchIsAWordOfItsOwn) {
    struct Case {
        const char* commandLine;
        bool silent;
    };
    const Case cases[] = {
        {"-silent", true},
        {"  -installDir:\"D:\\K\" -silent\t", true},
        {"-silent -update:OSKE_ALL", true},
        {"-silentx", false},
        {"x-silent", false},
        {"-Silent", false},
        {"-installDir:\"D:\\my -silent folder\"", false},
        {"", false},
    };
    for (const Case& c : cases) EXPECT_EQ(hasSwitchWord(c.commandLine, "-silent"), c.silent) << c.commandLine;
    EXPECT_FALSE(hasSwitchWord(nullptr, "-silent"));
}

TEST(Silent, UnknownUpdateNamesAreCounted) {
    resetAppState();
    int unknown = -1;
    EXPECT_TRUE(applyUpdateSwitch("-update:OSKE_ALL,OSKE_AL,,BOGUS -silent", &unknown));
    EXPECT_EQ(unknown, 2);
    EXPECT_TRUE(applyUpdateSwitch("-update:KAVO_EXE", &unknown));
    EXPECT_EQ(unknown, 0);
    EXPECT_FALSE(applyUpdateSwitch("-silent", &unknown));
    for (int32_t& flag : pendingUpdates) flag = 0;
}

}  // namespace
