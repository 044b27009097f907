// How a run ended, as an unattended run reports it in its exit code.  The
// sequences note a failure where it happens; the first specific one wins,
// since later failures are usually its consequences.
#pragma once

enum class RunOutcome : int {
    Done = 0,
    GeneralFailure = 1,
    BadCommandLine = 2,
    ServerUnreachable = 3,
    DownloadFailed = 4,
    PackageRefused = 5,     // refused by its check, or its unpacking failed
    FolderBusy = 6,         // another installer works on that folder
    NoDiskSpace = 7,
    ComponentsFailed = 8,   // the update: some component packages failed
    Repaired = 9,           // done, after an unpacking journal that could not be trusted was repaired
    FileInUse = 10,         // a file to replace stayed in use: nothing replaced
};

// Keeps `outcome` unless a failure was noted before; Done is never noted.
void noteOutcome(RunOutcome outcome);
// Notes why an unpacking failed: for want of room, a file in use, or the
// package itself.
void noteUnpackFailure();
// Notes that the run repaired its folder first: a run that then completes
// says so in its outcome instead of Done.
void noteRepaired();
// The run's outcome: the failure noted first, else Done when the work
// reached its end and GeneralFailure when it did not.
RunOutcome runOutcome(bool workDone);
// The process exit code of an outcome and a few words on its meaning.
int outcomeExitCode(RunOutcome outcome);
const char* outcomeMeaning(RunOutcome outcome);
// Forgets what was noted (a new run in the same process: the tests).
void resetOutcome();
