// The maker's release packaging: packs the release folder below workingDir
// into the full package and the seven component packages.
#pragma once

#include "app/globals.h"

// The maker's private key file, named from outside the packing folder (the
// environment's KAVO_SIGNING_KEY); empty: the packages are not signed.  With
// it, every package is signed and the release file written beside them.
extern char signingKeyPath[PATH_CAP];

// Writes the eight packages into workingDir + "\wrp" (TEST edition:
// "\wrp_TEST") from workingDir + "\KAVO" ("\KAVO_TEST"), logging each one
// with its time.  A package that fails does not stop the others.  These
// stop the run before anything is packed, with one line each: a key named
// inside the working folder (by its full path), a file ending in ".key"
// anywhere below it or one holding the private key's bytes, a key that is
// not usable, and a KAVO_RELEASE_EXPIRES_IN_DAYS (the signed release's
// lifetime, default REL_DEFAULT_EXPIRY_DAYS) that is no number of days.
void autoWrapRelease();
