// The maker's release packaging: packs the release folder below workingDir
// into the full package and the seven component packages.
#pragma once

// Writes the eight packages into workingDir + "\wrp" (TEST edition:
// "\wrp_TEST") from workingDir + "\KAVO" ("\KAVO_TEST"), logging each one
// with its time.  A package that fails does not stop the others.
void autoWrapRelease();
