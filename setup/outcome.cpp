#include "setup/outcome.h"

#include "archive/unwrap.h"

namespace {

RunOutcome noted = RunOutcome::Done;
bool repaired = false;

}  // namespace

void noteOutcome(RunOutcome outcome) {
    if (noted == RunOutcome::Done) noted = outcome;
}

void noteUnpackFailure() {
    noteOutcome((unwrapFailed & UNWRAP_NO_ROOM)   ? RunOutcome::NoDiskSpace
                : (unwrapFailed & UNWRAP_IN_USE) ? RunOutcome::FileInUse
                                                 : RunOutcome::PackageRefused);
}

void noteRepaired() { repaired = true; }

RunOutcome runOutcome(bool workDone) {
    if (noted != RunOutcome::Done) return noted;
    if (!workDone) return RunOutcome::GeneralFailure;
    return repaired ? RunOutcome::Repaired : RunOutcome::Done;
}

int outcomeExitCode(RunOutcome outcome) { return static_cast<int>(outcome); }

const char* outcomeMeaning(RunOutcome outcome) {
    switch (outcome) {
        case RunOutcome::Done: return "done";
        case RunOutcome::BadCommandLine: return "bad command line";
        case RunOutcome::ServerUnreachable: return "could not reach the update server";
        case RunOutcome::DownloadFailed: return "download failed";
        case RunOutcome::PackageRefused: return "a package was refused or could not be unpacked";
        case RunOutcome::FolderBusy: return "another installer is working on that folder";
        case RunOutcome::NoDiskSpace: return "not enough disk space";
        case RunOutcome::ComponentsFailed: return "some component packages failed";
        case RunOutcome::Repaired: return "done after a repair";
        case RunOutcome::FileInUse: return "a file is in use";
        case RunOutcome::GeneralFailure: break;
    }
    return "failed";
}

void resetOutcome() {
    noted = RunOutcome::Done;
    repaired = false;
}
