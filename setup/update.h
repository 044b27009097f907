// The component update behind command 8002.
#pragma once

#include <cstdint>

// Which component packages the next update fetches, in storage order.
enum PendingUpdate : int {
    UPDATE_OSKE_EXE,
    UPDATE_OSKE_ALL,
    UPDATE_VELN_EXE,
    UPDATE_VELN_ALL,
    UPDATE_UBRA_EXE,
    UPDATE_UBRA_ALL,
    UPDATE_KAVO_EXE,
    UPDATE_COUNT
};
extern int32_t pendingUpdates[UPDATE_COUNT];

// The package name of each flag ("OSKE_EXE", ...).
const char* updatePackageName(int index);
// Index of a package name (exact, case-sensitive), or -1.
int updatePackageIndex(const char* name);

// Sets the flags named by "-update:" (comma-separated names up to the next
// space); logs and ignores unknown names (counted in *unknownNames when
// given).  False when the switch is absent.
bool applyUpdateSwitch(const char* commandLine, int* unknownNames = nullptr);

struct LandingRequest;

// Fetches and unpacks one component package into workingDir, with what
// `request` (may be null) lands with it.
bool wrpUpdate_TCP(const char* name, LandingRequest* request = nullptr);
// True when every package succeeded and the version file was replaced.
bool updateKAVO();
