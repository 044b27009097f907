// One run at a time per installation: the install and the component update
// claim the folder they work on, so that a second installer (started from
// any folder, with the folder typed, chosen or defaulted) never downloads
// into or unpacks into it while the first one does.
#pragma once

// Claims `folder` for the sequence `who` ("install KAVO", "updateKAVO").
// False, with one log line and a warning box, when another run holds it or
// it cannot be claimed; nothing else is touched then.
bool claimInstallation(const char* folder, const char* who);
// Ends the claim (nothing when none is held).
void releaseInstallation();
